#!/usr/bin/env bash
# check_command_line.sh PROGRAM VERSION: ql480tx-upgrade answers --help and
# --version, and refuses a wrong command line, without a display: no DISPLAY,
# WAYLAND_DISPLAY or QT_QPA_PLATFORM, so any attempt to open the window fails.
set -uo pipefail
program=${1:?usage: check_command_line.sh PROGRAM VERSION}
version=${2:?usage: check_command_line.sh PROGRAM VERSION}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
failed=0

# run EXPECTED_STATUS ARGS...: the status, standard output in $dir/out and
# standard error in $dir/err.
run() {
  local expected=$1
  shift
  env -i PATH=/usr/bin:/bin HOME="$dir" timeout 20 "$program" "$@" >"$dir/out" 2>"$dir/err"
  local status=$?
  if [ "$status" != "$expected" ]; then
    echo "$program $*: exit status $status, not $expected" >&2
    cat "$dir/err" >&2
    failed=1
    return 1
  fi
}
expect() {  # expect FILE PATTERN WHAT
  grep -qE -- "$2" "$dir/$1" || { echo "$3" >&2; failed=1; }
}
empty() {  # empty FILE WHAT
  [ ! -s "$dir/$1" ] || { echo "$2: $(head -c 200 "$dir/$1")" >&2; failed=1; }
}

run 0 --version && {
  [ "$(cat "$dir/out")" = "ql480tx-upgrade $version" ] || { echo "--version: $(cat "$dir/out")" >&2; failed=1; }
  empty err "--version wrote to standard error"
}
for help in --help -h; do
  run 0 "$help" && {
    expect out '^Usage: ql480tx-upgrade \[FILE\.QLB\]' "$help: no usage line"
    empty err "$help wrote to standard error"
  }
done
run 1 --no-such-option && {
  empty out "a usage error wrote to standard output"
  expect err "unknown option '--no-such-option'" "no word of the unknown option"
  expect err "--help" "no hint at --help"
}
run 1 one.QLB two.QLB && expect err 'one firmware file at most' "two files not refused"
run 1 -platform && expect err "needs a value" "a Qt option without its value not refused"

[ "$failed" = 0 ] && echo "--help, --version and usage errors answered without a display"
exit "$failed"
