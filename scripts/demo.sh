#!/usr/bin/env bash
# The demo: builds what is missing, starts the card simulator on a pseudo-terminal (wire
# timing on) linked as both COM1 and COM2, and opens the loader's window in the demo
# hardware directory. Load the demo card: choose a hardware type (cpu1, ovmod, 7eth),
# browse to ../app.sr as the application file and press the download button. The
# simulator stops when the window closes. ostra-load is built beside the window
# (build/src/cli/ostra-load). OSTRA_BUILD_DIR names another build directory.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

# Checked before anything is built or installed.
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "The demo opens a window, and there is no display here (DISPLAY is empty)." >&2
  echo "Run it under a virtual X server instead:  xvfb-run -a bash scripts/demo.sh" >&2
  exit 2
fi

source scripts/card-on-pty.sh
build_programs demo ostra-load

start_card
echo "Card simulator on $link (COM1 and COM2)."

# The environment, not --com1/--com2: the simulator's link lives only as long as the demo,
# and devices given on the command line are remembered for later starts.
export VRXCOM_COM1=$link VRXCOM_COM2=$link
cd demo/hardware
"$root/$build/src/app/ostra-bootloader"
