# Sourced by the demo and screenshot commands: builds the loader and the simulator when
# needed, then starts the simulator (wire timing on) on a pseudo-terminal published at
# $link, and stops it again when the calling script exits. Needs $root; sets $build,
# $run (a scratch folder removed at exit) and $link.
build=${OSTRA_BUILD_DIR:-build}

build_programs() {  # "demo": only what the programs need, no tests; then extra targets
  local what=full
  if [ "${1:-}" = demo ]; then
    what=demo
    shift
  fi
  bash scripts/setup.sh "$what"
  if [ "$what" = demo ]; then
    # A build folder made here is made without the tests and the package (their tools are
    # not installed); one that is there already keeps its settings.
    if [ ! -f "$build/build.ninja" ]; then
      cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTRA_TESTS=OFF \
        -DOSTRA_PACKAGING=OFF >/dev/null
    fi
  else
    # The full tools are installed: whatever made the folder (the demo, say), the tests
    # and the package are built from now on.
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTRA_TESTS=ON \
      -DOSTRA_PACKAGING=ON >/dev/null
  fi
  cmake --build "$build" --target ostra-bootloader ostra-cardsim "$@" -j "$(nproc)"
}

start_card() {  # extra simulator options
  run=$(mktemp -d /tmp/ostra-card.XXXXXX)
  link=$run/card
  sim_pid=
  trap stop_card EXIT
  trap 'exit 130' INT TERM
  "$build/cardsim/ostra-cardsim" --link "$link" --wire-timing "$@" &
  sim_pid=$!
  for _ in $(seq 100); do
    [ -e "$link" ] && break
    kill -0 "$sim_pid" 2>/dev/null || { echo "The card simulator did not start." >&2; exit 1; }
    sleep 0.1
  done
  [ -e "$link" ] || { echo "The card simulator did not publish $link." >&2; exit 1; }
}

stop_card() {
  if [ -n "${sim_pid:-}" ] && kill -0 "$sim_pid" 2>/dev/null; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  [ -n "${run:-}" ] && rm -rf "$run"
}
