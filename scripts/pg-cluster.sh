#!/usr/bin/env bash
# A throwaway PostgreSQL server for the record tests and the benchmark: its own cluster
# in a temporary folder, reached only through a Unix socket in that folder (no TCP),
# trust authentication, superuser "postgres".
#   scripts/pg-cluster.sh start STATE_DIR   starts it; writes STATE_DIR/url, e.g.
#                                           postgresql://postgres@/postgres?host=/tmp/ostra-pg.X
#   scripts/pg-cluster.sh stop STATE_DIR    stops it and removes its folder
# When the server programs are not installed, start writes the reason into
# STATE_DIR/absent and succeeds (the tests then skip); any other failure fails.
# As root (CI), initdb and postgres refuse to run: they run as the system user
# "postgres" that Debian's package creates, in a folder that user owns.
# PG_BIN names the folder of initdb, pg_ctl and postgres (default: the newest
# /usr/lib/postgresql/*/bin, else the PATH).
set -euo pipefail
action=${1:-}
state=${2:-}
if [ -z "$action" ] || [ -z "$state" ]; then
  echo "usage: $0 start|stop STATE_DIR" >&2
  exit 2
fi
mkdir -p "$state"
state=$(cd "$state" && pwd)

find_bin() {
  if [ -n "${PG_BIN:-}" ]; then
    echo "$PG_BIN"
    return
  fi
  local dir
  dir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n1 || true)
  if [ -n "$dir" ] && [ -x "$dir/initdb" ]; then
    echo "$dir"
    return
  fi
  if command -v initdb >/dev/null 2>&1; then
    dirname "$(command -v initdb)"
  fi
}

as_owner() {  # runs a server program as the cluster's owner
  if [ "$(id -u)" -eq 0 ]; then
    (cd "$cluster" && runuser -u postgres -- "$@")
  else
    (cd "$cluster" && "$@")
  fi
}

stop() {
  [ -f "$state/cluster" ] || return 0
  cluster=$(cat "$state/cluster")
  if [ -d "$cluster/data" ]; then
    as_owner "$bin/pg_ctl" -D "$cluster/data" -m immediate -w stop >/dev/null 2>&1 || true
  fi
  rm -rf "$cluster"
  rm -f "$state/cluster" "$state/url"
}

bin=$(find_bin)
case "$action" in
  start)
    rm -f "$state/absent"
    if [ -z "$bin" ] || [ ! -x "$bin/initdb" ] || [ ! -x "$bin/pg_ctl" ] || [ ! -x "$bin/postgres" ]; then
      echo "the PostgreSQL server programs (initdb, pg_ctl, postgres) are not installed: install Debian's postgresql package (scripts/setup.sh does)" | tee "$state/absent" >&2
      exit 0
    fi
    stop  # a cluster left by an interrupted run
    cluster=$(mktemp -d "${TMPDIR:-/tmp}/ostra-pg.XXXXXX")
    chmod 755 "$cluster"
    if [ "$(id -u)" -eq 0 ]; then
      if ! id postgres >/dev/null 2>&1; then
        echo "running as root, but there is no system user \"postgres\" to run the server (Debian's postgresql package creates it)" >&2
        rm -rf "$cluster"
        exit 1
      fi
      chown postgres: "$cluster"
    fi
    echo "$cluster" >"$state/cluster"
    if ! as_owner "$bin/initdb" -D "$cluster/data" -U postgres --auth=trust -E UTF8 --locale=C \
      --no-sync >"$state/initdb.log" 2>&1; then
      cat "$state/initdb.log" >&2
      stop
      exit 1
    fi
    if ! as_owner "$bin/pg_ctl" -D "$cluster/data" -l "$cluster/server.log" -w -t 60 \
      -o "-k $cluster -c listen_addresses= -c max_connections=200" start >/dev/null; then
      cat "$cluster/server.log" >&2 || true
      stop
      exit 1
    fi
    echo "postgresql://postgres@/postgres?host=$cluster" >"$state/url"
    echo "PostgreSQL $("$bin/postgres" --version | awk '{print $3}') on $cluster"
    ;;
  stop)
    stop
    ;;
  *)
    echo "usage: $0 start|stop STATE_DIR" >&2
    exit 2
    ;;
esac
