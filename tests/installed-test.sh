#!/bin/sh
# Checks an installed vaskel-tools package: the programs are where systemd and users look for
# them, answer their usage paths, find the installed library, serve a mount, and the man
# pages render. Runs as root; boot programs run in a private mount namespace with their own
# /run, so the machine's state is not touched.
set -u
failures=0
check() { # description, then a command that must succeed
    what=$1
    shift
    if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}
output_is() { # expected text, then a command; compares standard output and error together
    want=$1
    shift
    got=$("$@" 2>&1)
    [ "$got" = "$want" ] || { printf 'got:  %s\nwant: %s\n' "$got" "$want"; return 1; }
}
status_is() { # expected status, then a command
    want=$1
    shift
    "$@" >/dev/null 2>&1
    [ $? -eq "$want" ]
}

generator=/usr/lib/systemd/system-generators/vaskel-system-generator
remount=/usr/lib/vaskel/vaskel-remount
libdir=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)

check "package is installed" sh -c 'dpkg-query -W vaskel-tools >/dev/null'
check "wardfs is on PATH" test "$(command -v wardfs)" = /usr/bin/wardfs
check "wardfs -h prints the usage and exits 0" status_is 0 wardfs -h
check "the usage names the program" sh -c 'wardfs -h | head -n 1 | grep -qx "usage: wardfs basepath mountpoint \[options\]"'
check "wardfs -V prints the hint and exits 1" output_is "see \`wardfs -h' for usage" wardfs -V
check "wardfs without arguments fails" status_is 1 wardfs
check "the library is installed with its soname" test -e "$libdir/libvaskel-1.so.1"
used=$(ldd /usr/bin/wardfs | sed -n 's/.*libvaskel-1.so.1 => \([^ ]*\) .*/\1/p')
check "wardfs uses the installed library" \
    test "$(readlink -f "$used")" = "$(readlink -f "$libdir/libvaskel-1.so.1")"
check "the generator is in systemd's generator directory" test -x "$generator"
check "the generator refuses two arguments" output_is \
    "vaskel-system-generator: This program takes three or no arguments" \
    unshare -m --propagation private sh -c "mount -t tmpfs none /run && $generator /a /b"
check "the remount helper is installed" test -x "$remount"
if [ -e /sysroot ] || [ ! -w /var ] || grep -q ' /var [^ ]* ro[, ]' /proc/mounts; then
    echo "SKIP: vaskel-remount run (this machine has /sysroot or a read-only /var)"
else
    check "vaskel-remount creates the boot marker and exits 0" \
        unshare -m --propagation private sh -c \
        "mount -t tmpfs none /run && $remount >/dev/null 2>&1 && test -e /run/vaskel-booted"
fi

# A real mount with the installed daemon: a shared file refuses a write.
work=$(mktemp -d)
trap 'fusermount -u "$work/mnt" 2>/dev/null; fusermount -u "$work/mnt2" 2>/dev/null; rm -rf "$work"' EXIT
mkdir "$work/base" "$work/mnt" "$work/mnt2"
echo shared >"$work/base/f"
ln "$work/base/f" "$work/base/g"
if wardfs "$work/base" "$work/mnt"; then
    check "a shared file refuses a write through the mount" \
        sh -c "! echo x 2>/dev/null >'$work/mnt/f'"
    check "the shared file is unchanged" test "$(cat "$work/base/g")" = shared
    check "the mount unmounts" fusermount -u "$work/mnt"
else
    check "wardfs mounts" false
fi
# mount(8) through the fuse package's helper, copy-up asked for as a mount option.
if mount -t fuse.wardfs "$work/base" "$work/mnt2" -o "copyup,record=$work/record"; then
    check "mount -t fuse.wardfs -o copyup gives the name a private copy" \
        sh -c "echo more >>'$work/mnt2/f' && test \"\$(cat '$work/base/g')\" = shared"
    check "umount unmounts it" umount "$work/mnt2"
    sleep 1 # the daemon writes the record's end once it has seen the unmount
    check "wardfs-record-names reads the record" output_is '"f"' wardfs-record-names \
        "$work/record"
else
    check "mount -t fuse.wardfs mounts" false
fi

for page in wardfs.1 vaskel-system-generator.8 vaskel-remount.8; do
    name=${page%.*} section=${page##*.}
    check "man page $page is installed" test -e "/usr/share/man/man$section/$page.gz"
    check "man page $page renders without warnings" sh -c \
        "out=\$(MANWIDTH=80 man --warnings $section $name 2>&1 >/dev/null); [ -z \"\$out\" ]"
done

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "all installed checks passed"
