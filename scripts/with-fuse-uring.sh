#!/bin/sh
# Runs a command with the fuse module's io_uring switch on, and puts the switch back as it
# was afterwards, also when the command fails. Without the switch (a kernel before 6.14, or
# no root) it says so and exits 77, which the suite counts as a skip.
#   with-fuse-uring.sh COMMAND...
set -u
switch=/sys/module/fuse/parameters/enable_uring
if [ ! -w "$switch" ]; then
    echo "*** SKIP: $switch is missing or not writable: FUSE over io_uring needs Linux 6.14 and root ***" >&2
    exit 77
fi
was=$(cat "$switch")
restore() { echo "$was" >"$switch"; }
trap restore EXIT
trap 'exit 130' INT TERM
echo 1 >"$switch"
"$@"
