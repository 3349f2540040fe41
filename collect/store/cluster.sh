#!/usr/bin/env bash
# A private PostgreSQL cluster for the store: its own data folder, its own
# free port on 127.0.0.1 and its own socket folder, so that neither the
# system's cluster nor its port is touched. Used by the store tests, the
# benchmark and scripts/site.sh.
#   cluster.sh start DIR    initdb on first use (owner role postgres), then
#                           starts it and waits (bounded) until it answers;
#                           prints port=N and socket=DIR/socket. The port is
#                           chosen once and kept in DIR/port, so a restart
#                           keeps it.
#   cluster.sh schema DIR   applies schema/*.sql in name order, as the owner
#   cluster.sh stop DIR     stops it (fast shutdown), waiting until it has
# Connect as the owner: psql -h DIR/socket -p N -U postgres -d vardel
# Environment: VARDEL_PG_BIN (the server's programs, default PostgreSQL
# 15's), VARDEL_PG_OPTIONS (more server options, e.g. "-c fsync=off").
# Run as root, the server runs as the postgres system user, which then
# owns DIR/data and DIR/socket.
# Who may connect: over the socket, by the peer's system user alone, the
# server's own user as postgres, and the user who runs this script as any
# of the store's roles (postgres, vardel_collector, vardel_reader): the
# collector, the page and the scripts of this tree run as that user, so
# they need no password. The socket's folder is open to the server's user
# alone (root reaches it too). Over TCP a role needs a password, and the
# store's roles have none. Every start writes these rules anew, so an older
# cluster gets them too. Another local user cannot connect as any role.
# Exit codes: 0 done, 1 failure, 2 bad arguments, 3 PostgreSQL cannot start
# here (the reason on stderr).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
bin=${VARDEL_PG_BIN:-/usr/lib/postgresql/15/bin}

[ $# -eq 2 ] || { echo "usage: cluster.sh start|schema|stop DIR" >&2; exit 2; }
cmd=$1
mkdir -p "$2"
dir=$(cd "$2" && pwd)
data=$dir/data socket=$dir/socket log=$dir/log/server.log

# as_owner CMD...: runs CMD as the cluster's system user.
as_owner() {
  if [ "$(id -u)" = 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}
port() { cat "$dir/port"; }
psql_owner() { as_owner "$bin/psql" -X -q -v ON_ERROR_STOP=1 -h "$socket" -p "$(port)" -U postgres "$@"; }

# access: who may connect (see the top), written over what initdb left.
access() {
  local server me
  server=$(as_owner id -un) me=$(id -un)
  printf '%s\n' "# Written by collect/store/cluster.sh on every start." \
    "local all all peer map=vardel" \
    "host all all 127.0.0.1/32 scram-sha-256" \
    "host all all ::1/128 scram-sha-256" | as_owner tee "$data/pg_hba.conf" >/dev/null
  printf '%s\n' "# Written by collect/store/cluster.sh on every start: system user, role." \
    "vardel $server postgres" "vardel $me postgres" "vardel $me vardel_collector" \
    "vardel $me vardel_reader" | as_owner tee "$data/pg_ident.conf" >/dev/null
}

start() {
  for p in initdb pg_ctl psql; do
    [ -x "$bin/$p" ] || { echo "cluster: cannot start PostgreSQL: $bin/$p missing (scripts/setup.sh installs postgresql)" >&2; exit 3; }
  done
  if [ "$(id -u)" = 0 ]; then
    id postgres >/dev/null 2>&1 || { echo "cluster: cannot start PostgreSQL as root: no postgres system user" >&2; exit 3; }
    mkdir -p "$data" "$socket" "$dir/log"
    chown postgres: "$data" "$socket" "$dir/log"
    if ! runuser -u postgres -- test -w "$socket"; then
      echo "cluster: the postgres system user cannot reach $dir (a folder above it is closed to others)" >&2; exit 1
    fi
  fi
  # A socket's path is at most 107 bytes.
  if [ $(( ${#socket} + 20 )) -gt 107 ]; then
    echo "cluster: the socket folder's path is too long for a socket: $socket" >&2; exit 1
  fi
  mkdir -p "$socket" "$dir/log"
  if [ ! -f "$data/PG_VERSION" ]; then
    if ! as_owner "$bin/initdb" -D "$data" -U postgres -E UTF8 --locale=C.UTF-8 \
           --auth-local=peer --auth-host=scram-sha-256 >"$dir/initdb.log" 2>&1; then
      echo "cluster: cannot start PostgreSQL: initdb failed:" >&2; cat "$dir/initdb.log" >&2; exit 3
    fi
  fi
  access
  chmod 700 "$socket"
  [ -f "$dir/port" ] || python3 -c '
import socket
s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])' >"$dir/port"
  if as_owner "$bin/pg_ctl" -D "$data" status >/dev/null 2>&1; then
    echo "cluster: already running" >&2
    as_owner "$bin/pg_ctl" -D "$data" reload >/dev/null
  else
    # A stale pid file of a killed server is removed by pg_ctl itself.
    if ! as_owner "$bin/pg_ctl" -D "$data" -l "$log" -w -t 30 \
           -o "-p $(port) -k $socket -c listen_addresses=127.0.0.1 ${VARDEL_PG_OPTIONS:-}" start >"$dir/pg_ctl.log" 2>&1; then
      echo "cluster: cannot start PostgreSQL:" >&2; cat "$dir/pg_ctl.log" "$log" >&2 2>/dev/null || true
      exit 3
    fi
  fi
  # Answering, and the store's database there.
  local ok=
  for _ in $(seq 100); do
    if as_owner "$bin/pg_isready" -q -h "$socket" -p "$(port)"; then ok=1; break; fi
    sleep 0.1
  done
  [ -n "$ok" ] || { echo "cluster: PostgreSQL does not answer:" >&2; cat "$log" >&2; exit 3; }
  if [ -z "$(psql_owner -d postgres -Atc "select 1 from pg_database where datname = 'vardel'")" ]; then
    psql_owner -d postgres -c "create database vardel"
  fi
  echo "port=$(port)"
  echo "socket=$socket"
}

schema() {
  local f
  for f in "$here"/schema/*.sql; do
    # Read by this shell, so that the owner's account need not reach the tree.
    PGOPTIONS="-c client_min_messages=warning" psql_owner -d vardel -f - <"$f" || { echo "cluster: $f failed" >&2; exit 1; }
  done
}

stop() {
  [ -f "$data/PG_VERSION" ] || return 0
  if as_owner "$bin/pg_ctl" -D "$data" status >/dev/null 2>&1; then
    as_owner "$bin/pg_ctl" -D "$data" -m fast -w -t 60 stop >/dev/null
  fi
}

case $cmd in
  start) start ;;
  schema) schema ;;
  stop) stop ;;
  *) echo "usage: cluster.sh start|schema|stop DIR" >&2; exit 2 ;;
esac
