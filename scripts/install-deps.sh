#!/bin/sh
# Installs the build and test dependencies that are missing, and only those.
set -eu

packages="cmake ninja-build g++ pkg-config libfuse-dev libglib2.0-dev fuse libgtest-dev
util-linux attr xfsprogs scdoc man-db libcap2-bin patch"
[ "$#" -gt 0 ] && packages="$packages $*"

# A package counts as installed for this machine's own architecture (or for all); an armhf
# copy of a library beside it does not stand in for the native one.
native=$(dpkg --print-architecture)
missing=""
for p in $packages; do
    case "$p" in
    *:*) want="${p#*:}" name="${p%%:*}" ;;
    *) want="$native" name="$p" ;;
    esac
    if ! dpkg-query -W -f='${db:Status-Status} ${Architecture}\n' "$name" 2>/dev/null |
        grep -Eq "^installed ($want|all)\$"; then
        missing="$missing $p"
    fi
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: missing packages:$missing (run as root to install them)" >&2
    exit 1
fi
echo "install-deps: installing$missing"
export DEBIAN_FRONTEND=noninteractive
# Packages of another architecture (name:arch) need that architecture known to dpkg.
for p in $missing; do
    case "$p" in
    *:*)
        arch="${p#*:}"
        if [ "$arch" != "$native" ] && ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
            dpkg --add-architecture "$arch"
        fi
        ;;
    esac
done
apt-get -o DPkg::Lock::Timeout=300 update -q
# shellcheck disable=SC2086
apt-get -o DPkg::Lock::Timeout=300 install -y -q --no-install-recommends $missing
