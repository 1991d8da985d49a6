#!/usr/bin/env bash
# Install round trip for the package scripts/package.sh wrote: installs it with apt-get, runs
# the installed programs (a whole simulated card through ostra-load and ostra-cardsim, the
# window's and the station's --version), removes it and checks that nothing of it is left. Needs root.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" -ne 0 ]; then
  echo "The install round trip installs a package: run it as root." >&2
  exit 1
fi
debs=(build/ostra-bootloader_*.deb)
[ -f "${debs[0]}" ] || { echo "No package in build/: run scripts/package.sh first." >&2; exit 1; }
deb=$(realpath "${debs[0]}")
version=$(dpkg-deb -f "$deb" Version)
apt=(apt-get -y -q -o DPkg::Lock::Timeout=300)
run=$(mktemp -d /tmp/ostra-install.XXXXXX)
sim_pid=
fail() { echo "install check: $*" >&2; exit 1; }
cleanup() {
  [ -n "$sim_pid" ] && kill -TERM "$sim_pid" 2>/dev/null
  if dpkg-query -W -f='${Status}' ostra-bootloader 2>/dev/null | grep -q installed; then
    "${apt[@]}" purge ostra-bootloader >/dev/null || true
  fi
  rm -rf "$run"
}
trap cleanup EXIT

echo "-- install $deb"
DEBIAN_FRONTEND=noninteractive "${apt[@]}" install "$deb" >"$run/apt.log" || {
  cat "$run/apt.log"; fail "apt-get could not install the package"; }
dpkg -L ostra-bootloader | sort >"$run/files"
installed() { grep -qx "$1" "$run/files"; }
bin=/usr/bin  # the installed programs, whatever else PATH holds

[ "$($bin/ostra-cardsim --version)" = "ostra-cardsim $version" ] || fail "ostra-cardsim --version"
installed /usr/bin/ostra-load || fail "the package has no ostra-load"
[ "$($bin/ostra-load --version)" = "ostra-load $version" ] || fail "ostra-load --version"
echo "-- a simulated card through the installed ostra-load and ostra-cardsim"
coproc sim { exec $bin/ostra-cardsim --link "$run/card" --record "$run/card.json" 2>&1; }
sim_pid=$sim_PID
exec {sim_out}<&"${sim[0]}"  # stays open when bash forgets the ended coprocess
# Its first line comes once the card's link is there.
read -r -t 10 -u "$sim_out" line || fail "ostra-cardsim did not start within 10 s"
echo "$line"
timeout 300 $bin/ostra-load --port "$run/card" --hardware demo/hardware --type cpu1 \
  --app demo/small.sr --serial 5 --nic 7 --yes --record "$run/records.sqlite" ||
  fail "ostra-load did not load the card"
kill -TERM "$sim_pid"
while read -r -t 10 -u "$sim_out" line; do echo "$line"; done  # until it exits
wait "$sim_pid" || fail "ostra-cardsim ended with an error"
sim_pid=
grep -q '"checksumOk": true' "$run/card.json" && grep -q '"doneCount": 1' "$run/card.json" &&
  grep -q '"badRecords": 0' "$run/card.json" ||
  { cat "$run/card.json"; fail "the card's record does not show a whole load"; }
# The window's --version answers without a display.
installed /usr/share/man/man1/ostra-bootloader.1.gz || fail "the window has no manual page"
answer=$(timeout 20 env -u DISPLAY -u WAYLAND_DISPLAY $bin/ostra-bootloader --version) || true
[ "${answer%%$'\n'*}" = "ostra-bootloader $version" ] || fail "ostra-bootloader --version"
installed /usr/share/man/man1/ostra-station.1.gz || fail "the station has no manual page"
installed /usr/share/applications/org.ostra.station.desktop || fail "the station has no desktop entry"
answer=$(timeout 20 env -u DISPLAY -u WAYLAND_DISPLAY $bin/ostra-station --version) || true
[ "${answer%%$'\n'*}" = "ostra-station $version" ] || fail "ostra-station --version"

echo "-- purge"
"${apt[@]}" purge ostra-bootloader >"$run/apt.log" || { cat "$run/apt.log"; fail "purge failed"; }
left=0
while read -r path; do
  # A directory other packages also use stays; one only this package used must be gone.
  if [ -e "$path" ] && { [ ! -d "$path" ] || { [ -z "$(ls -A "$path")" ] &&
    ! dpkg -S "$path" >/dev/null 2>&1; }; }; then
    echo "left after purge: $path" >&2
    left=1
  fi
done <"$run/files"
[ "$left" -eq 0 ] || fail "files of the package are left"
echo "install round trip: ok ($(grep -c . "$run/files") paths installed and removed)"
