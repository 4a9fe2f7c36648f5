#!/usr/bin/env bash
# Runs one ZU script through the core driver and compares what it prints
# with the expected output beside it (NAME.zu -> NAME.out). Error values
# print the host name as their site; it is replaced by SITE first.
set -euo pipefail
driver=$1
script=$2
cd "$(dirname "$script")"
name=$(basename "$script" .zu)
site=$(uname -n)
"$driver" "$name.zu" | sed "s/^#error(\([0-9]*\) \"$site\"/#error(\1 \"SITE\"/" | diff -u "$name.out" -
