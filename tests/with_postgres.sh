#!/usr/bin/env bash
# A private PostgreSQL server for the tests of the central history: initdb into a new temporary
# folder, listening on a socket in that folder only (no TCP port), with a role and a database of
# its own. The command runs with TOLVEX_TEST_CENTRAL set to its connection URI; the server is
# stopped and its folder removed at the end, whatever the command did, even when it was killed.
#   with_postgres.sh COMMAND [ARGS...]   run COMMAND against a new server; its exit code
#   with_postgres.sh stop | start        from inside COMMAND: stop, or start again, that server
set -uo pipefail

bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
if [ ! -x "$bin/initdb" ]; then
  echo "with_postgres.sh: PostgreSQL's server is not installed (Debian: postgresql)" >&2
  exit 1
fi

# The server refuses to run as root: as root it runs as nobody.
# From / : the server's user may not enter the caller's folder.
as_server() (
  cd / || exit 1
  if [ "$(id -u)" -eq 0 ]; then
    exec setpriv --reuid=nobody --regid=nogroup --clear-groups -- "$@"
  else
    exec "$@"
  fi
)

pg_ctl_start() { # DIR
  as_server "$bin/pg_ctl" -D "$1/data" -l "$1/server.log" -w -t 30 \
    -o "-k $1/socket -c listen_addresses= -p $(cat "$1/port") -c fsync=off" start >/dev/null
}

pg_ctl_stop() { # DIR MODE
  as_server "$bin/pg_ctl" -D "$1/data" -m "$2" -w -t 30 stop >/dev/null 2>&1
}

case "${1:-}" in
  stop | start)
    dir=${TOLVEX_TEST_PG_DIR:?with_postgres.sh $1: no server was started}
    if [ "$1" = stop ]; then pg_ctl_stop "$dir" fast; else pg_ctl_start "$dir"; fi
    exit $?
    ;;
  "")
    echo "usage: with_postgres.sh COMMAND [ARGS...] | stop | start" >&2
    exit 2
    ;;
esac

dir=$(mktemp -d "${TMPDIR:-/tmp}/tolvex-pg-XXXXXX") || exit 1
chmod 755 "$dir"
mkdir "$dir/data" "$dir/socket"
echo $((20000 + RANDOM % 20000)) >"$dir/port"
[ "$(id -u)" -eq 0 ] && chown nobody:nogroup "$dir/data" "$dir/socket" "$dir"

cleanup() {
  pg_ctl_stop "$dir" immediate
  rm -rf "$dir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

if ! as_server "$bin/initdb" -D "$dir/data" -U tolvex_admin --auth=trust -E UTF8 --locale=C.UTF-8 >"$dir/initdb.log" 2>&1; then
  echo "with_postgres.sh: initdb failed:" >&2
  cat "$dir/initdb.log" >&2
  exit 1
fi
if ! pg_ctl_start "$dir"; then
  echo "with_postgres.sh: the server did not start:" >&2
  cat "$dir/server.log" >&2
  exit 1
fi
# Should this script be killed outright, the server goes with it.
parent=$$
(
  while kill -0 "$parent" 2>/dev/null; do sleep 1; done
  pg_ctl_stop "$dir" immediate
  rm -rf "$dir"
) </dev/null >/dev/null 2>&1 &

port=$(cat "$dir/port")
"$bin/psql" -X -q -h "$dir/socket" -p "$port" -U tolvex_admin -d postgres -v ON_ERROR_STOP=1 \
  -c "CREATE ROLE tolvex_station LOGIN" -c "CREATE DATABASE tolvex_test OWNER tolvex_station" \
  -c "CREATE ROLE tolvex_other LOGIN" || exit 1
# A second station's role, as the README sets one up: it may write rows in the tables the first
# makes, and change only its own.
"$bin/psql" -X -q -h "$dir/socket" -p "$port" -U tolvex_admin -d tolvex_test -v ON_ERROR_STOP=1 \
  -c "ALTER DEFAULT PRIVILEGES FOR ROLE tolvex_station GRANT SELECT, INSERT, UPDATE ON TABLES TO tolvex_other" || exit 1

export TOLVEX_TEST_PG_DIR=$dir
export TOLVEX_TEST_PG_CTL="bash $(cd "$(dirname "$0")" && pwd)/$(basename "$0")"
export TOLVEX_TEST_CENTRAL="postgresql://tolvex_station@/tolvex_test?host=$dir/socket&port=$port"
"$@"
