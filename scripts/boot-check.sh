#!/bin/sh
# Boots a Debian 12 root of ARCH (armhf or amd64) under qemu-system (TCG) with the package
# DEB and checks what the package's boot programs and wardfs do in that boot:
#   1. a boot that installs DEB with apt-get;
#   2. a boot with "vaskel=VALUE": the generator under systemd, vaskel-remount as a unit,
#      every test program of TESTS_BUILD against the installed programs, and those of
#      TESTS_BUILD_FUSE3 (a libfuse 3 build, optional) against that build's own wardfs;
#   3. a boot whose initrd leaves the initramfs /var marker for the generator.
# Prints one summary line and exits 0 when every check passed.
#   boot-check.sh ARCH WORK DEB TESTS_BUILD [TESTS_BUILD_FUSE3]
# WORK caches the root (keyed by its package list) and the kernel; each boot uses a
# copy-on-write overlay of the root image, so the cache stays as it was made. On the host
# nothing is mounted, no loop device is used, and a binfmt entry needed to make the armhf
# root is removed again.
set -eu

[ "$#" -eq 4 ] || [ "$#" -eq 5 ] || {
    echo "usage: boot-check.sh ARCH WORK DEB TESTS_BUILD [TESTS_BUILD_FUSE3]" >&2
    exit 2
}
arch=$1 work=$2 deb=$3 tests_build=$4 fuse3_build=${5:-}
here=$(cd "$(dirname "$0")" && pwd)
boot_files=$here/../tests/boot
value=${BOOT_VALUE:-/deploy/vaskel/checked/0}
# A guest that has not powered off by then is killed (the boot with the tests gets four times
# as long).
boot_timeout=${BOOT_TIMEOUT:-300}
# The test programs run in the guest: all of the suite, with the helpers of the real-tools
# test and the test double of libvaskel.
guest_tests="unit_tests cmdline_tests boot_tests mount_tests client_tests xattr_tests
identity_tests record_tests guard_race_tests parity_tests reliability_tests containment_tests"
guest_helpers="mmap_write record_check"
root_packages=systemd,systemd-sysv,udev,kmod,libfuse2,fuse,libfuse3-3,libglib2.0-0,libstdc++6
root_packages=$root_packages,attr,acl,libcap2-bin,xfsprogs,e2fsprogs,patch,procps,man-db
root_packages=$root_packages,linux-libc-dev

case $arch in
armhf)
    kernel_package=linux-image-armmp-lpae
    disk_modules="virtio_mmio virtio_blk"
    qemu="qemu-system-arm -M virt -cpu cortex-a15"
    disk_device=virtio-blk-device
    console=ttyAMA0
    ;;
amd64)
    kernel_package=linux-image-amd64
    disk_modules="virtio_pci virtio_blk"
    qemu="qemu-system-x86_64 -M q35 -accel tcg -cpu max"
    disk_device=virtio-blk-pci
    console=ttyS0
    ;;
*)
    echo "boot-check: no such architecture: $arch" >&2
    exit 2
    ;;
esac
label=boot-$arch

[ -f "$deb" ] || {
    echo "boot-check: no package $deb" >&2
    exit 2
}
for build in "$tests_build" $fuse3_build; do
    for t in $guest_tests $guest_helpers; do
        [ -x "$build/tests/$t" ] || {
            echo "boot-check: no test program $build/tests/$t" >&2
            exit 2
        }
    done
done

mkdir -p "$work"
work=$(cd "$work" && pwd)
tmp=$(mktemp -d "$work/run.XXXXXX")
binfmt=/proc/sys/fs/binfmt_misc
binfmt_mounted=no binfmt_registered=no
binfmt_restore() { # takes back what this script added to binfmt_misc
    [ "$binfmt_registered" = no ] || echo -1 >"$binfmt/qemu-arm"
    [ "$binfmt_mounted" = no ] || umount "$binfmt"
    binfmt_mounted=no binfmt_registered=no
}
cleanup() {
    binfmt_restore
    rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
host_state() {
    awk '{ $1 = $2 = ""; print }' /proc/self/mountinfo | sort
    ls "$binfmt" 2>/dev/null
}
host_state >"$tmp/host-before"

mirror=$("$here/debian-mirror.sh")

# The root: Debian 12 (bookworm main only) with systemd, the package's dependencies and the
# tools the tests use; made again when the package list changes. A foreign root runs its
# maintainer scripts under qemu-user through binfmt_misc, for this step only.
# "man": the root keeps the man pages, which the guest checks.
stamp="$arch $(echo "$root_packages" | tr , " ") man"
if [ ! -d "$work/root" ] || [ "$(cat "$work/root.packages" 2>/dev/null)" != "$stamp" ]; then
    if [ "$arch" != "$(dpkg --print-architecture)" ]; then
        if ! mountpoint -q "$binfmt"; then
            mount -t binfmt_misc binfmt_misc "$binfmt"
            binfmt_mounted=yes
        fi
        if [ ! -e "$binfmt/qemu-arm" ]; then
            grep -v '^#' /usr/lib/binfmt.d/qemu-arm.conf >"$binfmt/register"
            binfmt_registered=yes
        fi
    fi
    echo "$label: making the root ($arch, from $mirror)"
    rm -rf "$work/root" "$work/root.packages" "$work/root.new"
    mmdebstrap --quiet --variant=minbase --arch="$arch" \
        --include="$root_packages" \
        --dpkgopt='path-exclude=/usr/share/locale/*' \
        --dpkgopt='path-exclude=/usr/share/doc/*' \
        bookworm "$work/root.new" "deb $mirror bookworm main"
    mv "$work/root.new" "$work/root"
    echo "$stamp" >"$work/root.packages"
    binfmt_restore
fi

# The kernel, its modules and a static busybox for the initrd, extracted without running
# anything of the target.
stamp="$arch $kernel_package busybox-static"
if [ ! -d "$work/kernel" ] || [ "$(cat "$work/kernel.packages" 2>/dev/null)" != "$stamp" ]; then
    echo "$label: extracting the kernel ($kernel_package)"
    rm -rf "$work/kernel" "$work/kernel.packages" "$work/kernel.new"
    mmdebstrap --quiet --variant=extract --arch="$arch" \
        --include="$kernel_package,busybox-static" \
        bookworm "$work/kernel.new" "deb $mirror bookworm main"
    version=$(ls "$work/kernel.new/lib/modules")
    depmod -b "$work/kernel.new" "$version"
    mv "$work/kernel.new" "$work/kernel"
    echo "$stamp" >"$work/kernel.packages"
fi
version=$(ls "$work/kernel/lib/modules")
modules=$work/kernel/lib/modules/$version

# The initrd: busybox, /init and the modules that reach an ext4 root on a virtio disk, each
# after the modules it needs (modules.dep lists those; crc32c is asked for by name).
mkdir -p "$tmp/initrd/bin" "$tmp/initrd/lib/modules" "$tmp/initrd/proc" "$tmp/initrd/sys" \
    "$tmp/initrd/dev" "$tmp/initrd/run" "$tmp/initrd/newroot"
cp "$work/kernel/bin/busybox" "$tmp/initrd/bin/"
for applet in sh mount umount mkdir sleep seq findfs insmod poweroff switch_root cat; do
    ln -s busybox "$tmp/initrd/bin/$applet"
done
cp "$boot_files/init" "$tmp/initrd/init"
with_dependencies() {
    for m in "$@"; do
        path=$(find "$modules/kernel" -name "$m.ko*" | head -n 1)
        [ -n "$path" ] || continue # built into the kernel
        rel=${path#"$modules"/}
        deps=$(sed -n "s|^$rel:||p" "$modules/modules.dep")
        for d in $deps; do
            d=${d##*/}
            (with_dependencies "${d%%.ko*}") # a subshell keeps this call's variables
        done
        echo "$rel"
    done
}
# shellcheck disable=SC2086 # a list of names
with_dependencies $disk_modules crc32c_generic ext4 | awk '!seen[$0]++' | while read -r rel; do
    name=${rel##*/}
    cp "$modules/$rel" "$tmp/initrd/lib/modules/$name"
    case $name in *.xz) # busybox's insmod takes plain modules only
        xz -d "$tmp/initrd/lib/modules/$name"
        name=${name%.xz}
        ;;
    esac
    echo "$name" >>"$tmp/initrd/modules"
done
(cd "$tmp/initrd" && find . | cpio --quiet -o -H newc) | gzip -1 >"$tmp/initrd.img"

# The root image: the cached root, the kernel's modules, the test units, a machine id (so
# this is not a first boot), made as an ext4 image without mounting anything.
cp -a "$work/root" "$tmp/root"
mkdir -p "$tmp/root/lib/modules"
cp -a "$modules" "$tmp/root/lib/modules/"
cp -a "$boot_files/root/." "$tmp/root/"
od -An -N16 -tx1 /dev/urandom | tr -d ' \n' >"$tmp/root/etc/machine-id"
echo vaskelcheck >"$tmp/root/etc/hostname"
truncate -s 8G "$tmp/root.img"
mkfs.ext4 -q -L vaskelroot -d "$tmp/root" "$tmp/root.img"
rm -rf "$tmp/root"

# The payload disk: the package, the guest's checks and the test programs; the guest
# writes its results back to it.
copy_tests() { # build, directory in the payload
    mkdir -p "$2/fake"
    for t in $guest_tests $guest_helpers; do cp "$1/tests/$t" "$2/"; done
    cp -a "$1/tests/fake/." "$2/fake/"
}
mkdir -p "$tmp/payload/tests"
cp "$deb" "$tmp/payload/"
cp "$boot_files/check.sh" "$tmp/payload/"
cp "$here/../tests/in-namespace.sh" "$here/../tests/real-tools-test.sh" \
    "$here/../tests/man-test.sh" "$tmp/payload/tests/"
copy_tests "$tests_build" "$tmp/payload/tests"
if [ -n "$fuse3_build" ]; then
    copy_tests "$fuse3_build" "$tmp/payload/fuse3/tests"
    cp "$fuse3_build/wardfs" "$fuse3_build/wardfs-record-names" "$tmp/payload/fuse3/"
fi
truncate -s 512M "$tmp/payload.img"
mkfs.ext4 -q -L vaskelpayload -d "$tmp/payload" "$tmp/payload.img"

run_guest() { # stage, time limit in seconds, kernel arguments; sets status
    stage=$1 limit=$2
    shift 2
    echo "$label: booting ($stage)"
    start=$(date +%s)
    status=0
    # shellcheck disable=SC2086
    timeout --kill-after=10 "$limit" $qemu -smp 2 -m 1024 -nographic -monitor none \
        -serial "file:$work/console-$stage.log" -nic none -no-reboot \
        -kernel "$work/kernel/boot/vmlinuz-$version" -initrd "$tmp/initrd.img" \
        -append "console=$console panic=-1 rw vaskelcheck.stage=$stage $*" \
        -drive "if=none,id=root,format=qcow2,file=$tmp/overlay.qcow2" \
        -device "$disk_device,drive=root" \
        -drive "if=none,id=payload,format=raw,file=$tmp/payload.img" \
        -device "$disk_device,drive=payload" >/dev/null 2>&1 || status=$?
    echo "$label: $stage took $(($(date +%s) - start)) s"
    # A guest killed at the limit (or a qemu that failed) fails the target, whatever the
    # guest wrote before.
    [ "$status" -eq 0 ] && return 0
    if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
        echo "$label: FAILED: the guest did not power off within $limit s; the console's end:"
    else
        echo "$label: FAILED: qemu ended with status $status; the console's end:"
    fi
    tail -n 30 "$work/console-$stage.log" | sed "s/^/    /"
    echo "$stage" >>"$work/results/qemu-failed"
}

# What the guest kept of a failure: apt-get's output, the journal around the remount, what a
# test program said.
show_failures() { # stage
    if grep -q '^FAILED: install' "$tmp/results/$1"; then
        echo "$label: apt-get said:"
        tail -n 20 "$tmp/results/apt.log" | sed "s/^/    /"
    fi
    [ "$1" = main ] || return 0
    if grep -q '^FAILED: remount' "$tmp/results/$1"; then
        echo "$label: the journal on the remount:"
        tail -n 30 "$tmp/results/remount-journal.log" | sed "s/^/    /"
    fi
    grep -l '^\[  FAILED  \]' "$tmp/results"/*_tests.log 2>/dev/null | while read -r log; do
        echo "$label: ${log##*/}:"
        grep -B 2 -A 8 'Failure$' "$log" | head -n 60 | sed "s/^/    /"
    done
}

boot() { # stage, time limit in seconds, kernel arguments
    run_guest "$@"
    rm -rf "$tmp/results"
    debugfs -R "rdump /results $tmp" "$tmp/payload.img" >/dev/null 2>&1 || true
    if [ ! -f "$tmp/results/$stage" ]; then
        echo "$label: FAILED: no results of the $stage boot; the console's end:"
        tail -n 30 "$work/console-$stage.log" | sed "s/^/    /"
        return 1
    fi
    grep -v '=' "$tmp/results/$stage" | sed "s/^/$label: /"
    cp -r "$tmp/results/." "$work/results/"
    show_failures "$stage"
    [ "$status" -eq 0 ] && ! grep -q '^FAILED' "$tmp/results/$stage"
}
rm -rf "$work/results" && mkdir -p "$work/results"
qemu-img create -q -f qcow2 -F raw -b "$tmp/root.img" "$tmp/overlay.qcow2"
# The package comes first; without it the other boots would show nothing.
if boot install "$boot_timeout"; then
    boot main $((4 * boot_timeout)) \
        "vaskel=$value systemd.setenv=VASKEL_GENERATOR_RECORD=/run/vaskelcheck-generator-record" || true
    boot initramfs-var "$boot_timeout" "vaskel=$value" || true
fi

host_state >"$tmp/host-after"
left=$(diff "$tmp/host-before" "$tmp/host-after" || true)
[ -z "$left" ] || printf '%s: FAILED: left on the host:\n%s\n' "$label" "$left"

# The summary: a part is ok when its stage has checks of it and none failed.
results=$work/results
part() { # part, stage
    if grep -qs "^ok: $1: " "$results/$2" && ! grep -qs "^FAILED: $1: " "$results/$2"; then
        echo ok
    else
        echo FAILED
    fi
}
kernel=$(sed -n 's/^kernel=//p' "$results/main" 2>/dev/null || true)
wardfs=$(sed -n 's/^wardfs=//p' "$results/main" 2>/dev/null || true)
wardfs3=$(sed -n 's/^wardfs3=//p' "$results/main" 2>/dev/null || true)
also=
[ -z "$fuse3_build" ] || also="; wardfs (libfuse 3) ${wardfs3:-not run}"
echo "$label: kernel ${kernel:-unknown}; install $(part install install);" \
    "generator $(part generator main); initramfs-var marker $(part initramfs-var initramfs-var);" \
    "remount $(part remount main); wardfs ${wardfs:-not run}$also ($(part 'wardfs3\{0,1\}' main))"
[ ! -f "$results/qemu-failed" ] || exit 1
for stage in install main initramfs-var; do
    [ -f "$results/$stage" ] && ! grep -q '^FAILED' "$results/$stage" || exit 1
done
[ -z "$left" ]
