#!/bin/bash
# Shows wardfs at work on a small sample tree: what passes through and what is refused.
# Always unmounts and removes its tree, also when a step fails or on Ctrl-C.
set -u
wardfs=${1:-build/wardfs}
work=$(mktemp -d /tmp/wardfs-demo.XXXXXX)
base=$work/base
mnt=$work/mnt
pid=""

cleanup() {
    if mountpoint -q "$mnt" 2>/dev/null; then
        fusermount -u "$mnt" 2>/dev/null || umount -l "$mnt" 2>/dev/null
    fi
    [ -n "$pid" ] && kill "$pid" 2>/dev/null
    [ -n "$pid" ] && wait "$pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mount_wardfs() {
    "$wardfs" "$base" "$mnt" -f "$@" &
    pid=$!
    for _ in $(seq 100); do
        mountpoint -q "$mnt" && return 0
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.05
    done
    echo "demo: wardfs did not mount" >&2
    exit 1
}

unmount_wardfs() {
    fusermount -u "$mnt"
    wait "$pid"
    pid=""
}

# Runs a command and reports whether it worked or what it was refused with.
try() {
    local out
    if out=$("$@" 2>&1); then
        printf '  ok      %s\n' "${*//$work\//}"
    else
        printf '  refused %s: %s\n' "${*//$work\//}" "${out##*: }"
    fi
}

links() {
    for f in "$@"; do printf '  %-12s links=%s content=%s\n' "${f##*/}" "$(stat -c %h "$f")" \
        "$(cat "$f")"; done
}

mkdir -p "$base/dir" "$mnt"
echo "shared content" >"$base/shared"
ln "$base/shared" "$base/dir/shared-link"
echo "plain content" >"$base/plain"
ln -s plain "$base/symlink"

echo "== sample tree: shared (2 links), plain, dir/, symlink -> plain"
mount_wardfs
echo "== through the mount, without --copyup"
try ls "$mnt" "$mnt/dir"
try readlink "$mnt/symlink"
try cat "$mnt/shared"
try sh -c "echo changed >> '$mnt/plain'"
try mkdir "$mnt/newdir"
try ln -s target "$mnt/newdir/link"
try touch "$mnt/shared"
try sh -c "echo changed > '$mnt/shared'"
try chmod 600 "$mnt/shared"
try truncate -s 0 "$mnt/shared"
try mkfifo "$mnt/fifo"
try setfattr -n user.demo -v 1 "$mnt/plain"
links "$base/shared" "$base/dir/shared-link"
unmount_wardfs

echo "== through the mount, with --copyup"
mount_wardfs --copyup
try sh -c "echo 'private content' > '$mnt/shared'"
links "$base/shared" "$base/dir/shared-link"
unmount_wardfs
echo "== done; the mount is gone and the sample tree is removed"
