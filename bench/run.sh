#!/bin/bash
# Side-by-side benchmark: the plain base directory, wardfs (default and --copyup) and bindfs,
# all on one scratch file system in one run. Prints each metric for each target with its
# ratio to native and to bindfs (above 1 is better than the reference), medians of several
# runs. Usage: bench/run.sh [--quick] (BUILD=build dir, SCRATCH=parent of the scratch dir,
# BASELINE=another wardfs binary, say an earlier build, measured in the same run;
# WARDFS3=the libfuse 3 build, measured as it is and with -o writeback_cache; WARDFS3L=the
# build against the current libfuse 3, measured as it is (kernel passthrough where the kernel
# has it) and with -o io_uring (the fuse module's switch is set for the run and put back);
# TARGETS=the targets to measure, of native wardfs wardfs-copyup bindfs baseline wardfs3
# wardfs3-wb wardfs3l wardfs3l-uring wardfs-nobody baseline-nobody). The -nobody targets mount with allow_other and run only the
# metadata workload, as nobody: each request then takes the caller's identity.
set -euo pipefail

build=${BUILD:-build}
wardfs=$build/wardfs
metaops=$build/bench/metaops
opentime=$build/bench/opentime
quick=0
[ "${1:-}" = "--quick" ] && quick=1

if [ "$quick" = 1 ]; then
    runs=1 size=64 rand=32 small=8 files=1000 dirs=10 randtime=1 copyup_sizes="64" tree=include/linux
else
    runs=3 size=1024 rand=256 small=256 files=20000 dirs=100 randtime=8 copyup_sizes="256 1024"
    tree=include
fi
[ "$(id -u)" = 0 ] || { echo "bench: needs root (mounts, dropping caches)" >&2; exit 1; }

scratch=$(mktemp -d "${SCRATCH:-/var/tmp}/wardfs-bench.XXXXXX")
chmod 755 "$scratch" # the -nobody targets reach their mounts through it
data=$scratch/data
targets=${TARGETS:-native wardfs wardfs-copyup bindfs${BASELINE:+ baseline}${WARDFS3:+ wardfs3 wardfs3-wb}${WARDFS3L:+ wardfs3l wardfs3l-uring} wardfs-nobody${BASELINE:+ baseline-nobody}}
declare -A dir pid
mkdir -p "$data"

cleanup() {
    set +e
    for m in "$scratch"/mnt-* "$scratch"/xfs-mnt-* "$scratch/xfs"; do
        mountpoint -q "$m" 2>/dev/null && { fusermount -u "$m" 2>/dev/null || umount -l "$m"; }
    done
    # An unmounted daemon exits by itself; only one that does not is killed.
    for p in "${pid[@]}"; do timeout 5 tail --pid="$p" -f /dev/null || kill "$p" 2>/dev/null; done
    wait 2>/dev/null
    rm -rf "$scratch"
    [ -n "${uring_was:-}" ] && echo "$uring_was" >/sys/module/fuse/parameters/enable_uring
}
trap cleanup EXIT
trap 'exit 130' INT TERM

wait_mount() {
    for _ in $(seq 200); do mountpoint -q "$1" && return 0; sleep 0.05; done
    echo "bench: $1 did not mount" >&2
    exit 1
}

# mount_target NAME BASE MOUNTPOINT: starts the file system of target NAME.
mount_target() {
    mkdir -p "$3"
    case $1 in
    wardfs) "$wardfs" "$2" "$3" -f & ;;
    wardfs-copyup) "$wardfs" "$2" "$3" -f --copyup & ;;
    bindfs) bindfs -f "$2" "$3" & ;;
    baseline) "$BASELINE" "$2" "$3" -f & ;;
    wardfs3) "$WARDFS3" "$2" "$3" -f & ;;
    wardfs3-wb) "$WARDFS3" "$2" "$3" -f -owriteback_cache & ;;
    wardfs3l) "$WARDFS3L" "$2" "$3" -f & ;;
    wardfs3l-uring) "$WARDFS3L" "$2" "$3" -f -oio_uring & ;;
    wardfs-nobody) "$wardfs" "$2" "$3" -f -oallow_other & ;;
    baseline-nobody) "$BASELINE" "$2" "$3" -f -oallow_other & ;;
    esac
    pid[$1$3]=$!
    wait_mount "$3"
}

case " $targets " in *" wardfs3l-uring "*)
    uring_was=$(cat /sys/module/fuse/parameters/enable_uring)
    echo 1 >/sys/module/fuse/parameters/enable_uring ;;
esac
dir[native]=$data
for t in $targets; do
    [ "$t" = native ] && continue
    dir[$t]=$scratch/mnt-$t
    mount_target "$t" "$data" "${dir[$t]}"
done

drop_caches() { sync; echo 3 >/proc/sys/vm/drop_caches; }
median() { sort -g | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
now_ms() { echo $(($(date +%s%N) / 1000000)); }

# fio FIELD ARGS...: one job, terse output; field 7 is read KiB/s, 8 read IOPS, 48 write KiB/s.
fio_field() {
    local field=$1
    shift
    fio --name=job --ioengine=psync --output-format=terse "$@" | awk -F';' -v f="$field" '{print $f}'
}

declare -A result unit better
record() { result[$1,$2]=$3; unit[$1]=$4; }

measure() { # METRIC UNIT TARGET COMMAND...: median of $runs runs of a command printing a number
    local metric=$1 u=$2 t=$3
    shift 3
    local values=()
    for _ in $(seq "$runs"); do values+=("$("$@")"); done
    record "$metric" "$t" "$(printf '%s\n' "${values[@]}" | median)" "$u"
}

seq_write() { fio_field 48 --directory="$1" --filename=seqw --rw=write --bs=1M --size=${size}M \
    --end_fsync=1 | awk '{print $1/1024}'; rm -f "$1/seqw"; }
write_4k() { fio_field 48 --directory="$1" --filename=w4k --rw=write --bs=4k --size=${small}M \
    --end_fsync=1 | awk '{print $1/1024}'; rm -f "$1/w4k"; }
read_cold() { drop_caches; fio_field 7 --directory="$1" --filename=seqr --rw=read --bs=1M \
    --size=${size}M --invalidate=1 | awk '{print $1/1024}'; }
read_cached() { fio_field 7 --directory="$1" --filename=seqr --rw=read --bs=1M --size=${size}M \
    --invalidate=0 >/dev/null; fio_field 7 --directory="$1" --filename=seqr --rw=read --bs=1M \
    --size=${size}M --invalidate=0 | awk '{print $1/1024}'; }
rand_read() { fio_field 8 --directory="$1" --filename=randr --rw=randread --bs=4k --size=${rand}M \
    --invalidate=0 --time_based --runtime=$randtime --ramp_time=1; }
meta() { local d=$1/meta; mkdir "$d"; chown "${meta_user:-0}" "$d"
    ${meta_user:+setpriv --reuid="$meta_user" --regid="$meta_user" --clear-groups} \
        "$metaops" "$d" "$files" "$dirs" | awk -v n="$files" -v p="$2" '{print n / $p}'; rmdir "$d"; }
untar() { local d=$1/tree; mkdir "$d"; local s; s=$(now_ms); tar -xf "$scratch/tree.tar" -C "$d";
    sync; echo $(($(now_ms) - s)); rm -rf "$d"; }
open_after_write() { head -c $((size << 20)) /dev/zero >"$1/fresh"; "$opentime" "$1/fresh"
    rm -f "$1/fresh"; }
retar() { local d=$1/tree; mkdir "$d"; tar -xf "$scratch/tree.tar" -C "$d"; drop_caches; local s
    s=$(now_ms); tar -cf - -C "$d" . | wc -c >/dev/null; echo $(($(now_ms) - s)); rm -rf "$d"; }

echo "bench: scratch $(df --output=fstype "$data" | tail -1) file system, runs=$runs, size=${size}M" >&2
tar -cf "$scratch/tree.tar" -C /usr "$tree"
head -c $((size << 20)) /dev/urandom >"$data/seqr"
head -c $((rand << 20)) /dev/urandom >"$data/randr"

# The targets take turns: each round measures every target once, so a machine that slows
# down for a while weighs on all of them alike; the median of the rounds is kept.
declare -A samples
sample() { # METRIC UNIT TARGET COMMAND...: one run of a command printing a number
    local metric=$1 u=$2 t=$3
    shift 3
    samples[$metric,$t]+="$("$@") "
    unit[$metric]=$u
}
for round in $(seq "$runs"); do
    echo "bench: round $round of $runs" >&2
    for t in $targets; do
        [ "$t" = "wardfs-copyup" ] && [ "$quick" = 1 ] && continue
        echo "bench: $t" >&2
        d=${dir[$t]}
        case $t in *-nobody)
            for p in 1:create 2:stat 3:rename 4:unlink 5:open; do
                meta_user=65534 sample "meta_${p#*:}" ops/s "$t" meta "$d" "${p%%:*}"
            done
            continue ;;
        esac
        sample seq_write_1M MiB/s "$t" seq_write "$d"
        sample seq_read_cold MiB/s "$t" read_cold "$d"
        sample seq_read_cached MiB/s "$t" read_cached "$d"
        sample rand_read_4k IOPS "$t" rand_read "$d"
        sample seq_write_4k MiB/s "$t" write_4k "$d"
        sample open_after_write ms "$t" open_after_write "$d"
        for p in 1:create 2:stat 3:rename 4:unlink 5:open; do
            sample "meta_${p#*:}" ops/s "$t" meta "$d" "${p%%:*}"
        done
        sample untar ms "$t" untar "$d"
        sample retar ms "$t" retar "$d"
    done
done
for key in "${!samples[@]}"; do
    # shellcheck disable=SC2086
    result[$key]=$(printf '%s\n' ${samples[$key]} | median)
done

# Copy-up latency: wardfs --copyup against cp --reflink=auto --preserve=all and a rename.
copyup_once() { # MODE BASE MOUNT SIZE_MIB
    cp "$2/template-$4" "$2/cu"
    ln -f "$2/cu" "$2/cu-other"
    sync
    local s
    s=$(now_ms)
    if [ "$1" = cp ]; then
        cp --reflink=auto --preserve=all "$2/cu" "$2/cu.tmp" && mv "$2/cu.tmp" "$2/cu"
    else
        : >>"$3/cu"
    fi
    echo $(($(now_ms) - s))
    [ "$(stat -c %h "$2/cu")" = 1 ] || { echo "bench: copy-up did not happen" >&2; exit 1; }
    rm -f "$2/cu" "$2/cu-other"
}
copyup_series() { # LABEL BASE MOUNT
    for mib in $copyup_sizes; do
        head -c $((mib << 20)) /dev/urandom >"$2/template-$mib"
        measure "copyup_${mib}M$1" ms wardfs-copyup copyup_once wardfs "$2" "$3" "$mib"
        measure "copyup_${mib}M$1" ms cp+rename copyup_once cp "$2" "$3" "$mib"
        rm -f "$2/template-$mib"
    done
}
case " $targets " in *" wardfs-copyup "*) copyup=1 ;; *) copyup=0 ;; esac
[ "$copyup" = 1 ] && echo "bench: copy-up" >&2 && copyup_series "" "$data" "${dir[wardfs-copyup]}"
if [ "$copyup" = 1 ] && command -v mkfs.xfs >/dev/null; then
    truncate -s 3G "$scratch/xfs.img"
    mkfs.xfs -q -m reflink=1 "$scratch/xfs.img"
    mkdir -p "$scratch/xfs"
    mount -o loop "$scratch/xfs.img" "$scratch/xfs"
    mount_target wardfs-copyup "$scratch/xfs" "$scratch/xfs-mnt-copyup"
    copyup_series "_xfs_reflink" "$scratch/xfs" "$scratch/xfs-mnt-copyup"
fi

# The table: a ratio above 1 is better than the reference (rates divided, times inverted).
ratio() { # METRIC TARGET REFERENCE
    local v=${result[$1,$2]:-} r=${result[$1,$3]:-}
    [ -n "$v" ] && [ -n "$r" ] || { echo "-"; return; }
    case ${unit[$1]} in
    ms) awk -v v="$v" -v r="$r" 'BEGIN {printf (v > 0 ? "%.2f" : "-"), r / v}' ;;
    *) awk -v v="$v" -v r="$r" 'BEGIN {printf (r > 0 ? "%.2f" : "-"), v / r}' ;;
    esac
}
metrics="seq_write_1M seq_read_cold seq_read_cached rand_read_4k seq_write_4k open_after_write meta_create
meta_stat meta_open meta_rename meta_unlink untar retar"
# Ratio columns: every target to native and to bindfs, and wardfs to the builds it is
# compared with.
pairs=""
for t in $targets; do [ "$t" != native ] && pairs="$pairs $t/native"; done
for t in $targets; do case $t in native | bindfs) ;; *) pairs="$pairs $t/bindfs" ;; esac; done
case " $targets " in *" baseline "*) pairs="$pairs wardfs/baseline" ;; esac
case " $targets " in *" baseline-nobody "*) pairs="$pairs wardfs-nobody/baseline-nobody" ;; esac
case " $targets " in *" wardfs3 "*) pairs="$pairs wardfs3/wardfs" ;; esac
case " $targets " in *" wardfs3 "*)
    case " $targets " in *" wardfs3l "*) pairs="$pairs wardfs3l/wardfs3" ;; esac ;;
esac
case " $targets " in *" wardfs3l-uring "*) pairs="$pairs wardfs3l-uring/wardfs3l" ;; esac
printf '%-16s %-6s' metric unit
for t in $targets; do printf ' %13s' "$t"; done
printf '  '
for p in $pairs; do printf ' %s' "$p"; done
printf '\n'
for m in $metrics; do
    [[ -v "unit[$m]" ]] || continue # no target measured it (the -nobody targets alone)
    printf '%-16s %-6s' "$m" "${unit[$m]}"
    for t in $targets; do printf ' %13s' "${result[$m,$t]:--}"; done
    printf '  '
    for p in $pairs; do printf " %${#p}s" "$(ratio "$m" "${p%/*}" "${p#*/}")"; done
    printf '\n'
done
printf '\n%-26s %-7s %16s %16s   %s\n' metric unit wardfs-copyup cp+rename "ratio (cp time / copy-up time)"
for key in "${!unit[@]}"; do
    case $key in copyup_*) echo "$key" ;; esac
done | sort -V | while read -r m; do
    printf '%-26s %-7s %16s %16s   %s\n' "$m" ms "${result[$m,wardfs-copyup]}" \
        "${result[$m,cp+rename]}" "$(ratio "$m" wardfs-copyup cp+rename)"
done
