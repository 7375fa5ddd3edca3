#!/usr/bin/env bash
# Checks that a program's manual page documents exactly the options its
# --help lists: an option added to the program without a manual entry, or an
# entry left behind for an option that is gone, fails.
#
#   check_man_page.sh PROGRAM MANPAGE
set -euo pipefail
program=${1:?usage: check_man_page.sh PROGRAM MANPAGE}
page=${2:?usage: check_man_page.sh PROGRAM MANPAGE}

# In --help: the option names on the lines that define options (indented,
# starting with a dash), e.g. "  -v, --verbose" or "  --tcp HOST[:PORT]  ...".
from_help=$("$program" --help | grep -E '^ +-' |
  grep -oE '(^|[ ,])--?[A-Za-z][A-Za-z0-9-]*' | tr -d ' ,' | sort -u)

# In the page: the option names on the line after each .TP, where roff
# writes a dash as \-.
from_page=$(awk 'previous == ".TP" { print } { previous = $0 }' "$page" |
  sed 's/\\-/-/g' | grep -oE '(^|[ "])--?[A-Za-z][A-Za-z0-9-]*' | tr -d ' "' | sort -u)

if [ -z "$from_help" ]; then
  echo "$program --help lists no options" >&2
  exit 1
fi
missing=$(comm -23 <(echo "$from_help") <(echo "$from_page"))
extra=$(comm -13 <(echo "$from_help") <(echo "$from_page"))
if [ -n "$missing" ] || [ -n "$extra" ]; then
  [ -z "$missing" ] || echo "options of --help not in $page:" $missing >&2
  [ -z "$extra" ] || echo "options in $page that --help does not list:" $extra >&2
  exit 1
fi
echo "$(echo "$from_help" | wc -l) options documented in $(basename "$page")"
