#!/usr/bin/env bash
# Builds the Debian package in build/ (the build scripts/test.sh makes, or the demo's) and
# checks it with lintian: any error fails, warnings are shown. The package's rules are
# switched on whatever configured build/ before (the demo leaves them out).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTRA_PACKAGING=ON >/dev/null
cmake --build build -j "$(nproc)"
rm -f build/*.deb
(cd build && cpack -G DEB >cpack.log) || { cat build/cpack.log; exit 1; }
debs=(build/*.deb)
if [ "${#debs[@]}" -ne 1 ] || [ ! -f "${debs[0]}" ]; then
  echo "cpack did not write one package in build/:" >&2
  cat build/cpack.log >&2
  exit 1
fi
echo "package: ${debs[0]}"
lintian --fail-on error "${debs[0]}"
