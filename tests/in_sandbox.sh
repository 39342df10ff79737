#!/bin/sh
# Runs a test program as the first process of a private PID and mount
# namespace, where it may stand in for /dev/ttyS0, /proc and the PWM class
# without touching the machine's own. Where no such namespace can be made,
# the program runs as it is and its sandboxed tests skip.
# usage: in_sandbox.sh PROGRAM [ARGS...]
sandbox="unshare --mount --pid --fork --mount-proc"
if [ "$(id -u)" -ne 0 ]; then sandbox="unshare --user --map-root-user --mount --pid --fork --mount-proc"; fi
if $sandbox true 2>/dev/null; then exec $sandbox "$@"; fi
echo "in_sandbox: no private PID and mount namespace can be made here; sandboxed tests will skip"
exec "$@"
