#!/usr/bin/env bash
# The console tools on Windows 98 Second Edition as Wine plays it: the
# shipped smcard.exe and smformat.exe, copied under the names that
# win98-mode.reg puts into Wine's 98 mode, make a used card, format it, check
# it and export its logical image (twice: the second replaces the first).
#   console_tools.sh DIR VERSION EMULATOR...
# DIR holds the copies; VERSION is the project's;
# EMULATOR is the command that runs a Windows program (scripts/wine-run ...).
set -euo pipefail

dir=$1
version=$2
shift 2
emulator=("$@")
work=${SMFORMAT_TEST_TMP:?}/win98-console
rm -rf "$work"
mkdir -p "$work"
cd "$work"

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# Runs PROGRAM with ARGS and fails unless it exits with STATUS and says TEXT.
expect() {  # expect STATUS TEXT PROGRAM ARGS...
  local want=$1 text=$2
  shift 2
  status=0
  output=$("${emulator[@]}" "$dir/$1" "${@:2}" 2>&1) || status=$?
  output=${output//$'\r'/}
  [ "$status" = "$want" ] || fail "$*: exit status $status, not $want: $output"
  [[ "$output" == *"$text"* ]] || fail "$*: no \"$text\" in: $output"
}

# Real readers are the Windows program's there: the console tool says so
# (which also shows that Wine plays the 9x family for these names).
expect 1 "on Windows 98 SE and ME use smformatw.exe" win98_smformat.exe --list
expect 1 "on Windows 98 SE and ME use smformatw.exe" win98_smformat.exe E:
expect 0 "smcard $version" win98_smcard.exe --version
expect 0 "smformat $version" win98_smformat.exe --version
expect 0 "" win98_smcard.exe create card.img --size 2M --fill random --bad-blocks 7
expect 0 "Format Complete!" win98_smformat.exe --simulate card.img --yes
expect 0 "" win98_smcard.exe check card.img
for pass in 1 2; do
  expect 0 "" win98_smcard.exe export card.img logical.img --force
  size=$(stat -c %s logical.img 2>/dev/null || echo none)
  [ "$size" = $((4000 * 512)) ] || fail "export $pass: logical.img holds $size bytes, not $((4000 * 512))"
done
leftovers=$(ls | grep -c '\.new' || true)
[ "$leftovers" = 0 ] || fail "temporary files were left: $(ls)"

if [ "$failures" -ne 0 ]; then
  echo "win98 console tools: $failures failure(s)"
  exit 1
fi
echo "win98 console tools: the card was made, formatted, checked and exported on Windows 98 SE"
