#!/usr/bin/env bash
# A throwaway PostgreSQL cluster for the tests: socket and data under one /tmp
# folder (BACKOFFICE_PG_DIR, default /tmp/backoffice-pg), fsync off. "start"
# prints the connection string; "start --durable" starts it with fsync, full
# page writes and synchronous commit on, as a production database runs (the
# benchmarks); "stop" stops it by its pid and removes the folder.
set -euo pipefail
DIR=${BACKOFFICE_PG_DIR:-/tmp/backoffice-pg}
BIN=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
as_owner() {
  if [ "$(id -u)" = 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}
stop_cluster() {
  pidfile="$DIR/data/postmaster.pid"
  if [ -f "$pidfile" ]; then
    pid=$(head -n 1 "$pidfile")
    kill -INT "$pid" 2>/dev/null || true
    for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  fi
  rm -rf "$DIR"
}
case "${1:-}" in
  start)
    durability="-c fsync=off -c synchronous_commit=off -c full_page_writes=off"
    [ "${2:-}" = "--durable" ] && durability="-c fsync=on -c synchronous_commit=on -c full_page_writes=on"
    stop_cluster  # a cluster left in the same folder by an earlier start
    [ -x "$BIN/initdb" ] || { echo "pg-cluster: PostgreSQL server programs not found" >&2; exit 1; }
    rm -rf "$DIR"; mkdir -p "$DIR"
    [ "$(id -u)" = 0 ] && chown postgres:postgres "$DIR"
    as_owner "$BIN/initdb" -D "$DIR/data" -A trust -U postgres -E UTF8 --locale=C.UTF-8 --no-sync >"$DIR/initdb.log" 2>&1 \
      || { cat "$DIR/initdb.log" >&2; exit 1; }
    as_owner "$BIN/pg_ctl" -D "$DIR/data" -l "$DIR/server.log" -w -t 60 \
      -o "-k $DIR -c listen_addresses='' $durability -c max_connections=300" \
      start >/dev/null || { cat "$DIR/server.log" >&2; exit 1; }
    as_owner "$BIN/psql" -h "$DIR" -U postgres -d postgres -qAt -c "CREATE DATABASE backoffice_test" >/dev/null
    echo "Provider=PostgreSQL;Host=$DIR;Database=backoffice_test;User ID=postgres"
    ;;
  stop)
    stop_cluster
    ;;
  *) echo "usage: $0 start [--durable]|stop (folder: \$BACKOFFICE_PG_DIR)" >&2; exit 2 ;;
esac
