#!/bin/sh
# The checks of one boot, run by vaskelcheck.service from the payload disk. The stage comes
# from the kernel command line:
#   install        installs the package with apt-get, as a user would;
#   main           the generator and vaskel-remount as this boot ran them, then the wardfs
#                  tests against the installed wardfs;
#   initramfs-var  the generator found the initramfs /var marker: it removed it, and did
#                  nothing else.
# Results go to /payload/results/STAGE: "ok: PART: ..." and "FAILED: PART: ..." lines, and
# key=value lines for the host's summary.
set -u
payload=/payload
stage=$(sed -n 's/.*vaskelcheck\.stage=\([^ ]*\).*/\1/p' /proc/cmdline)
value=$(sed -n 's/.*vaskel=\([^ ]*\).*/\1/p' /proc/cmdline)
mkdir -p "$payload/results"
results=$payload/results/$stage
: >"$results"
say() { echo "$*" >>"$results"; echo "vaskelcheck: $*"; }
check() { # part, description, then a command that must succeed
    what="$1: $2"
    shift 2
    if "$@"; then say "ok: $what"; else say "FAILED: $what"; fi
}

# Mount options and optional fields of the mount at a path (the topmost one).
mount_options() { awk -v p="$1" '$5 == p { print $6 }' /proc/self/mountinfo | tail -n 1; }
mount_tags() {
    awk -v p="$1" '$5 == p { t = ""; for (i = 7; $i != "-"; i++) t = t " " $i; print t }' \
        /proc/self/mountinfo | tail -n 1
}
is_writable() { case ",$(mount_options "$1")," in *,rw,*) return 0 ;; esac; return 1; }
is_private() { [ -n "$(awk -v p="$1" '$5 == p' /proc/self/mountinfo)" ] && ! mount_tags "$1" | grep -q shared:; }
journal_has() {
    journalctl --sync
    journalctl -b -o cat -u "$1" | grep -qxF "$2"
}

# The skipped tests of a log and why: "NAME: REASON", from gtest's output.
skips() {
    awk '/^\[ RUN      \]/ { name = $4 } /\*\*\* SKIP/ { reason = $0 }
        /^\[  SKIPPED \] [^ ]+ \(/ { print $4 ": " reason; reason = "" }' "$1" |
        sed 's/\*\*\* SKIP: //; s/ \*\*\*$//'
}

# Runs one program of a suite in a namespace of its own; counts and reports it. Gtest
# programs report their own counts; another program counts as one test (77: skipped).
run_one() { # key, name, log, program and arguments
    key=$1 name=$2 log=$3
    shift 3
    "$payload/tests/in-namespace.sh" "$@" >"$log" 2>&1
    status=$?
    # The last summary counts: a program run with GTEST_REPEAT prints one per repetition.
    p=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) test.*/\1/p' "$log" | tail -n 1)
    f=$(sed -n 's/^\[  FAILED  \] \([0-9]*\) test.*/\1/p' "$log" | tail -n 1)
    s=$(sed -n 's/^\[  SKIPPED \] \([0-9]*\) test.*/\1/p' "$log" | tail -n 1)
    if ! grep -q '^\[==========\]' "$log"; then # not a gtest program
        p=0 f=0 s=0
        case $status in 0) p=1 ;; 77) s=1 ;; *) f=1 ;; esac
    fi
    passed=$((passed + ${p:-0})) failed=$((failed + ${f:-0})) skipped=$((skipped + ${s:-0}))
    if [ "$status" -eq 0 ] || [ "$status" -eq 77 ]; then
        say "ok: $key: $name (${p:-0} passed, ${s:-0} skipped)"
    else
        say "FAILED: $key: $name (status $status, ${f:-0} failed)"
        [ -n "$f" ] && [ "$f" -ne 0 ] || failed=$((failed + 1))
    fi
    # Nothing is dropped silently: each skip is named with its reason.
    if grep -q '^\[==========\]' "$log"; then
        skips "$log" | while read -r line; do say "skipped: $key: $line"; done
    elif [ "$status" -eq 77 ]; then
        say "skipped: $key: $name: $(grep -m1 SKIP "$log" | sed 's/\*\*\* SKIP: //; s/ \*\*\*$//')"
    fi
}

# Every test program of a build, the real-tools test and (once) the man pages, against the
# wardfs and wardfs-record-names given; the counts go to KEY=... for the host's summary.
suites() { # key, directory of the test programs, wardfs, wardfs-record-names
    key=$1 dir=$2
    passed=0 failed=0 skipped=0
    export WARDFS="$3" WARDFS_RECORD_NAMES="$4" TMPDIR=/var/tmp \
        GUARD_RACE_SECONDS="${GUARD_RACE_SECONDS:-0.5}" \
        CONTAINMENT_STRESS_SECONDS="${CONTAINMENT_STRESS_SECONDS:-0.5}" \
        RELIABILITY_ROUNDS="${RELIABILITY_ROUNDS:-2500}" \
        VASKEL_GENERATOR=/usr/lib/systemd/system-generators/vaskel-system-generator \
        VASKEL_REMOUNT=/usr/lib/vaskel/vaskel-remount VASKEL_FAKE_DIR="$dir/fake" \
        MMAP_WRITE="$dir/mmap_write" RECORD_NAMES="$4" RECORD_CHECK="$dir/record_check" EMULATOR='' \
        WARDFS_OPTIONS=''
    for t in "$dir"/*_tests; do
        run_one "$key" "${t##*/}" "$payload/results/$key-${t##*/}.log" "$t"
    done
    run_one "$key" real-tools "$payload/results/$key-real-tools.log" \
        "$payload/tests/real-tools-test.sh"
    if [ "$key" = wardfs ]; then
        run_one "$key" man-pages "$payload/results/$key-man-pages.log" \
            "$payload/tests/man-test.sh" /usr/share/man/man1/wardfs.1.gz \
            /usr/share/man/man8/vaskel-system-generator.8.gz /usr/share/man/man8/vaskel-remount.8.gz
    fi
    say "$key=$passed passed, $failed failed, $skipped skipped"
}

say "kernel=$(uname -m) $(uname -r)"

case $stage in
install)
    check install "apt-get installs the package" sh -c \
        "apt-get install -y -q $payload/vaskel-tools_*.deb >$payload/results/apt.log 2>&1"
    check install "the package is installed" sh -c "dpkg-query -W -f='\${db:Status-Status}' vaskel-tools | grep -qx installed"
    ;;
main)
    record=/run/vaskelcheck-generator-record
    want=$(printf '%s\t%s\t%s\t%s' "$value" /run/systemd/generator '(null)' /run/systemd/generator.late)
    check generator "the boot marker exists" test -e /run/vaskel-booted
    check generator "the generator ran once with the value, the normal and late directories and no early one" \
        test "$(cat "$record" 2>/dev/null)" = "$want"
    [ "$(cat "$record" 2>/dev/null)" = "$want" ] || {
        say "generator record: $(tr '\t\n' '|;' <"$record" 2>&1)"
        journalctl -b -o short-monotonic | grep -i generator >"$payload/results/generator.log"
    }
    was_read_only() { awk -v p="$1" '$5 == p { o = $6 } END { exit !(o ~ /(^|,)ro(,|$)/) }' \
        /run/vaskelcheck-before-remount; }
    check remount "/sysroot was read-only before vaskel-remount" was_read_only /sysroot
    check remount "/var was read-only before vaskel-remount" was_read_only /var
    check remount "/sysroot is writable" is_writable /sysroot
    check remount "/sysroot is private" is_private /sysroot
    check remount "the mount below /sysroot is private" is_private /sysroot/var/lib/vaskelcheck-below
    check remount "/var is writable" is_writable /var
    check remount "the journal says Remounted: /sysroot" journal_has vaskel-remount.service "Remounted: /sysroot"
    check remount "the journal says Remounted: /var" journal_has vaskel-remount.service "Remounted: /var"
    check remount "vaskel-remount succeeded" sh -c \
        "systemctl show -p Result --value vaskel-remount.service | grep -qx success"
    grep -q '^FAILED: remount' "$results" &&
        journalctl -b -o short-monotonic --no-pager | grep -iE 'remount|journal|sysroot|var\.mount' \
            >"$payload/results/remount-journal.log"

    # A refusal through a detached mount reaches the journal as "wardfs".
    refusal_logged() {
        d=$(mktemp -d) && mkdir "$d/base" "$d/mnt" && echo x >"$d/base/a" &&
            ln "$d/base/a" "$d/base/b" && /usr/bin/wardfs "$d/base" "$d/mnt" || return 1
        (cd "$d/mnt" && sh -c 'echo y >>a') 2>/dev/null
        found=1
        for _ in 1 2 3 4 5; do
            journalctl --sync
            journalctl -b -t wardfs -o cat |
                grep -qF 'refused open for writing of "a" (2 links) for sh[' && found=0 && break
            sleep 1
        done
        umount "$d/mnt" && rm -rf "$d"
        [ "$found" -eq 0 ] || journalctl -b -t wardfs -o cat >"$payload/results/wardfs-journal.log" 2>&1
        return "$found"
    }
    check wardfs "a refusal through a detached mount is in the journal (journalctl -t wardfs)" \
        refusal_logged

    # Every test program of each build against its wardfs: the package's for the build the
    # package came from, the build's own for the libfuse 3 build.
    suites wardfs "$payload/tests" /usr/bin/wardfs /usr/bin/wardfs-record-names
    [ -d "$payload/fuse3" ] &&
        suites wardfs3 "$payload/fuse3/tests" "$payload/fuse3/wardfs" \
            "$payload/fuse3/wardfs-record-names"
    ;;
initramfs-var)
    check initramfs-var "the initrd made the initramfs /var marker" test -e /run/vaskelcheck-initramfs-made-marker
    check initramfs-var "the generator removed the marker" test ! -e /run/vaskel/initramfs-mount-var
    check initramfs-var "no boot marker" test ! -e /run/vaskel-booted
    check initramfs-var "libvaskel's generator was not called" test ! -e /run/vaskelcheck-generator-record
    ;;
*)
    say "FAILED: stage: unknown stage '$stage'"
    ;;
esac
sync
