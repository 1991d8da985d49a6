#!/usr/bin/env bash
# The core without Qt (formats, link, protocols, download) and its unit tests, cross-built
# for 64-bit Windows with MinGW-w64 into build-windows/, each test program run under Wine.
# Test programs that need Qt or a pseudo-terminal are left out (named below). Installs
# what is missing (as root). Ends with "windows: N passed, N failed"; exits non-zero on a
# failure.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh windows
build=build-windows
mkdir -p "$build"

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DOSTRA_CORE_ONLY=ON "${launcher[@]}" \
  --no-warn-unused-cli >"$build/configure.log"
sed -n 's/^-- Left out of the core-only build: /left out: /p' "$build/configure.log"
cmake --build "$build" -j "$(nproc)"
echo "-- installed and built: ${SECONDS} s"

# A Wine prefix of its own, without a display, Mono or Gecko; made once.
export WINEPREFIX=$PWD/$build/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  if ! timeout 300 wineboot --init >"$build/wineboot.log" 2>&1; then
    cat "$build/wineboot.log"
    echo "wineboot --init failed or took more than 300 s" >&2
    exit 1
  fi
  echo "-- Wine prefix made: ${SECONDS} s"
fi

passed=0 failed=0 skipped=0
for exe in $(find "$build/tests" -name '*.exe' | sort); do
  name=$(basename "$exe" .exe)
  log=$build/$name.log
  started=${EPOCHREALTIME/./}
  status=0
  timeout --kill-after=10 600 wine "$exe" --gtest_color=no >"$log" 2>&1 || status=$?
  sed -i 's/\r$//' "$log"
  ms=$(((${EPOCHREALTIME/./} - started) / 1000))
  ran=$(sed -n 's/^\[==========\] \([0-9]*\) tests\? from .* ran\..*/\1/p' "$log")
  p=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\?\./\1/p' "$log")
  f=$(sed -n 's/^\[  FAILED  \] \([0-9]*\) tests\?, listed below:/\1/p' "$log")
  s=$(sed -n 's/^\[  SKIPPED \] \([0-9]*\) tests\?, listed below:/\1/p' "$log")
  p=${p:-0} f=${f:-0} s=${s:-0}
  if [ -z "$ran" ] || { [ "$status" -ne 0 ] && [ "$f" -eq 0 ]; }; then
    # Ended before its summary (a crash, or killed at the time limit): one failure more.
    tail -n 40 "$log"
    echo "-- $name ended early (exit $status)"
    f=$((f + 1))
  elif [ "$f" -ne 0 ]; then
    grep -E '^\[  FAILED  \]|Failure' "$log" | head -n 40
  fi
  printf -- '-- %s: %d tests, %d failed, %d skipped (%d.%d s)\n' "$name" "$((p + f + s))" "$f" "$s" \
    $((ms / 1000)) $((ms % 1000 / 100))
  passed=$((passed + p)) failed=$((failed + f)) skipped=$((skipped + s))
done
timeout 30 wineserver -k 2>/dev/null || true
echo "-- all done: ${SECONDS} s"

# In CTest's words as well, for the totals of scripts/test.sh.
echo "$failed tests failed out of $((passed + failed))" >"$build/summary.log"
echo "windows: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
