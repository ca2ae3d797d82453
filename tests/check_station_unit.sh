#!/usr/bin/env bash
# The station's systemd unit as systemd reads it: with the program it starts, nothing to say.
# Nothing of the machine is read: the unit's program is replaced by the built one.
#   check_station_unit.sh UNIT PROGRAM WORK
set -uo pipefail
[ $# -eq 3 ] || { echo "usage: check_station_unit.sh UNIT PROGRAM WORK"; exit 2; }
unit=$1 program=$2 work=$3
rm -rf "$work" && mkdir -p "$work" || exit 1
copy="$work/$(basename "$unit")"
sed -E "s|^ExecStart=[^ ]*tolvex-dfu |ExecStart=$program |" "$unit" >"$copy"
grep -qE "^ExecStart=$program station --profile [^ ]*%i\.conf$" "$copy" ||
  { echo "FAIL: the unit does not start a station with the instance's profile"; exit 1; }
said=$(cd "$work" && systemd-analyze verify --man=no "./$(basename "$unit" .service)line1.service" 2>&1)
[ -z "$said" ] || { echo "FAIL: systemd-analyze says:"; echo "$said"; exit 1; }
echo "the station's unit reads clean"
