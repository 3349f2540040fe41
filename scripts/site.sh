#!/usr/bin/env bash
# The whole site on this machine, in the foreground: a private PostgreSQL
# cluster with the store's schema, a collector that stores every record, an
# edge reading every Log_*.log of LOG_FOLDER from the start (none without a
# LOG_FOLDER: the site is then for shippers alone), and the page.
# Nothing of the system's is touched (its own ports on 127.0.0.1, its own
# socket folder). Prints "input: shippers 127.0.0.1:PORT" (RELP over TLS for
# the PCs' VardelShipper, with the site CA and the collector's certificate
# made once in the work folder's tls/), "input: relp 127.0.0.1:PORT" (plain
# RELP, the edges' and a --plain shipper's), "page: URL" and "store: URL"
# and runs until Ctrl+C or SIGTERM, which stop everything it started.
#   site.sh [LOG_FOLDER]
# Environment: VARDEL_SITE_DIR (the work folder, kept between runs so the
# store keeps its records; default build-site/ in the tree), VARDEL_PC_NAME
# (the host name the records carry; default this machine's),
# VARDEL_COLLECT_OUT (also write the JSON lines to this file; default none),
# VARDEL_KEEP_DAYS (the days the store keeps; default: as the store has it),
# VARDEL_SITE_BUILD (0: run without the page where it is not built yet).
# Exit codes: 0 stopped, 1 failure, 2 bad arguments, 77 rsyslogd or
# PostgreSQL cannot start.
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
keep=${VARDEL_KEEP_DAYS:-}
[ -z "$keep" ] || [[ $keep =~ ^[1-9][0-9]{0,5}$ ]] || { echo "site: VARDEL_KEEP_DAYS is not a number of days: $keep" >&2; exit 2; }
rsyslogd=$(command -v rsyslogd || echo /usr/sbin/rsyslogd)
[ -x "$rsyslogd" ] || { echo "site: cannot start rsyslogd: not installed (scripts/setup.sh installs it)" >&2; exit 77; }

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
bash "$cluster" start "$work/pg" >"$work/pg.env" || exit $?
port=$(sed -n 's/^port=//p' "$work/pg.env")
socket=$work/pg/socket
bash "$cluster" schema "$work/pg"
owner() { "${VARDEL_PG_BIN:-/usr/lib/postgresql/15/bin}/psql" -X -q -At -v ON_ERROR_STOP=1 -h "$socket" -p "$port" -U postgres -d vardel "$@"; }
[ -z "$keep" ] || owner -c "update vardel.settings set keep_days = $keep"
owner -c "select vardel.expire()" >/dev/null

read -r relp tcp escaped http tail shippers < <(free_ports 6)

# The shippers' certificates: the site CA and the collector's, made once.
tls=$work/tls
if [ ! -e "$tls/collector.pem" ]; then
  { [ -e "$tls/ca.pem" ] || bash "$top/scripts/shipper-certs.sh" "$tls" ca; } >/dev/null || exit 1
  bash "$top/scripts/shipper-certs.sh" "$tls" collector 127.0.0.1 >/dev/null || exit 1
fi

# start NAME PORT CMD...: one process in the background; waits (bounded)
# until it listens on PORT when one is given.
start() {
  local name=$1 port=$2
  shift 2
  "$@" >"$work/$name.log" 2>&1 &
  pids+=($!)
  [ -n "$port" ] || return 0
  for _ in $(seq 150); do
    listening "$port" && return 0
    kill -0 "${pids[-1]}" 2>/dev/null || break
    sleep 0.1
  done
  echo "site: cannot start $name:" >&2; cat "$work/$name.log" >&2; return 1
}

export VARDEL_CONF_DIR=$conf VARDEL_LISTEN=127.0.0.1 VARDEL_RELP_PORT=$relp VARDEL_TCP_PORT=$tcp VARDEL_ESCAPED_PORT=$escaped
export VARDEL_COLLECT_DIR=$work/central VARDEL_COLLECT_OUT=${VARDEL_COLLECT_OUT:-}
export VARDEL_EDGE_DIR=$work/edge VARDEL_LOG_FOLDER=$folder VARDEL_COLLECTOR=127.0.0.1 VARDEL_TAIL_PORT=$tail
export VARDEL_PC_NAME=${VARDEL_PC_NAME:-$(hostname)}
export VARDEL_STORE_CONF=$conf/store/pgsql.conf VARDEL_STORE_SERVER=$socket VARDEL_STORE_PORT=$port
export VARDEL_STORE_DB=vardel VARDEL_STORE_USER=vardel_collector VARDEL_STORE_PASS=
export VARDEL_SHIPPERS_CONF=$conf/shippers.conf VARDEL_SHIPPERS_PORT=$shippers
export VARDEL_TLS_CA=$tls/ca.pem VARDEL_TLS_CERT=$tls/collector.pem VARDEL_TLS_KEY=$tls/collector.key
mkdir -p "$VARDEL_COLLECT_DIR" "$VARDEL_EDGE_DIR"
for name in central edge; do
  if ! "$rsyslogd" -N1 -f "$conf/$name.conf" >"$work/$name.check" 2>&1; then
    echo "site: the $name configuration does not validate:" >&2; cat "$work/$name.check" >&2; exit 1
  fi
done
start central "$relp" "$rsyslogd" -n -f "$conf/central.conf" -i "$work/central.pid" || exit 77
listening "$shippers" || { echo "site: the shippers' input does not listen:" >&2; cat "$work/central.log" >&2; exit 1; }
echo "input: shippers 127.0.0.1:$shippers"
echo "input: relp 127.0.0.1:$relp"
if [ -n "$folder" ]; then
  # The edge keeps every day file of the folder open (two descriptors each):
  # a folder kept for years needs more than the usual soft limit of 1024.
  ulimit -n "$(ulimit -Hn)" 2>/dev/null || true
  start edge "$tail" "$rsyslogd" -n -f "$conf/edge.conf" -i "$work/edge.pid" || exit 1
  # Its companion hands in a last record that has no line break yet.
  start edge-tail "" python3 "$conf/edge-tail.py" "$folder" "$VARDEL_EDGE_DIR" "$tail" "$VARDEL_PC_NAME"
fi

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
if [ -x "$page" ]; then
  start page "$http" "$page" --address 127.0.0.1 --port "$http" --store "$store_url" || exit 1
  echo "page: http://127.0.0.1:$http/"
fi
echo "store: $store_url"

# Until stopped; an rsyslogd or the page that ends by itself ends the site.
while :; do
  for pid in "${pids[@]}"; do
    kill -0 "$pid" 2>/dev/null || { echo "site: a process ended early:" >&2; tail -n 20 "$work"/*.log >&2; exit 1; }
  done
  sleep 1 & wait $! || true
done
