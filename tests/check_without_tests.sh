#!/usr/bin/env bash
# A build without the tests needs none of their dependencies: configured with
# -DTOLVEX_TESTS=OFF, the project does not look for Qt Test.
#   check_without_tests.sh SOURCE WORK
set -uo pipefail
[ $# -eq 2 ] || { echo "usage: check_without_tests.sh SOURCE WORK"; exit 2; }
source=$1 work=$2
rm -rf "$work" && mkdir -p "$work" || exit 1
cmake -S "$source" -B "$work" -G Ninja -DTOLVEX_TESTS=OFF >"$work/configure.log" 2>&1 ||
  { echo "FAIL: it does not configure without the tests:"; tail -20 "$work/configure.log"; exit 1; }
if grep -q '^Qt6Test_DIR:' "$work/CMakeCache.txt"; then
  echo "FAIL: a build without the tests looks for Qt Test"
  exit 1
fi
echo "a build without the tests needs no Qt Test"
