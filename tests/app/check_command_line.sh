#!/usr/bin/env bash
# check_command_line.sh PROGRAM VERSION: ql480tx-upgrade answers --help and
# --version, and refuses a wrong command line, with no display at all (no
# DISPLAY, WAYLAND_DISPLAY or QT_QPA_PLATFORM): opening the window would fail.
set -uo pipefail
program=${1:?usage: check_command_line.sh PROGRAM VERSION}
version=${2:?usage: check_command_line.sh PROGRAM VERSION}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
failed=0

# matches FILE PATTERN: a line of FILE matches PATTERN; an empty pattern
# wants an empty file.
matches() {
  if [ -z "$2" ]; then [ ! -s "$1" ]; else grep -qE -- "$2" "$1"; fi
}

# check STATUS OUT_PATTERN ERR_PATTERN ARGS...: the exit status, and each
# stream as its pattern wants.
check() {
  local status=$1 out=$2 err=$3
  shift 3
  env -i PATH=/usr/bin:/bin HOME="$dir" timeout 20 "$program" "$@" >"$dir/out" 2>"$dir/err"
  local got=$?
  if [ "$got" != "$status" ] || ! matches "$dir/out" "$out" || ! matches "$dir/err" "$err"; then
    echo "$program $*: exit status $got (expected $status); it wrote:" >&2
    cat "$dir/out" "$dir/err" >&2
    failed=1
  fi
}

check 0 "^ql480tx-upgrade $version\$" '' --version
check 0 '^Usage: ql480tx-upgrade \[FILE\.QLB\]' '' --help
check 0 '^Usage: ql480tx-upgrade \[FILE\.QLB\]' '' -h
check 1 '' "unknown option '--no-such-option'" --no-such-option
check 1 '' 'one firmware file at most' one.QLB two.QLB
check 1 '' 'needs a value' -platform

[ "$failed" = 0 ] && echo "--help, --version and usage errors answered without a display"
exit "$failed"
