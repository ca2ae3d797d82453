#!/usr/bin/env bash
# Sets everything up and starts the tool on simulated devices in build/demo, next to the
# demo's Config.ini and .dfu files. Without a display it runs the whole road of one
# firmware update by itself, printing each step and saving a picture of it.
#   bash scripts/demo.sh            the tool
#   bash scripts/demo.sh --station  the station screen for line operators, on the demo's profile
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/build.sh

cd build/demo
if [ "${1:-}" = "--station" ]; then
  if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "== No display found: the station screen needs one (its pictures are in docs/)."
    exit 1
  fi
  echo "== Starting the station screen on simulated boards with $PWD/station.conf"
  exec ../station/tolvex-dfu-station-sim --profile "$PWD/station.conf" --windowed
fi
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "== No display found (neither DISPLAY nor WAYLAND_DISPLAY is set)."
  echo "== Running the demo's road by itself on Qt's offscreen platform, with a picture of each step."
  QT_QPA_PLATFORM=offscreen ../app/tolvex-dfu-tool-sim --road "$PWD/pictures"
  echo "== Pictures of each step: $PWD/pictures"
  exit 0
fi
echo "== Starting Tolvex DFU Tool on simulated devices in $PWD"
echo "== The \"Simulated devices\" window plugs devices in and out and arms faults."
exec ../app/tolvex-dfu-tool-sim
