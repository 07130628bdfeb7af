#!/bin/sh
# Builds the libfuse 3 that Debian's newest suite carries, from its fuse3 source package, into
# DIR/prefix, with io_uring support. apt runs on a configuration of its own in DIR (its own
# sources list, lists and cache), so the system's apt sources stay as they are. The build is
# made again only when the package version changes; without a network the last build stays.
#   libfuse-latest.sh DIR [SUITE]
set -eu

[ "$#" -ge 1 ] || {
    echo "usage: libfuse-latest.sh DIR [SUITE]" >&2
    exit 2
}
dir=$(mkdir -p "$1" && cd "$1" && pwd)
suite=${2:-sid}
prefix="$dir/prefix"
stamp="$prefix/.version"

mirror=$("$(dirname "$0")/debian-mirror.sh")

apt="$dir/apt"
mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$dir/source"
echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $suite main" \
    >"$apt/sources.list"
apt_private() {
    "$@" -o Dir::Etc::SourceList="$apt/sources.list" -o Dir::Etc::SourceParts=/dev/null \
        -o Dir::State::Lists="$apt/lists" -o Dir::Cache="$apt/cache" \
        -o APT::Sandbox::User=root -q
}

if ! apt_private apt-get update >/dev/null; then
    if [ -f "$stamp" ]; then
        echo "libfuse-latest: apt-get update failed; keeping libfuse $(cat "$stamp")" >&2
        exit 0
    fi
    echo "libfuse-latest: apt-get update failed and there is no earlier build" >&2
    exit 1
fi
version=$(apt_private apt-cache showsrc fuse3 | awk '/^Version:/ { print $2 }' | sort -V | tail -n 1)
[ -n "$version" ] || {
    echo "libfuse-latest: $suite has no fuse3 source package" >&2
    exit 1
}
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$version" ]; then
    exit 0
fi

echo "libfuse-latest: building fuse3 $version from $suite into $prefix"
rm -rf "$dir/source" "$dir/meson" "$prefix"
mkdir -p "$dir/source"
(cd "$dir/source" && apt_private apt-get source "fuse3=$version" >/dev/null)
src=$(find "$dir/source" -mindepth 1 -maxdepth 1 -type d -name 'fuse3-*' | head -n 1)
[ -n "$src" ] || {
    echo "libfuse-latest: apt-get source unpacked no fuse3 directory" >&2
    exit 1
}
# Only the library: the examples, tests and fusermount3 (which would want to be set-user-ID)
# are not needed, since the mount tests run as root.
meson setup "$dir/meson" "$src" --prefix="$prefix" --libdir=lib --buildtype=release \
    -Dexamples=false -Dutils=false -Dtests=false -Denable-io-uring=true >"$dir/meson.log"
grep -q "liburing linking and SQE128 support.*YES" "$dir/meson/meson-logs/meson-log.txt" || {
    echo "libfuse-latest: meson found no usable liburing; see $dir/meson.log" >&2
    exit 1
}
ninja -C "$dir/meson" install >>"$dir/meson.log"
echo "$version" >"$stamp"
