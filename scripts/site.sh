#!/usr/bin/env bash
# The whole site on this machine, in the foreground: a private PostgreSQL
# cluster with the store's schema, a collector that stores every record, an
# edge reading every regular Log_YYYY_MM_DD.log of LOG_FOLDER from the start
# (it can read that folder and nothing more: edge-run.py; none without a
# LOG_FOLDER: the site is then for shippers alone), and the page.
# LOG_FOLDER is one PC's folder (day files in it), or a folder of PC folders:
# with no day files of its own, each folder in it that holds day files is a
# PC named by the folder (an edge each); with neither it is refused.
# Nothing of the system's is touched (its own ports on 127.0.0.1, its own
# socket folder). Prints "input: NAME 127.0.0.1:PORT" for each collector
# input (shippers: RELP over TLS for the PCs' VardelShipper, with the site
# CA and the collector's certificate made once in the work folder's tls/,
# through collect/shipper-gate.py, which stores each record under the name
# in its PC's certificate;
# relp: plain RELP, the edges' and a --plain shipper's; syslog,
# octet-counted; syslog-lines, one a line, escaped), "page: URL" and
# "store: URL", and runs until Ctrl+C or SIGTERM, which stop everything it
# started.
#   site.sh [LOG_FOLDER]
# Environment: VARDEL_SITE_DIR (the work folder, kept between runs so the
# store keeps its records; default build-site/ in the tree), VARDEL_PC_NAME
# (the host name the records carry; default this machine's),
# VARDEL_COLLECT_OUT (also write the JSON lines to this file; default none),
# VARDEL_KEEP_DAYS (the days the store keeps; default: as the store has it),
# VARDEL_SITE_BUILD (0: run without the page where it is not built yet),
# VARDEL_SITE_ZONE (the site's IANA zone, which settles a zone name that
# zones of different offsets share; empty clears it; when it changes the
# setting, stored records without an instant get theirs where they can).
# Exit codes: 0 stopped, 1 failure, 2 bad arguments, 3 the collector, the
# shippers' gate or the edge (rsyslogd) is missing or does not start, 4 the store does not start
# (the cause on stderr each time).
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"
conf=$top/collect
cluster=$conf/store/cluster.sh

[ $# -le 1 ] || { echo "usage: site.sh [LOG_FOLDER]" >&2; exit 2; }
folder=
if [ $# -eq 1 ]; then
  [ -d "$1" ] || { echo "site: no folder $1" >&2; exit 2; }
  folder=$(cd "$1" && pwd)
fi
work=${VARDEL_SITE_DIR:-$top/build-site}
mkdir -p "$work"
work=$(cd "$work" && pwd)
# Each PC's name and folder; Windows' computer names fit the pattern.
pcs=() dirs=()
shopt -s nullglob
own=("$folder"/Log_*.log)
if [ -z "$folder" ]; then
  : # shippers alone
elif [ ${#own[@]} -gt 0 ]; then
  pcs=("${VARDEL_PC_NAME:-$(hostname)}") dirs=("$folder")
else
  for sub in "$folder"/*/; do
    sub=${sub%/} name=${sub##*/}
    files=("$sub"/Log_*.log)
    if [ ${#files[@]} -eq 0 ]; then echo "site: $sub holds no day files: left out" >&2; continue; fi
    [[ $name =~ ^[A-Za-z0-9][A-Za-z0-9._-]{0,62}$ ]] \
      || { echo "site: the folder name \"$name\" cannot be a PC's name (letters, digits, . _ -)" >&2; exit 2; }
    pcs+=("$name") dirs+=("$sub")
  done
  [ ${#pcs[@]} -gt 0 ] \
    || { echo "site: $folder holds no day files (Log_*.log) and no folder that does: nothing to read" >&2; exit 2; }
  [ -z "${VARDEL_PC_NAME:-}" ] || echo "site: VARDEL_PC_NAME left unused: each PC is named by its folder" >&2
fi
shopt -u nullglob
keep=${VARDEL_KEEP_DAYS:-}
[ -z "$keep" ] || [[ $keep =~ ^[1-9][0-9]{0,5}$ ]] || { echo "site: VARDEL_KEEP_DAYS is not a number of days: $keep" >&2; exit 2; }
rsyslogd=$(command -v rsyslogd || echo /usr/sbin/rsyslogd)
[ -x "$rsyslogd" ] || { echo "site: cannot start rsyslogd: not installed (scripts/setup.sh installs it)" >&2; exit 3; }

pids=() pg=
stop_all() {
  trap - EXIT INT TERM
  local pid
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
  done
  [ -z "$pg" ] || bash "$cluster" stop "$work/pg" || true
}
trap stop_all EXIT
trap 'exit 0' INT TERM

# The store. The server's own account must reach the work folder.
[ "$(id -u)" != 0 ] || chmod o+x "$work"
pg=1
bash "$cluster" start "$work/pg" >"$work/pg.env" || { echo "site: the store does not start (cluster.sh exit $?)" >&2; exit 4; }
port=$(sed -n 's/^port=//p' "$work/pg.env")
socket=$work/pg/socket
bash "$cluster" schema "$work/pg" || { echo "site: the store's schema does not load (cluster.sh exit $?)" >&2; exit 4; }
owner() { "${VARDEL_PG_BIN:-/usr/lib/postgresql/15/bin}/psql" -X -q -At -v ON_ERROR_STOP=1 -h "$socket" -p "$port" -U postgres -d vardel "$@"; }
[ -z "$keep" ] || owner -c "update vardel.settings set keep_days = $keep"
owner -c "select vardel.expire()" >/dev/null
# A changed site zone gives stored records without an instant theirs.
if [ -n "${VARDEL_SITE_ZONE+set}" ] \
   && [ "$(owner -c "select coalesce(site_zone, '') from vardel.settings")" != "$VARDEL_SITE_ZONE" ]; then
  owner -v zone="$VARDEL_SITE_ZONE" <<<"update vardel.settings set site_zone = nullif(:'zone', '')" \
    || { echo "site: VARDEL_SITE_ZONE is not an IANA zone: $VARDEL_SITE_ZONE" >&2; exit 2; }
  echo "site: site zone ${VARDEL_SITE_ZONE:-none}: $(owner -c "select vardel.reinstant()") stored records given an instant" >&2
fi

read -r relp tcp escaped http shippers gate < <(free_ports 6)

# The shippers' certificates: the site CA and the collector's, made once.
tls=$work/tls
if [ ! -e "$tls/collector.pem" ]; then
  { [ -e "$tls/ca.pem" ] || bash "$top/scripts/shipper-certs.sh" "$tls" ca; } >/dev/null || exit 1
  bash "$top/scripts/shipper-certs.sh" "$tls" collector 127.0.0.1 >/dev/null || exit 1
fi
[ -e "$tls/gate/pc-gate.pem" ] || bash "$top/scripts/shipper-certs.sh" "$tls" gate >/dev/null || exit 1

# start NAME PORT CMD...: one process in the background; waits (bounded)
# until it listens on PORT when one is given (a port, or a socket's path).
start() {
  local name=$1 port=$2
  shift 2
  "$@" >"$work/$name.log" 2>&1 &
  pids+=($!)
  [ -n "$port" ] || return 0
  for _ in $(seq 150); do
    if [[ $port == /* ]]; then [ -S "$port" ] && return 0; else listening "$port" && return 0; fi
    kill -0 "${pids[-1]}" 2>/dev/null || break
    sleep 0.1
  done
  echo "site: cannot start $name:" >&2; cat "$work/$name.log" >&2; return 1
}

export VARDEL_CONF_DIR=$conf VARDEL_LISTEN=127.0.0.1 VARDEL_RELP_PORT=$relp VARDEL_TCP_PORT=$tcp VARDEL_ESCAPED_PORT=$escaped
export VARDEL_COLLECT_DIR=$work/central VARDEL_COLLECT_OUT=${VARDEL_COLLECT_OUT:-}
export VARDEL_EDGE_DIR=$work/edge VARDEL_LOG_FOLDER=${dirs[0]:-} VARDEL_COLLECTOR=127.0.0.1
export VARDEL_PC_NAME=${pcs[0]:-${VARDEL_PC_NAME:-$(hostname)}}
export VARDEL_STORE_CONF=$conf/store/pgsql.conf VARDEL_STORE_SERVER=$socket VARDEL_STORE_PORT=$port
export VARDEL_STORE_DB=vardel VARDEL_STORE_USER=vardel_collector
export VARDEL_SHIPPERS_CONF=$conf/shippers.conf VARDEL_SHIPPERS_PORT=$shippers
export VARDEL_TLS_CA=$tls/ca.pem VARDEL_TLS_CERT=$tls/collector.pem VARDEL_TLS_KEY=$tls/collector.key
export VARDEL_GATE_PORT=$gate VARDEL_GATE_DIR=$tls/gate
mkdir -p "$VARDEL_COLLECT_DIR" "$VARDEL_EDGE_DIR"
for name in central edge; do
  if ! "$rsyslogd" -N1 -f "$conf/$name.conf" >"$work/$name.check" 2>&1; then
    echo "site: the $name configuration does not validate:" >&2; cat "$work/$name.check" >&2; exit 1
  fi
done
start central "$relp" "$rsyslogd" -n -f "$conf/central.conf" -i "$work/central.pid" || exit 3
listening "$gate" || { echo "site: the shippers' input does not listen:" >&2; cat "$work/central.log" >&2; exit 3; }
start gate "$shippers" python3 "$conf/shipper-gate.py" || exit 3
# Where a site points its PCs: the collector's inputs.
echo "input: shippers 127.0.0.1:$shippers"
echo "input: relp 127.0.0.1:$relp"
echo "input: syslog 127.0.0.1:$tcp"
echo "input: syslog-lines 127.0.0.1:$escaped"
# The edge keeps every day file of the folder open (two descriptors each):
# a folder kept for years needs more than the usual soft limit of 1024.
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true
# One edge per PC, each with its companion, which hands in a last record
# that has no line break yet; one PC keeps the work folder's edge/. Both
# run through edge-run.py: they read the PC's folder and nothing more (a
# link in it to elsewhere is refused); the companion's socket (edge.conf
# names it) is only this user's.
for i in "${!pcs[@]}"; do
  sfx=
  [ ${#pcs[@]} -eq 1 ] || sfx=-${pcs[$i]}
  folder=${dirs[$i]}
  export VARDEL_PC_NAME=${pcs[$i]} VARDEL_LOG_FOLDER=$folder VARDEL_EDGE_DIR=$work/edge$sfx
  mkdir -p "$VARDEL_EDGE_DIR"
  chmod 700 "$VARDEL_EDGE_DIR"
  tail_socket=$VARDEL_EDGE_DIR/vardel-tail.sock
  rm -f "$tail_socket"
  guard=(python3 "$conf/edge-run.py" --read "$folder" --write "$VARDEL_EDGE_DIR" --)
  start edge$sfx "$tail_socket" "${guard[@]}" "$rsyslogd" -n -f "$conf/edge.conf" -i "$VARDEL_EDGE_DIR/edge.pid" || exit 3
  start edge-tail$sfx "" "${guard[@]}" "$conf/edge-tail.py" "$folder" "$VARDEL_EDGE_DIR" "$VARDEL_PC_NAME"
done

# The page, built when missing and buildable.
store_url="postgresql://vardel_reader@/vardel?host=$socket&port=$port"
page=$top/build-linux/bin/vardel-page
if [ ! -x "$page" ] && [ "${VARDEL_SITE_BUILD:-1}" = 1 ]; then
  if grep -q '"name": "linux"' "$top/CMakePresets.json"; then
    echo "site: building the page (cmake --preset linux)" >&2
    (cd "$top" && cmake --preset linux >/dev/null && cmake --build --preset linux --target vardel-page) >"$work/page-build.log" 2>&1 \
      || { echo "site: the page does not build:" >&2; tail -20 "$work/page-build.log" >&2; }
  else
    echo "site: no page: build-linux/bin/vardel-page is missing and the tree has no linux preset to build it" >&2
  fi
fi
# The page on its own port (8080, so that a bookmark keeps working) when
# that is free, else on a free one, said so.
page_url() { sed -n 's|^listening on \(http://[^ ]*\)$|\1|p' "$work/page.log"; }
start_page() {
  "$page" --address 127.0.0.1 --store "$store_url" "$@" >"$work/page.log" 2>&1 &
  local pid=$!
  for _ in $(seq 150); do
    [ -z "$(page_url)" ] || { pids+=("$pid"); return 0; }
    kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.1
  done
  kill "$pid" 2>/dev/null; return 1
}
if [ -x "$page" ]; then
  if ! start_page; then
    grep -q "cannot listen" "$work/page.log" || { echo "site: cannot start the page:" >&2; cat "$work/page.log" >&2; exit 1; }
    echo "site: the page's port is taken ($(sed -n 's/.*cannot listen on //p' "$work/page.log")); it is on port $http instead" >&2
    start_page --port "$http" || { echo "site: cannot start the page:" >&2; cat "$work/page.log" >&2; exit 1; }
  fi
  echo "page: $(page_url)"
fi
echo "store: $store_url"
echo "data: $work (the store's cluster in $work/pg, the logs in $work/*.log; VARDEL_SITE_DIR moves it)"

# Until stopped; an rsyslogd or the page that ends by itself ends the site.
while :; do
  for pid in "${pids[@]}"; do
    kill -0 "$pid" 2>/dev/null || { echo "site: a process ended early:" >&2; tail -n 20 "$work"/*.log >&2; exit 1; }
  done
  sleep 1 & wait $! || true
done
