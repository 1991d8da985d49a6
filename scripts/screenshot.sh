#!/usr/bin/env bash
# Pictures of the window under Xvfb: at start-up, at each dialog, half way through each
# stage of a demo card load (boot image, monitor programming, application) and at the
# end; then the station on four simulated cards (one passed, one failed, two loading) and
# its job. Written to build/screenshots/ (not kept in the repository), except the
# station's, which is also copied to docs/station.png for the README. OSTRA_BUILD_DIR
# names another build directory, OSTRA_SHOT_TYPE another demo hardware type.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
source scripts/card-on-pty.sh
build_programs ostra-screenshot ostra-station-screenshot

out=$root/$build/screenshots
rm -rf "$out"
mkdir -p "$out"
start_card

cd demo/hardware
env -u QT_QPA_PLATFORM VRXCOM_COM1="$link" VRXCOM_COM2="$link" \
  timeout 600 xvfb-run -a -s "-screen 0 1280x1024x24" "$root/$build/tests/screenshot/ostra-screenshot" \
  --shots "$out" --type "${OSTRA_SHOT_TYPE:-cpu1}" --app "$root/demo/app.sr" --answers "1001;17"

cd "$root"
env -u QT_QPA_PLATFORM timeout 300 xvfb-run -a -s "-screen 0 1280x1024x24" \
  "$root/$build/tests/screenshot/ostra-station-screenshot" --demo "$root/demo" --shots "$out"
cp "$out/station.png" docs/station.png
ls "$out"
