#!/usr/bin/env bash
# The station's systemd unit as systemd reads it: with the program it starts, nothing to say.
#   check_station_unit.sh UNIT PROGRAM WORK
set -uo pipefail
[ $# -eq 3 ] || { echo "usage: check_station_unit.sh UNIT PROGRAM WORK"; exit 2; }
unit=$1 program=$2 work=$3
rm -rf "$work" && mkdir -p "$work" || exit 1
# The installed path of the program, here the built one.
sed "s|/usr/bin/tolvex-dfu |$program |" "$unit" >"$work/tolvex-dfu-station@.service"
said=$(cd "$work" && systemd-analyze verify --man=no ./tolvex-dfu-station@line1.service 2>&1)
[ -z "$said" ] || { echo "FAIL: systemd-analyze says:"; echo "$said"; exit 1; }
grep -q "ExecStart=$program station --profile /etc/tolvex-dfu/%i.conf" "$work/tolvex-dfu-station@.service" ||
  { echo "FAIL: the unit does not start a station with its profile"; exit 1; }
echo "the station's unit reads clean"
