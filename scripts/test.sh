#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the normal build, the Debian
# package installed, run and removed again, the same tests under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the fuzz targets for a bounded time each.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc)
fuzz_seconds=${OSTRA_FUZZ_SECONDS:-60}

echo "== build and test"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTRA_TESTS=ON -DOSTRA_PACKAGING=ON \
  >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs" --timeout 300 | tee build/ctest.log

echo "== package and install round trip"
bash scripts/package.sh
bash scripts/install-check.sh

echo "== sanitizers"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=suppressions=$PWD/scripts/lsan.supp:print_suppressions=0
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DOSTRA_SANITIZE=ON -DOSTRA_TESTS=ON \
  >/dev/null
cmake --build build-asan -j "$jobs"
ctest --test-dir build-asan --output-on-failure -j "$jobs" --timeout 600 | tee build-asan/ctest.log

echo "== fuzz (${fuzz_seconds} s each)"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DOSTRA_FUZZ=ON >/dev/null
cmake --build build-fuzz -j "$jobs"
for fuzzer in build-fuzz/fuzz/fuzz_*; do
  [ -x "$fuzzer" ] || continue
  name=$(basename "$fuzzer")
  corpus=build-fuzz/corpus/$name
  mkdir -p "$corpus"
  seeds=fuzz/seeds/${name#fuzz_}
  [ -d "$seeds" ] || seeds=
  echo "-- $name"
  status=0
  "$fuzzer" -max_total_time="$fuzz_seconds" -print_final_stats=1 -rss_limit_mb=2048 \
    -artifact_prefix=build-fuzz/ "$corpus" $seeds >build-fuzz/$name.log 2>&1 || status=$?
  grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|Done )' build-fuzz/$name.log || true
  if [ "$status" -ne 0 ]; then
    tail -n 60 build-fuzz/$name.log
    echo "$name failed (exit $status)"
    exit 1
  fi
done

echo "== windows"
bash scripts/windows-test.sh

passed=$(grep -h -oE '[0-9]+ tests failed out of [0-9]+' build/ctest.log build-asan/ctest.log |
  awk '{f+=$1; t+=$NF} END {print t-f " passed, " f " failed"}')
echo "tests: $passed"
