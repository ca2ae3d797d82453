#!/usr/bin/env bash
# The program as its own process over the preloaded world (libusb and hidapi, one world with a
# timetable): a station of boards that share their boot loader's serial, one whose boot loader
# Config.ini does not list, one pulled while it restarts, another put in its place, and one
# pulled on its way to DFU mode, another put in its port, which is taken at once.
#   check_preloaded_station.sh PRELOAD TOLVEX_DFU DEMO_DIR WORK
set -uo pipefail
[ $# -eq 4 ] || { echo "usage: check_preloaded_station.sh PRELOAD TOLVEX_DFU DEMO_DIR WORK"; exit 2; }
preload=$1 program=$2 demo=$3 work=$4
rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1
cp "$demo/Config.ini" . || exit 1
cat >world.txt <<'WORLD'
app product=Tolvex_Demo_Board serial=SN-0001 boot-serial=BOOT-SHARED version=V1.0 port=1
app product=Tolvex_Demo_Board serial=SN-0002 boot-serial=BOOT-SHARED version=V1.0 port=2 at=0.5
app product=Tolvex_Demo_Board serial=SN-0003 boot-product=Tolvex_Loader version=V1.0 port=3 at=1
# SN-0004 restarts slowly; pulled while it comes back from DFU mode, SN-0005 put in instead
app product=Tolvex_Demo_Board serial=SN-0004 version=V1.0 port=4 restart=2
unplug port=4 at=3
app product=Tolvex_Demo_Board serial=SN-0005 version=V1.0 port=4 at=3
# SN-0006 is slow into DFU mode and pulled on its way there; SN-0007 put in at once
app product=Tolvex_Demo_Board serial=SN-0006 version=V1.0 port=6 restart=4
unplug port=6 at=1
app product=Tolvex_Demo_Board serial=SN-0007 version=V1.0 port=6 at=1.3
WORLD
run() { LD_PRELOAD=$preload TOLVEX_SIM_WORLD=$work/world.txt "$program" "$@"; }
failed=0
expect() { # WHAT TEXT: TEXT must be in the station's output
  grep -qF -- "$2" station.json || { echo "FAIL $1: no $2 in:"; cat station.json; failed=1; }
}
# A label as a hand types it in a --labels file: blanks around the '='.
printf '# the fixture\n1-1 = slot-A\n' >labels.txt
run station "$demo/Tolvex-Demo-Board-V1.1.dfu" --count 7 --json --history h.sqlite --labels labels.txt \
  >station.json 2>station.err
code=$?
[ "$code" -eq 1 ] || { echo "FAIL: exit $code, not 1 (a board refused, one replaced)"; cat station.err; failed=1; }
expect "tally" '"done":4'
expect "tally" '"refused":1'
expect "tally" '"failed":1'
expect "tally" '"pulled":1'
expect "the pulled board" 'pulled before it reached DFU mode; nothing was written'
expect "a time on every event" '"time":"20'
expect "the row of a result" '"row":"'
expect "a label" '"label":"slot-A"'
expect "both serials" '"appSerial":"SN-0002","bootSerial":"BOOT-SHARED"'
expect "the refused board" '"device":"1-3","event":"result","exit":3'
expect "the swapped board" 'another board came back at 1-4 (serial SN-0005, not SN-0004)'
rows=$(run history --history h.sqlite --csv)
for serial in SN-0001 SN-0002 SN-0003 SN-0004 SN-0005 SN-0006 SN-0007; do
  [ "$(grep -c ",$serial," <<<"$rows")" -eq 1 ] || { echo "FAIL: not one row for $serial:"; echo "$rows"; failed=1; }
done
grep -q ',SN-0004,.*,replaced,' <<<"$rows" || { echo "FAIL: SN-0004's row does not say replaced"; failed=1; }
[ "$(run history --history h.sqlite --serial BOOT-SHARED --csv | grep -c ',done,')" -eq 2 ] ||
  { echo "FAIL: history --serial BOOT-SHARED does not find both boards"; failed=1; }
grep -q ',SN-0006,.*,pulled,' <<<"$rows" || { echo "FAIL: SN-0006's row does not say pulled"; failed=1; }
[ "$failed" -eq 0 ] && echo "the station over the preloaded world: 7 boards, each as it was"
exit "$failed"
