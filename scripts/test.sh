#!/usr/bin/env bash
# Sets everything up and runs every test: a normal build, a build under
# AddressSanitizer and UndefinedBehaviorSanitizer, and a short run of each fuzzer.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

fuzz_seconds=${TOLVEX_FUZZ_SECONDS:-20}
jobs=$(nproc)

bash scripts/install-deps.sh

echo "== build and test"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLVEX_WERROR=ON
cmake --build build --parallel "$jobs"
(cd build && ctest --output-on-failure --parallel "$jobs")

echo "== build and test under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTOLVEX_WERROR=ON -DTOLVEX_SANITIZE=ON
cmake --build build-sanitize --parallel "$jobs"
(cd build-sanitize && UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure --parallel "$jobs")

echo "== fuzz smoke runs (${fuzz_seconds}s each)"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLVEX_FUZZ=ON -DTOLVEX_TESTS=OFF
fuzzers=$(sed -n 's/^tolvex_add_fuzzer(\([a-z_]*\) .*/\1/p' fuzz/CMakeLists.txt)
cmake --build build-fuzz --parallel "$jobs" --target $fuzzers
passed=0
failed=0
for f in $fuzzers; do
  corpus="build-fuzz/corpus-$f"
  mkdir -p "$corpus"
  seeds=()
  [ -d "fuzz/corpus/${f#fuzz_}" ] && seeds+=("$root/fuzz/corpus/${f#fuzz_}")
  # Files written by another program make good seeds for the .dfu reader.
  [ "$f" = fuzz_dfufile ] && seeds+=("$root/tests/data/dfu")
  if (cd build-fuzz && ./fuzz/"$f" -max_total_time="$fuzz_seconds" -print_final_stats=0 \
        "$root/$corpus" "${seeds[@]}" >"fuzz-$f.log" 2>&1); then
    echo "fuzz $f: ok"
    passed=$((passed + 1))
  else
    echo "fuzz $f: FAILED (see build-fuzz/fuzz-$f.log)"
    tail -n 40 "build-fuzz/fuzz-$f.log"
    failed=$((failed + 1))
  fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
