#!/usr/bin/env bash
# manpage.sh PROGRAM VERSION INCLUDE OUT: writes the gzipped manual page of a built program
# from its own --help and --version, with the extra sections of INCLUDE (help2man's format).
# The program must answer both within 20 seconds, without a display, with exit status 0;
# --help starts with "Usage:", --version prints "<program> <version>" on its first line.
set -euo pipefail
program=$1 version=$2 include=$3 out=$4
name=$(basename "$program")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

ask() {  # option file
  local status=0
  timeout 20 env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen "$program" "$1" \
    >"$work/$2" 2>"$work/$2.err" </dev/null || status=$?
  if [ "$status" -eq 124 ]; then
    echo "$name $1 gave no answer within 20 s." >&2
    exit 1
  elif [ "$status" -ne 0 ]; then
    echo "$name $1 failed (exit status $status):" >&2
    cat "$work/$2.err" >&2
    exit 1
  fi
}
ask --help help
ask --version version
if ! head -n 1 "$work/help" | grep -q '^Usage: '; then
  echo "$name --help does not start with a \"Usage: $name ...\" line." >&2
  exit 1
fi
if [ "$(head -n 1 "$work/version")" != "$name $version" ]; then
  echo "$name --version says \"$(head -n 1 "$work/version")\", expected \"$name $version\"." >&2
  exit 1
fi

# help2man reads the answers from a stand-in with the program's name.
mkdir "$work/bin"
printf '#!/bin/sh\ncase "$1" in --help) cat "%s/help" ;; *) cat "%s/version" ;; esac\n' \
  "$work" "$work" >"$work/bin/$name"
chmod +x "$work/bin/$name"
help2man --no-info --section 1 --manual "User Commands" --source "Ostra Boot Loader $version" \
  --include "$include" --output "$work/$name.1" "$work/bin/$name"
# help2man runs the lines under the help's "Examples:" into one paragraph: each example
# becomes an indented paragraph of its own, left-adjusted, so that a command keeps single
# spaces between its words and a long one wraps under itself.
awk '
  /^\.SH / {
    if (examples) print ".ad b"
    examples = ($0 == ".SH EXAMPLES")
    print
    if (examples) print ".ad l"
    next
  }
  examples && /^\.(IP|PP|LP|P)$/ { next }
  examples && !/^\./ { print ".IP"; print; next }
  { print }
' "$work/$name.1" >"$work/$name.examples.1"
gzip -9n -c "$work/$name.examples.1" >"$out"
