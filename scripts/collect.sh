#!/usr/bin/env bash
# Runs the central collection on this machine: a collector and an edge
# rsyslogd (in the foreground, with work folders of their own and ports on
# 127.0.0.1; the system's syslog is not touched), the edge reading every
# regular file Log_YYYY_MM_DD.log of LOG_FOLDER from the start, as many at
# a time as the open-file limit allows (no link in LOG_FOLDER is followed:
# edge-run.py). Ends once the collector has written to OUT_FILE
# (one JSON object a line) a record at each offset where a file holds a
# record start, or after a time limit; then names each file whose records
# did not all arrive whole (and records that arrived in pieces) and fails
# if there is one.
#   collect.sh LOG_FOLDER OUT_FILE
# Environment: VARDEL_PC_NAME (the host name the records carry; default
# this machine's), VARDEL_COLLECT_TIMEOUT (seconds in all, default 60),
# VARDEL_COLLECT_HOLD (a file: while it exists, collect.sh goes on reading,
# for day files that are still being written).
# Exit codes: 0 done, 1 records did not all arrive whole (or a configuration
# does not validate), 2 bad arguments, 3 an rsyslogd (or the edge's
# companion) is missing, does not start or ends early (the cause on stderr).
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"
conf=$top/collect

[ $# -eq 2 ] || { echo "usage: collect.sh LOG_FOLDER OUT_FILE" >&2; exit 2; }
[ -d "$1" ] || { echo "collect: no folder $1" >&2; exit 2; }
folder=$(cd "$1" && pwd)
out=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
timeout=${VARDEL_COLLECT_TIMEOUT:-60}
rsyslogd=$(command -v rsyslogd || echo /usr/sbin/rsyslogd)
[ -x "$rsyslogd" ] || { echo "collect: cannot start rsyslogd: not installed (scripts/setup.sh installs it)" >&2; exit 3; }

run=$(mktemp -d "${TMPDIR:-/tmp}/vardel-collect.XXXXXX")
pids=()
stop_all() {
  local pid
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
  done
  rm -rf "$run"
}
trap stop_all EXIT

# Three free ports, asked of the system.
read -r relp tcp escaped < <(free_ports 3)

# start NAME CONF: one rsyslogd in the foreground; waits (bounded) for PORT
# when one is given as a third argument.
start() {
  local name=$1 file=$2 port=${3:-}
  mkdir -p "$run/$name"
  if ! "$rsyslogd" -N1 -f "$file" >"$run/$name.check" 2>&1; then
    echo "collect: the $name configuration does not validate:" >&2; cat "$run/$name.check" >&2; exit 1
  fi
  "$rsyslogd" -n -f "$file" -i "$run/$name.pid" >"$run/$name.log" 2>&1 &
  pids+=($!)
  [ -n "$port" ] || return 0
  for _ in $(seq 100); do
    listening "$port" && return 0
    kill -0 "${pids[-1]}" 2>/dev/null || break
    sleep 0.1
  done
  echo "collect: cannot start rsyslogd ($name):" >&2; cat "$run/$name.log" >&2; exit 3
}

export VARDEL_CONF_DIR=$conf VARDEL_LISTEN=127.0.0.1 VARDEL_RELP_PORT=$relp VARDEL_TCP_PORT=$tcp VARDEL_ESCAPED_PORT=$escaped
export VARDEL_COLLECT_DIR=$run/central VARDEL_COLLECT_OUT=$out
export VARDEL_EDGE_DIR=$run/edge VARDEL_LOG_FOLDER=$run/folder VARDEL_COLLECTOR=127.0.0.1
export VARDEL_PC_NAME=${VARDEL_PC_NAME:-$(hostname)}
: >"$out"
start central "$conf/central.conf" "$relp"
mkdir -p "$run/edge" "$run/folder"
if ! "$rsyslogd" -N1 -f "$conf/edge.conf" >"$run/edge.check" 2>&1; then
  echo "collect: the edge configuration does not validate:" >&2; cat "$run/edge.check" >&2; exit 1
fi

# The edge keeps each file it has read open (two descriptors, more through
# a link) and closes none, and this shell's open-file limit may be low: the
# edge reads the day files a batch at a time, through links in a folder of
# its own, a process for each batch (its read positions and queue stay in
# its work folder), a batch a quarter of what the limit leaves. Beside each
# edge process runs edge-tail.py, which sends a last record that has no
# line break (imfile does not); both through edge-run.py.
batch=$(( ($(ulimit -n) - 64) / 4 ))
[ "$batch" -ge 1 ] || batch=1
set +e
python3 "$top/scripts/collect_watch.py" "$folder" "$out" "$timeout" "$batch" \
  "$rsyslogd" "$conf/edge.conf" "$run/edge/edge.pid" "$run/edge.log" "$conf/edge-tail.py" \
  "$conf/edge-run.py" "${pids[@]}"
rc=$?
set -e
if [ $rc -ne 0 ]; then
  cat "$run"/*.log >&2
  [ $rc -eq 3 ] && exit 3
  exit 1
fi
echo "collect: $(wc -l <"$out") records from $folder in $out"
