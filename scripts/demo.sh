#!/usr/bin/env bash
# Sets everything up and starts the tool in build/demo, next to a sample Config.ini.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/build.sh

cd build/demo
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  shot="$PWD/tolvex-dfu-tool.png"
  echo "== No display found (neither DISPLAY nor WAYLAND_DISPLAY is set)."
  echo "== Running the window on the offscreen platform to take a picture of it instead."
  QT_QPA_PLATFORM=offscreen ../tools/window-shot/tolvex-window-shot "$shot" 2
  echo "== Screenshot saved: $shot"
  exit 0
fi
echo "== Starting Tolvex DFU Tool in $PWD"
exec ../app/tolvex-dfu-tool
