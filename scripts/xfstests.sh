#!/bin/bash
# Runs the kernel's file-system test suite through a wardfs mount (-o xattr, allow_other).
#   xfstests.sh SOURCE WORK WARDFS [GROUP] [TEST...]
# SOURCE is the suite's read-only source tree; it is copied into WORK and built there once.
# The users the suite expects and a mount helper are added for the run and removed again.
# Prints the tests that failed; exits 1 when any did.
set -euo pipefail

[ "$#" -ge 3 ] || {
    echo "usage: xfstests.sh SOURCE WORK WARDFS [GROUP] [TEST...]" >&2
    exit 2
}
source_dir=$(realpath "$1") work=$(realpath -m "$2") wardfs=$(realpath "$3")
group=${4:-quick}
shift $(($# < 4 ? $# : 4))
[ "$(id -u)" = 0 ] || {
    echo "xfstests: needs root (mounts, users, a mount helper)" >&2
    exit 1
}
[ -x "$wardfs" ] || {
    echo "xfstests: no wardfs at $wardfs" >&2
    exit 1
}

here=$(dirname "$0")
"$here/install-deps.sh" xfslibs-dev uuid-dev libtool-bin e2fsprogs automake gcc make quota \
    attr acl libacl1-dev libaio-dev xfsprogs libgdbm-dev gawk fio dbench uuid-runtime bc \
    psmisc libcap-dev liburing-dev sqlite3 python3

suite=$work/xfstests
if [ ! -x "$suite/ltp/fsx" ]; then
    echo "xfstests: building in $suite"
    rm -rf "$suite"
    mkdir -p "$work"
    cp -a "$source_dir" "$suite"
    chmod -R u+w "$suite"
    make -C "$suite" -j"$(nproc)" >"$work/build.log" 2>&1 || {
        tail -30 "$work/build.log" >&2
        exit 1
    }
fi

helper=/sbin/mount.fuse.wardfs
added_users=()
cleanup() {
    set +e
    for m in "$work/test" "$work/scratch"; do
        mountpoint -q "$m" && umount -l "$m"
    done
    rm -f "$helper"
    for u in "${added_users[@]}"; do userdel -r "$u" >/dev/null 2>&1; done
}
trap cleanup EXIT
trap 'exit 130' INT TERM

[ -e "$helper" ] && {
    echo "xfstests: $helper exists already; not replacing it" >&2
    trap - EXIT
    exit 1
}
for u in fsgqa fsgqa2 123456-fsgqa; do
    if ! id "$u" >/dev/null 2>&1; then
        useradd -m "$u"
        added_users+=("$u")
    fi
done

# mount(8) hands the helper DEV MNT -o OPTS; DEV is "source:DIR".
cat >"$helper" <<EOF
#!/bin/sh
dev=\$1 mnt=\$2
shift 2
case " \$* " in *remount*) exec mount -i "\$dev" "\$mnt" "\$@" ;; esac
exec "$wardfs" "\${dev#source:}" "\$mnt" -o "fsname=\$dev,allow_other,dev,suid,xattr" "\$@"
EOF
chmod 755 "$helper"

mkdir -p "$work/src/test" "$work/src/scratch" "$work/test" "$work/scratch"
cat >"$suite/local.config" <<EOF
export TEST_DEV=source:$work/src/test TEST_DIR=$work/test
export SCRATCH_DEV=source:$work/src/scratch SCRATCH_MNT=$work/scratch
export FSTYP=fuse FUSE_SUBTYP=.wardfs
EOF

cd "$suite"
status=0
if [ "$#" -gt 0 ]; then
    ./check -fuse "$@" >"$work/check.log" 2>&1 || status=$?
else
    ./check -fuse -g "$group" >"$work/check.log" 2>&1 || status=$?
fi
grep -E '^(Ran|Not run|Failures|Failed|Passed)' "$work/check.log" || tail -20 "$work/check.log"
echo "xfstests: full log in $work/check.log, results in $suite/results"
exit $((status != 0))
