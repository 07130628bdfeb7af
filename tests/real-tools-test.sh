#!/bin/sh
# A hard-link farm of an installed tree (cp -al), mounted with wardfs --copyup and changed
# through the mount by the programs that build tools and package managers run; the same
# commands run on a plain copy of the tree. Every command must end and print alike, the two
# final trees must be equal, and the tree the farm was linked from must be unchanged. The
# mount's record (--record) names every name that differs between the farm and the tree it
# was linked from, and no other.
#
# Environment: WARDFS (the daemon), WARDFS_OPTIONS (extra options), WARDFS_TEST_OPTIONS
# (mount options for the whole run), MMAP_WRITE (the helper), EMULATOR (what runs the
# build's programs, empty when native), RECORD_NAMES (the record's reader), RECORD_CHECK (the
# helper that holds the record against the trees).
set -u
if [ "$(id -u)" -ne 0 ] || [ ! -w /dev/fuse ]; then
    echo "*** SKIP: $0 needs root and /dev/fuse ***"
    exit 77
fi
work=$(mktemp -d /tmp/wardfs-tools.XXXXXX)
cleanup() {
    mountpoint -q "$work/mnt" && { fusermount -u "$work/mnt" || umount -l "$work/mnt"; }
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The installed tree: the kernel's headers, a few programs and symbolic links.
installed=$work/installed
mkdir -p "$installed/bin" "$work/mnt"
cp -a /usr/include/linux "$installed/include"
cp -a /usr/bin/true /usr/bin/sleep "$installed/bin/"
ln -s ../include/types.h "$installed/bin/types-link"
chmod 0444 "$installed/include/const.h"
manifest() { # type, mode, owner, size, target and content of every entry below $1
    (cd "$1" && find . -printf '%y %m %U:%G %s %p -> %l\n' | LC_ALL=C sort &&
        find . -type f -exec md5sum {} + | LC_ALL=C sort -k2)
}
manifest "$installed" >"$work/installed.before"

cp -al "$installed" "$work/farm"
cp -a "$installed" "$work/plain"
# shellcheck disable=SC2086
$EMULATOR "$WARDFS" $WARDFS_OPTIONS ${WARDFS_TEST_OPTIONS:+-o "$WARDFS_TEST_OPTIONS"} \
    "$work/farm" "$work/mnt" --copyup --record "$work/record" || exit 1

# The commands, run from the top of a tree; each prints its status and output.
changes() {
    step() {
        out=$("$@" 2>&1)
        echo "$* => $? $out"
    }
    shell() { step sh -c "$1"; }
    step sed -i 's/#define/#  define/' include/stddef.h
    step perl -pi -e 's/__u32/__uint32/g' include/ipc.h
    shell 'find include/netfilter -name "*.h" -exec sed -i "s/^#include/# include/" {} +'
    step cp include/types.h include/kernel.h
    step cp -f include/const.h include/limits.h
    shell 'printf "%s\n" "--- include/acct.h" "+++ include/acct.h" "@@ -1,1 +1,2 @@" "+/* patched */" "$(head -n 1 include/acct.h)" | patch -p0'
    step install -m 0755 include/capability.h include/cdrom.h
    step chmod -R g+w,o-r include/usb
    step dd if=/dev/zero of=include/fs.h bs=1 count=16 seek=100 conv=notrunc status=none
    # shellcheck disable=SC2086
    step $EMULATOR "$MMAP_WRITE" include/elf.h 10 MAPPED
    shell 'mv include/ioctl.h include/ioctl2.h && echo "/* renamed */" >>include/ioctl2.h'
    shell 'ln include/auxvec.h include/auxvec2.h && rm include/auxvec.h && echo x >>include/auxvec2.h'
    shell 'tar -cf ../t.tar -C include socket.h in.h && tar -xf ../t.tar -C include && rm ../t.tar'
    shell 'tar -cf ../t.tar -C include errno.h && tar --overwrite -xf ../t.tar -C include/usb && tar --overwrite -xf ../t.tar -C include && rm ../t.tar'
    step truncate -s 10 include/major.h
    shell 'echo appended >>include/param.h'
    # gzip -k refuses a file with other hard links on any file system, so -c.
    shell 'gzip -c include/serial.h >include/serial.h.gz && gzip -dc include/serial.h.gz >include/serial.h'
    step cp -a include/netfilter include/netfilter-copy
    step rm -r include/netfilter_ipv6
    step ln -sf ../include/limits.h bin/types-link
    step chown -R 1:1 include/mmc
    shell 'printf "#!/bin/sh\necho replaced\n" >bin/true'
    step bin/true
    shell 'cat bin/sleep >/dev/null && cp bin/sleep bin/sleep.new && mv -f bin/sleep.new bin/sleep'
    shell 'fallocate -l 65536 include/sem.h && fallocate -p -o 0 -l 4096 include/sem.h'
    step cmp include/kernel.h include/types.h
    step chmod 0644 include/const.h
    step mv include/can include/can-moved
    shell 'echo moved >>include/can-moved/raw.h'
    shell 'touch "$(printf "include/tab\there, a new\nline and a \\377 byte")"'
}
(cd "$work/mnt" && changes) >"$work/through-mount.log"
(cd "$work/plain" && changes) >"$work/plain.log"

failures=0
compare() { # what, then two files
    if cmp -s "$2" "$3"; then
        echo "ok: $1"
    else
        echo "FAILED: $1"
        diff "$2" "$3" | head -n 40
        failures=$((failures + 1))
    fi
}
compare "every command ends and prints as on a plain copy" "$work/plain.log" "$work/through-mount.log"
manifest "$work/mnt" >"$work/mnt.after"
manifest "$work/plain" >"$work/plain.after"
compare "the tree through the mount equals the plain copy" "$work/plain.after" "$work/mnt.after"
fusermount -u "$work/mnt"
manifest "$work/farm" >"$work/farm.after"
compare "the farm holds what the mount showed" "$work/mnt.after" "$work/farm.after"
manifest "$installed" >"$work/installed.after"
compare "the installed tree is unchanged" "$work/installed.before" "$work/installed.after"
$EMULATOR "$RECORD_NAMES" -0 "$work/record" >"$work/names" &&
    $EMULATOR "$RECORD_NAMES" -0 --removed "$work/record" >"$work/removed" &&
    $EMULATOR "$RECORD_CHECK" "$installed" "$work/farm" "$work/names" "$work/removed" \
        2>"$work/record.check"
echo "$?" >"$work/record.status"
echo 0 >"$work/record.expected"
compare "the record names what changed, and nothing else" "$work/record.expected" \
    "$work/record.status"
cat "$work/record.check"
echo "$((5 - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
