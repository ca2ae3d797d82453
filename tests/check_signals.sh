#!/usr/bin/env bash
# tolvex-dfu as its own process, over a simulated board in DFU mode (the libusb stand-in
# preloaded): a reader that goes away (SIGPIPE) and a terminal that closes (SIGHUP) during the
# write stop the update at a safe point, as Ctrl-C does: exit 130, the board left in DFU mode,
# its history row "interrupted". Without handling, the process died half-way (141 and 129) and
# the row stayed "running".
#   check_signals.sh PRELOAD TOLVEX_DFU DEMO_DIR WORK
set -uo pipefail
[ $# -eq 4 ] || { echo "usage: check_signals.sh PRELOAD TOLVEX_DFU DEMO_DIR WORK"; exit 2; }
preload=$1 program=$2 demo=$3 work=$4
rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1
cp "$demo/Config.ini" . || exit 1
firmware=$demo/Tolvex-Demo-Board-V1.1.dfu
printf 'dfu product=Tolvex_Demo_Board serial=TVX-0001 timing=realistic\n' >world.txt
run() { LD_PRELOAD=$preload TOLVEX_SIM_WORLD=$work/world.txt "$program" "$@"; }
failed=0
check_row() { # HISTORY WHAT
  local rows
  rows=$(run history --history "$1" --json)
  if ! grep -q '"result":"interrupted"' <<<"$rows" || ! grep -q 'stays in DFU mode' <<<"$rows"; then
    echo "FAIL $2: the history row is not \"interrupted\", board in DFU mode: $rows"
    failed=1
  fi
}

# SIGPIPE: the reader takes the first line and goes.
run update "$firmware" --json --history pipe.sqlite 2>pipe.err | head -n 1 >/dev/null
code=${PIPESTATUS[0]}
if [ "$code" -ne 130 ]; then
  echo "FAIL SIGPIPE: exit $code, not 130"; cat pipe.err; failed=1
fi
check_row pipe.sqlite SIGPIPE

# SIGHUP once the write has begun.
# Not through run(): $! must be the program itself, not a subshell around it.
LD_PRELOAD=$preload TOLVEX_SIM_WORLD=$work/world.txt "$program" update "$firmware" --history hup.sqlite >hup.out 2>hup.err &
pid=$!
for _ in $(seq 200); do
  grep -q 'write' hup.err 2>/dev/null && break
  sleep 0.1
done
kill -HUP "$pid"
wait "$pid"
code=$?
if [ "$code" -ne 130 ]; then
  echo "FAIL SIGHUP: exit $code, not 130"; cat hup.err; failed=1
fi
check_row hup.sqlite SIGHUP

[ "$failed" -eq 0 ] && echo "SIGPIPE and SIGHUP stop the update at a safe point"
exit "$failed"
