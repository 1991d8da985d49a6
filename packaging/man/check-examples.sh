#!/usr/bin/env bash
# check-examples.sh PAGE PROGRAM: the EXAMPLES of the manual page PAGE, rendered by man on
# a wide terminal, are one example a line, each beginning with PROGRAM. Exit 77 (skipped)
# without man.
set -euo pipefail
page=$1 program=$2
command -v man >/dev/null || { echo "man is not installed (Debian package man-db)"; exit 77; }
rendered=$(MANWIDTH=250 man -l "$page" 2>/dev/null | awk '
  /^[A-Z]/ { examples = ($0 == "EXAMPLES"); next }
  examples && NF { sub(/^ +/, ""); print }')
[ -n "$rendered" ] || { echo "$page has no examples"; exit 1; }
status=0
while IFS= read -r line; do
  # One example a line: the program's name at its start and nowhere else.
  rest=${line#"$program "}
  if [ "$rest" = "$line" ] || [[ "$rest" == *"$program "* ]]; then
    echo "not one example on this line: $line"
    status=1
  fi
done <<<"$rendered"
echo "$(grep -c . <<<"$rendered") examples"
exit $status
