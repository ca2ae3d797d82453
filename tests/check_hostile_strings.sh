#!/usr/bin/env bash
# A board whose strings are hostile: line feeds, carriage returns, an escape sequence, a bell,
# a right-to-left override and a '%1' in its product name, serial, version text and memory
# layout, served by the preloaded world to the program as its own process. Every text line of
# every command must be one line per event, with no raw control or format character.
#   check_hostile_strings.sh PRELOAD TOLVEX_DFU DEMO_DIR WORK
set -uo pipefail
[ $# -eq 4 ] || { echo "usage: check_hostile_strings.sh PRELOAD TOLVEX_DFU DEMO_DIR WORK"; exit 2; }
preload=$1 program=$2 demo=$3 work=$4
rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1
cp "$demo/Config.ini" . || exit 1
# %0A line feed, %0D carriage return, %1B escape, %07 bell, %E2%80%AE U+202E, %25 a '%'.
cat >world.txt <<'WORLD'
app product=Evil%0Atolvex-dfu:_1-9:_V9.9_->_V9.9%1B[2J%07%E2%80%AE serial=SN%0D%0A%251 boot-product=Tolvex_Demo_Board boot-serial=BOOT%0A%1B[31m version=V%251%1B port=1
dfu product=Tolvex_Demo_Board serial=LOADER%0Afake layout=@Flash%1B[2J%0Aforged%E2%80%AE/0x08000000/64*02Kg port=2
WORLD
run() { LD_PRELOAD=$preload TOLVEX_SIM_WORLD=$work/world.txt "$program" "$@"; }
failed=0
# No byte of the C0 set but the line feed, no DEL, no C1 in UTF-8, no U+202E, no U+2028/9.
raw() { LC_ALL=C grep -c -P '[\x00-\x09\x0B-\x1F\x7F]|\xC2[\x80-\x9F]|\xE2\x80[\xA8\xA9\xAA-\xAE]|\xE2\x81[\xA6-\xA9]' "$1"; }
check() { # NAME FILE...: no raw character, and no line that begins with a forged text
  for f in "${@:2}"; do
    if [ "$(raw "$f")" -ne 0 ]; then
      echo "FAIL $1: a raw control or format character in $f:"; od -c "$f" | head -20; failed=1
    fi
    if grep -q -E '^(tolvex-dfu: 1-9|forged|fake|Fake|\[2J)' "$f"; then
      echo "FAIL $1: a line forged by a device string in $f:"; cat -v "$f"; failed=1
    fi
  done
}
run list >list.out 2>list.err
check list list.out list.err
# Two application-mode lines, two DFU-mode lines and their headings: one line each.
[ "$(grep -c '"' list.out)" -ge 2 ] || { echo "FAIL list: the devices are not listed:"; cat -v list.out; failed=1; }
run update "$demo/Tolvex-Demo-Board-V1.1.dfu" --device 1-1 --history h.sqlite >update.out 2>update.err
code=$?
check update update.out update.err
[ "$code" -eq 0 ] || { echo "FAIL update: exit $code"; cat -v update.err; failed=1; }
[ "$(wc -l <update.out)" -eq 1 ] || { echo "FAIL update: not one result line:"; cat -v update.out; failed=1; }
run upload backup.dfu --device 1-2 --history h.sqlite -v >upload.out 2>upload.err
check "upload -v" upload.out upload.err
run station "$demo/Tolvex-Demo-Board-V1.1.dfu" --count 1 --device 1-1 --history h.sqlite >station.out 2>station.err
check station station.out station.err
grep -qF -- '%1: V%1\x1b -> V1.1 (' station.out || { echo "FAIL station: the board's line is not whole:"; cat -v station.out station.err; failed=1; }
run history --history h.sqlite >history.out 2>history.err
check history history.out history.err
[ "$(wc -l <history.out)" -eq 4 ] || { echo "FAIL history: not a heading and three rows:"; cat -v history.out; failed=1; }
# JSON keeps the true strings.
run list --json >list.json 2>/dev/null
grep -qF 'Evil\ntolvex-dfu' list.json || { echo "FAIL list --json: the true product name is not kept"; cat list.json; failed=1; }
[ "$failed" -eq 0 ] && echo "hostile device strings: shown as data in every text output"
exit "$failed"
