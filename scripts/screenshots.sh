#!/usr/bin/env bash
# Regenerates the pictures in docs/ from the current build.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build --parallel
mkdir -p docs
(cd build/demo && QT_QPA_PLATFORM=offscreen ../tools/window-shot/tolvex-window-shot "$root/docs/idle-window.png" 1)
echo "== docs/idle-window.png"
