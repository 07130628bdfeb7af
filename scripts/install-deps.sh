#!/bin/sh
# Installs the build and test dependencies that are missing, and only those.
set -eu

packages="cmake ninja-build g++ pkg-config libfuse-dev libglib2.0-dev fuse libgtest-dev
util-linux attr acl xfsprogs scdoc man-db libcap2-bin patch"
[ "$#" -gt 0 ] && packages="$packages $*"

# A package counts as installed for this machine's own architecture (or for all).
native=$(dpkg --print-architecture)
missing=""
for p in $packages; do
    if ! dpkg-query -W -f='${db:Status-Status} ${Architecture}\n' "$p" 2>/dev/null |
        grep -Eq "^installed ($native|all)\$"; then
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
# A mirror caught mid-sync fails an index now and then: try the update three times, and if
# an index still fails, go on with the lists there are. Only a failed install is fatal,
# and apt's own message says why.
for try in 1 2 3; do
    apt-get -o DPkg::Lock::Timeout=300 update -q && break
    [ "$try" -lt 3 ] || {
        echo "install-deps: apt-get update failed three times; installing from the lists there are" >&2
        break
    }
    sleep 10
done
# shellcheck disable=SC2086
apt-get -o DPkg::Lock::Timeout=300 install -y -q --no-install-recommends $missing
