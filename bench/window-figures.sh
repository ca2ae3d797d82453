#!/usr/bin/env bash
# Builds and prints the tool's figures on simulated devices, measured in one run: the
# download time against the device's busy time, and the idle CPU use (argument: seconds
# of idle, 60 by default).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/build.sh >/dev/null
QT_QPA_PLATFORM=offscreen build/bench/bench_window "${1:-60}" 2>/dev/null
