#!/bin/sh
# Installs the build and test dependencies that are missing, and only those.
set -eu

packages="cmake ninja-build g++ pkg-config libfuse-dev libglib2.0-dev fuse libgtest-dev
util-linux attr xfsprogs"
[ "$#" -gt 0 ] && packages="$packages $*"

missing=""
for p in $packages; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
    [ "$status" = "installed" ] || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: missing packages:$missing (run as root to install them)" >&2
    exit 1
fi
echo "install-deps: installing$missing"
export DEBIAN_FRONTEND=noninteractive
apt-get -o DPkg::Lock::Timeout=300 update -q
# shellcheck disable=SC2086
apt-get -o DPkg::Lock::Timeout=300 install -y -q --no-install-recommends $missing
