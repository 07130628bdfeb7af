#!/bin/sh
# Starts WARDFS (build/wardfs) with its arguments and --record RECORD (a file under /var/tmp,
# emptied first), so that bench/metaphase.sh can take a recording mount as one of its builds.
here=$(cd "$(dirname "$0")" && pwd)
record=${RECORD:-/var/tmp/wardfs-bench.record}
: >"$record"
exec "${WARDFS:-$here/../build/wardfs}" "$@" --record "$record"
