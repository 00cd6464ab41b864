#!/bin/sh
# Plays one scenario script and compares what it prints with the committed expectation.
#   check.sh SCENARIO_BINARY SCRIPT
set -eu
expected="${2%.txt}.expected"
"$1" "$2" | diff -u "$expected" - && echo "1 passed, 0 failed"
