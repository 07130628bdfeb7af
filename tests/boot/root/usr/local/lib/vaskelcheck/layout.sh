#!/bin/sh
# The physical root at /sysroot, shared as systemd leaves /, with a mount below it; then
# /sysroot and /var made read-only per mount while / stays writable.
set -eu
mkdir -p /sysroot /var/lib/vaskelcheck-below
mount --bind / /sysroot
mount -t tmpfs below /sysroot/var/lib/vaskelcheck-below
# A read-only remount fails with EBUSY while a file is open for writing through the mount.
read_only() {
    for _ in 1 2 3 4 5 6 7 8 9 10; do
        mount -o remount,bind,ro "$1" && return 0
        sleep 0.2
    done
    return 1
}
read_only /sysroot
mount --bind /var /var
read_only /var
