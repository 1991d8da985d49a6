#!/usr/bin/env bash
# The demo: builds what is missing, starts the card simulator on a pseudo-terminal (wire
# timing on) linked as both COM1 and COM2, and opens the loader's window in the demo
# hardware directory. Load the demo card: choose a hardware type (cpu1, ovmod, 7eth),
# browse to ../app.sr as the application file and press the download button. The
# simulator stops when the window closes. OSTRA_BUILD_DIR names another build directory.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

source scripts/card-on-pty.sh
build_programs

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ "${QT_QPA_PLATFORM:-}" != offscreen ]; then
  echo "The demo opens a window, and there is no display here (DISPLAY is empty)." >&2
  echo "Run it under a virtual X server instead:  xvfb-run -a bash scripts/demo.sh" >&2
  exit 2
fi

start_card
echo "Card simulator on $link (COM1 and COM2)."

export VRXCOM_COM1=$link VRXCOM_COM2=$link
cd demo/hardware
"$root/$build/src/app/ostra-bootloader"
