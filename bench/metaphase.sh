#!/bin/bash
# One metadata operation at a time, each on a fresh mount, for two wardfs builds that take
# turns: no operation then meets the kernel's entries left by the one before, which makes
# these figures steadier than the metadata rows of run.sh. Prints, per operation, the
# median seconds of each build and the rate of the second relative to the first (above 1
# is better).
# usage: bench/metaphase.sh OLD_WARDFS NEW_WARDFS [ROUNDS] [USER]
#   USER (say 65534) runs the operations as that user through allow_other.
# FILES and DIRS set the workload (20000 files in 100 directories); SCRATCH the parent of
# the scratch directory (/var/tmp); METAOPS the workload program (build/bench/metaops);
# OPS the operations (stat create open rename unlink; open opens each file for writing;
# untar unpacks /usr/include).
set -euo pipefail
[ "$#" -ge 2 ] || { sed -n '7,12p' "$0" >&2; exit 2; }
[ "$(id -u)" = 0 ] || { echo "metaphase: needs root (mounts)" >&2; exit 1; }
old=$1 new=$2 rounds=${3:-5} user=${4:-}
here=$(cd "$(dirname "$0")" && pwd)
metaops=${METAOPS:-$here/../build/bench/metaops}
files=${FILES:-20000} dirs=${DIRS:-100}
scratch=$(mktemp -d "${SCRATCH:-/var/tmp}/metaphase.XXXXXX")
chmod 755 "$scratch" # USER reaches the mount through it
cleanup() {
    mountpoint -q "$scratch/mnt" 2>/dev/null &&
        { fusermount -u "$scratch/mnt" 2>/dev/null || umount -l "$scratch/mnt"; }
    rm -rf "$scratch"
}
trap cleanup EXIT
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
tar -cf "$scratch/tree.tar" -C /usr include
once() { # DAEMON OP: the seconds of OP on every file, through a fresh mount
    rm -rf "$scratch/base"
    mkdir -p "$scratch/base/meta" "$scratch/mnt"
    if [ "$2" = untar ]; then
        [ -z "$user" ] || chown -R "$user" "$scratch/base/meta"
        sync
        "$1" "$scratch/base" "$scratch/mnt" -o allow_other
        local start end
        start=$(date +%s.%N)
        ${user:+setpriv --reuid="$user" --regid="$user" --clear-groups} \
            tar -xf "$scratch/tree.tar" -C "$scratch/mnt/meta"
        end=$(date +%s.%N)
        fusermount -u "$scratch/mnt"
        awk -v s="$start" -v e="$end" 'BEGIN { printf "%.4f\n", e - s }'
        return
    fi
    "$metaops" "$scratch/base/meta" "$files" "$dirs" "$([ "$2" = create ] && echo setup || echo setup-files)"
    [ -z "$user" ] || chown -R "$user" "$scratch/base/meta"
    sync
    "$1" "$scratch/base" "$scratch/mnt" -o allow_other
    ${user:+setpriv --reuid="$user" --regid="$user" --clear-groups} \
        "$metaops" "$scratch/mnt/meta" "$files" "$dirs" "$2"
    fusermount -u "$scratch/mnt"
}
printf '%-8s %10s %10s %8s\n' op old_s new_s new/old
for op in ${OPS:-stat create open rename unlink}; do
    a="" b=""
    for _ in $(seq "$rounds"); do
        a+="$(once "$old" "$op") "
        b+="$(once "$new" "$op") "
    done
    # shellcheck disable=SC2086
    ma=$(printf '%s\n' $a | median) mb=$(printf '%s\n' $b | median)
    awk -v op="$op" -v a="$ma" -v b="$mb" 'BEGIN { printf "%-8s %10s %10s %8.2f\n", op, a, b, a / b }'
done
