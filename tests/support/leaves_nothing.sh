#!/bin/bash
# Runs the tests of a test binary that match a gtest filter, or any test
# command, with TMPDIR set to a fresh folder of their own, and fails when
# they fail or leave anything in it (a death test's child ends inside the
# test, before any destructor that would remove what it made; a scripted
# test must remove its work folders).
# Usage: leaves_nothing.sh BINARY FILTER
#        leaves_nothing.sh -- COMMAND [ARGUMENT...]
set -u
if [ "$1" = "--" ]; then
  shift
  cmd=("$@")
else
  cmd=("$1" --gtest_filter="$2")
fi
dir=$(mktemp -d) || exit 1
log=$(mktemp) || exit 1
TMPDIR=$dir "${cmd[@]}" >"$log" 2>&1
status=$?
left=$(ls -A "$dir")
rm -rf "$dir"
if [ "$status" -ne 0 ]; then
  cat "$log"
  rm -f "$log"
  exit 1
fi
rm -f "$log"
if [ -n "$left" ]; then
  echo "left behind in TMPDIR:" $left
  exit 1
fi
echo "nothing left behind"
