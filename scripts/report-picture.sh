#!/usr/bin/env bash
# The README's picture of a report: a store filled by the generator (2000 cards of three
# benches over 14 days, always the same), its report written by ostra-load as a PDF, and the
# first page turned into docs/report-page.png by pdftoppm (poppler-utils).
#   scripts/report-picture.sh [BUILD_DIR]     (default: build, with bench/report_fill built)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
for program in "$build/bench/report_fill" "$build/src/cli/ostra-load"; do
  if [ ! -x "$program" ]; then
    echo "$program is not built: cmake --build $build --target report_fill ostra-load" >&2
    exit 1
  fi
done
command -v pdftoppm >/dev/null || { echo "pdftoppm is missing (Debian: poppler-utils)" >&2; exit 1; }
work=${TMPDIR:-/tmp}/ostra-report-picture  # a fixed name: the page names the store
rm -rf "$work"
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT
"$build/bench/report_fill" --cards 2000 --days 14 --start 2026-11-16 --seed 1 "$work/records.sqlite"
# Dates in UTC, whatever the machine's time zone.
TZ=UTC QT_QPA_PLATFORM=offscreen "$build/src/cli/ostra-load" --record "$work/records.sqlite" \
  --report "$work/report.pdf" --since 2026-11-16 --until 2026-11-29
pdftoppm -png -r 90 -f 1 -l 1 -singlefile "$work/report.pdf" docs/report-page
echo "docs/report-page.png: the first page of $(pdfinfo "$work/report.pdf" | sed -n 's/^Pages: *//p') pages"
