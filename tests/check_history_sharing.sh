#!/usr/bin/env bash
# The history as desktops and shared machines have it, to the program as its own process over
# the preloaded world: a full disk, a read-only mount, and a second user who reads a history
# another user keeps. Needs root (a mount namespace, two other users); skipped (77) otherwise.
#   check_history_sharing.sh PRELOAD TOLVEX_DFU DEMO_DIR
set -uo pipefail
[ $# -eq 3 ] || { echo "usage: check_history_sharing.sh PRELOAD TOLVEX_DFU DEMO_DIR"; exit 2; }
if [ "$(id -u)" -ne 0 ] || ! unshare -m true 2>/dev/null || ! command -v setpriv >/dev/null; then
  echo "SKIP: needs root, mount namespaces and setpriv"
  exit 77
fi
# Everything the other users run or read is copied where they may: the build tree may be private.
work=$(mktemp -d /tmp/tolvex-history-sharing.XXXXXX) || exit 1
trap 'rm -rf "$work"' EXIT
chmod 1777 "$work"
cp "$1" "$work/preload.so" && cp "$2" "$work/tolvex-dfu" && cp "$3/Config.ini" "$3/Tolvex-Demo-Board-V1.1.dfu" "$work/" ||
  exit 1
chmod 755 "$work/tolvex-dfu" "$work/preload.so" && chmod 644 "$work"/*.ini "$work"/*.dfu
cd "$work" || exit 1
echo 'app product=Tolvex_Demo_Board serial=SN-0001 version=V1.0 port=1' >world.txt
chmod 644 world.txt
# As USER (uid:gid), or as root when none is given.
as() {
  local who=$1; shift
  local env=(env LD_PRELOAD="$work/preload.so" TOLVEX_SIM_WORLD="$work/world.txt" HOME="$work" XDG_STATE_HOME="$work/state")
  if [ "$who" = root ]; then "${env[@]}" "$work/tolvex-dfu" "$@"; else
    setpriv --reuid="${who%:*}" --regid="${who#*:}" --clear-groups -- "${env[@]}" "$work/tolvex-dfu" "$@"; fi
}
update() { as "$1" update "$work/Tolvex-Demo-Board-V1.1.dfu" --json --history "$2"; }
rows() { as "$1" history --history "$2" --csv | tail -n +2 | wc -l; }
failed=0
fail() { echo "FAIL: $*"; failed=1; }

# A full disk: the sound history is left as it is, the update goes on and says it is not recorded.
mkdir full
unshare -m bash -c '
  mount -t tmpfs -o size=512k tmpfs full || exit 90
  '"$(declare -f as update rows)"'
  work='"$work"'
  update root full/h.sqlite >/dev/null 2>&1
  dd if=/dev/zero of=full/filler bs=4k >/dev/null 2>&1
  update root full/h.sqlite >full.json 2>full.err; echo $? >full.code
  rm -f full/filler
  rows root full/h.sqlite >full.rows
  ls -A full >full.ls'
[ "$(cat full.code 2>/dev/null)" = 0 ] || { fail "full disk: exit $(cat full.code 2>/dev/null), not 0"; cat full.err; }
grep -q '"recorded":false' full.json || fail "full disk: the result does not say the row is not recorded"
grep -q 'not recorded' full.err || { fail "full disk: nothing said on standard error"; cat full.err; }
[ "$(cat full.rows)" = 1 ] || fail "full disk: $(cat full.rows) rows, not the 1 there was before"
grep -q damaged full.ls && fail "full disk: the history was set aside: $(cat full.ls)"

# A read-only mount: the history is read, nothing is written beside it.
mkdir ro
update root ro/h.sqlite >/dev/null 2>&1
unshare -m bash -c '
  mount --bind ro ro && mount -o remount,bind,ro ro || exit 90
  '"$(declare -f as rows)"'
  work='"$work"'
  rows root ro/h.sqlite >ro.rows 2>ro.err'
[ "$(cat ro.rows)" = 1 ] || { fail "read-only mount: $(cat ro.rows) rows, not 1"; cat ro.err; }

# Another user reads a history that its owner keeps in a folder both may write: the reader
# leaves no file of its own there, and the owner's next update is recorded.
owner=1:1 reader=65534:65534
mkdir shared && chmod 1777 shared
update "$owner" shared/h.sqlite >/dev/null 2>&1
[ "$(stat -c %u shared/h.sqlite 2>/dev/null)" = 1 ] || fail "the owner's history was not made"
[ "$(rows "$reader" shared/h.sqlite)" = 1 ] || fail "the other user cannot read the history"
left=$(find shared -mindepth 1 -not -user 1)
[ -z "$left" ] || fail "the reader left files of its own: $left"
update "$owner" shared/h.sqlite >owner.json 2>owner.err
grep -q '"recorded":true' owner.json || { fail "the owner's update after a read is not recorded"; cat owner.err; }
[ "$(rows "$reader" shared/h.sqlite)" = 2 ] || fail "not both rows in the shared history"

[ "$failed" -eq 0 ] && echo "the history on a full disk, a read-only mount and shared by two users: every row as it was"
exit "$failed"
