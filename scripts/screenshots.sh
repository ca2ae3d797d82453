#!/usr/bin/env bash
# Regenerates the pictures in docs/ from the current build: the demo's headless road takes
# them on the simulated devices, and the station screen's own picture mode.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/build.sh
shots=$(mktemp -d)
trap 'rm -rf "$shots"' EXIT
(cd build/demo && QT_QPA_PLATFORM=offscreen ../app/tolvex-dfu-tool-sim --road "$shots")
mkdir -p docs
(cd build/demo && QT_QPA_PLATFORM=offscreen ../station/tolvex-dfu-station-sim --profile "$PWD/station.conf" \
  --pictures "$shots")
for picture in idle-window download-in-progress download-finished simulated-devices station-screen \
  station-screen-de station-high-contrast; do
  cp "$shots/$picture.png" "docs/$picture.png"
  echo "== docs/$picture.png"
done
