#!/usr/bin/env bash
# Installs what building and testing need on Debian 12 (as root), when it is missing.
# "setup.sh demo" installs only what building the programs needs.
set -euo pipefail
# The report's charts: Qt Charts, whose CMake files need Qt OpenGL's (Debian 12's
# qt6-charts-dev does not pull that in itself). The card records talk to SQLite and
# PostgreSQL through their own client libraries.
packages=(cmake ninja-build g++ pkg-config qt6-base-dev qt6-serialport-dev qt6-charts-dev
          libqt6opengl6-dev libsqlite3-dev libpq-dev)
if [ "${1:-}" != demo ]; then
  # The PostgreSQL server: the record tests and benchmark start a throwaway cluster each run.
  # Qt's SQL drivers: for the test and benchmark code that fills a store through Qt SQL.
  # poppler-utils: pdftotext and pdftoppm read the report's PDF in its tests and make the
  # README's picture of it.
  packages+=(libgtest-dev libgmock-dev srecord clang libclang-rt-14-dev xvfb xauth
             libqt6sql6-sqlite libqt6sql6-psql postgresql
             poppler-utils dpkg-dev file help2man librsvg2-bin lintian desktop-file-utils appstream
             strace man-db)
fi
# `setup.sh windows`: what the Windows cross build and its run under Wine need
# (scripts/windows-test.sh), kept apart so that the normal setup stays small.
if [ "${1:-}" = windows ]; then
  packages=(cmake ninja-build g++-mingw-w64-x86-64 googletest wine wine64)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "These Debian packages are missing; run this command as root to install them." >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
