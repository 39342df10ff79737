#!/bin/sh
# Every program but factory-handshake must define its own main: one that
# silently bound to the library's would run the board's responder instead.
# usage: check_own_main.sh NM PROGRAM...
set -eu
nm=$1
shift
status=0
for program in "$@"; do
    "$nm" "$program" | grep -q ' T main$' || { echo "FAIL: $program takes main from the library"; status=1; }
done
[ $status -eq 0 ] && echo "own main: ok ($# programs)"
exit $status
