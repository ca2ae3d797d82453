#!/usr/bin/env bash
# Regenerates the pictures in docs/ from the current build.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/build.sh
mkdir -p docs
(cd build/demo && QT_QPA_PLATFORM=offscreen ../tools/window-shot/tolvex-window-shot "$root/docs/idle-window.png" 1)
echo "== docs/idle-window.png"
