#!/usr/bin/env bash
# Pictures of the window under Xvfb: at start-up, at each dialog, half way through each
# stage of a demo card load (boot image, monitor programming, application) and at the
# end. Written to build/screenshots/ (not kept in the repository); OSTRA_BUILD_DIR names
# another build directory, OSTRA_SHOT_TYPE another demo hardware type.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh
build=${OSTRA_BUILD_DIR:-build}
if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" --target ostra-bootloader ostra-cardsim -j "$(nproc)"

out=$root/$build/screenshots
rm -rf "$out"
mkdir -p "$out"
run=$(mktemp -d /tmp/ostra-shots.XXXXXX)
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

"$build/cardsim/ostra-cardsim" --link "$link" --wire-timing &
sim_pid=$!
for _ in $(seq 100); do
  [ -e "$link" ] && break
  sleep 0.1
done
[ -e "$link" ] || { echo "The card simulator did not publish $link." >&2; exit 1; }

cd demo/hardware
env -u QT_QPA_PLATFORM VRXCOM_COM1="$link" VRXCOM_COM2="$link" \
  OSTRA_SCREENSHOTS="$out" OSTRA_AUTOPILOT_TYPE="${OSTRA_SHOT_TYPE:-cpu1}" \
  OSTRA_AUTOPILOT_APP="$root/demo/app.sr" OSTRA_AUTOPILOT_ANSWERS="1001;17" \
  timeout 600 xvfb-run -a -s "-screen 0 1280x1024x24" "$root/$build/src/app/ostra-bootloader"
ls "$out"
