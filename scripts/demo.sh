#!/usr/bin/env bash
# The demo: builds what is missing, starts the card simulator on a pseudo-terminal (wire
# timing on) linked as both COM1 and COM2, and opens the loader's window in the demo
# hardware directory. Load the demo card: choose a hardware type (cpu1, ovmod, 7eth),
# browse to ../app.sr as the application file and press the download button. The
# simulator stops when the window closes. OSTRA_BUILD_DIR names another build directory.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/setup.sh
build=${OSTRA_BUILD_DIR:-build}
if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" --target ostra-bootloader ostra-cardsim -j "$(nproc)"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ "${QT_QPA_PLATFORM:-}" != offscreen ]; then
  echo "The demo opens a window, and there is no display here (DISPLAY is empty)." >&2
  echo "Run it under a virtual X server instead:  xvfb-run -a bash scripts/demo.sh" >&2
  exit 2
fi

run=$(mktemp -d /tmp/ostra-demo.XXXXXX)
link=$run/card
sim_pid=
cleanup() {
  if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$run"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

"$build/cardsim/ostra-cardsim" --link "$link" --wire-timing --record "$run/record.json" &
sim_pid=$!
for _ in $(seq 100); do
  [ -e "$link" ] && break
  kill -0 "$sim_pid" 2>/dev/null || { echo "The card simulator did not start." >&2; exit 1; }
  sleep 0.1
done
[ -e "$link" ] || { echo "The card simulator did not publish $link." >&2; exit 1; }
echo "Card simulator on $link (COM1 and COM2)."

export VRXCOM_COM1=$link VRXCOM_COM2=$link
cd demo/hardware
"$root/$build/src/app/ostra-bootloader"
