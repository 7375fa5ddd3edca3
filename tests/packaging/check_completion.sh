#!/usr/bin/env bash
# Checks a program's bash completion: it offers exactly the options the
# program's --help lists, and completes a few words as a user would meet
# them (option names, option values, firmware files).
#
#   check_completion.sh PROGRAM COMPLETION
set -uo pipefail
program=${1:?usage: check_completion.sh PROGRAM COMPLETION}
script=${2:?usage: check_completion.sh PROGRAM COMPLETION}
name=$(basename "$program")
failed=0

# shellcheck source=/dev/null
source "$script"
function=$(complete -p "$name" | grep -oE -- '-F [^ ]+' | cut -d' ' -f2)

# The words offered for the command line "$@", the last word being completed.
offered() {
  COMP_WORDS=("$program" "$@")
  COMP_CWORD=$#
  COMPREPLY=()
  "$function" "$name" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}" 2>/dev/null
  printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ' | sed 's/ $//'
}

expect() {
  local want=$1
  shift
  local got
  got=$(offered "$@")
  if [ "$got" != "$want" ]; then
    echo "completing '$*': got '$got', want '$want'" >&2
    failed=1
  fi
}

from_help=$("$program" --help | grep -E '^ +-' |
  grep -oE '(^|[ ,])--?[A-Za-z][A-Za-z0-9-]*' | tr -d ' ,' | sort -u | tr '\n' ' ' | sed 's/ $//')
expect "$from_help" "-"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
mkdir sub
touch a.QLB b.qlb notes.txt
case $name in
  ql480tx-flash)
    expect "--verify-only --version" "--ver"
    expect "--read-flash --repeat" "--re"
    expect "zh-CN zh-TW" "--lang" "zh"
    expect "a.QLB b.qlb sub" ""
    expect "a.QLB b.qlb sub" "--tcp" "127.0.0.1" ""
    touch ./-odd.QLB
    expect "-odd.QLB" "--" "-"  # after "--" a dash begins a file name
    expect "notes.txt" "--trace" "n"
    expect "115200,e,8,1 115200,n,8,1" "--line" "115"
    ;;
  ql480tx-sim)
    expect "--flash-in --flash-out" "--flash"
    expect "write" "--drop-reply" "w"
    expect "notes.txt" "--flash-in" "n"
    ;;
esac
[ $failed -eq 0 ] && echo "completion of $name checked"
exit $failed
