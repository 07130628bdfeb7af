#!/bin/sh
# Makes a target tree for cross builds: the -dev packages of one Debian architecture,
# extracted from bookworm main into DIR with mmdebstrap, without touching the host's dpkg.
# The shared-library information of those packages (their shlibs and symbols files) is
# gathered in DIR/DEBIAN, where dpkg-shlibdeps looks for a library found in the tree, so
# packages built against the tree get dependencies for its architecture.
# The tree is made again only when its architecture or package list changes.
#   target-tree.sh ARCH DIR PACKAGE...
set -eu

[ "$#" -ge 3 ] || {
    echo "usage: target-tree.sh ARCH DIR PACKAGE..." >&2
    exit 2
}
arch=$1 dir=$2
shift 2
packages=$(printf '%s\n' "$@" | sort -u | tr '\n' ',' | sed 's/,$//')
stamp="$dir.packages"
want="$arch $packages shlibs"

if [ -d "$dir" ] && [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ]; then
    exit 0
fi

mirror=$("$(dirname "$0")/debian-mirror.sh")

echo "target-tree: making $dir ($arch, from $mirror): $packages"
rm -rf "$dir" "$stamp" "$dir.new"
mkdir -p "$(dirname "$dir")"
mmdebstrap --quiet --variant=extract --arch="$arch" --include="$packages" \
    --skip=cleanup/apt/cache bookworm "$dir.new" "deb $mirror bookworm main"

mkdir "$dir.new/DEBIAN"
for deb in "$dir.new"/var/cache/apt/archives/*.deb; do
    for file in shlibs symbols; do
        dpkg-deb --ctrl-tarfile "$deb" | tar -xO "./$file" 2>/dev/null >>"$dir.new/DEBIAN/$file" || true
    done
done
rm -f "$dir.new"/var/cache/apt/archives/*.deb

# Absolute links (libz.so -> /lib/...) would point into the host once the tree is a
# sysroot; make each one relative to its own place in the tree.
find "$dir.new" -type l -lname '/*' | while read -r link; do
    target=$(readlink "$link")
    rel=$(realpath -sm --relative-to="$(dirname "$link")" "$dir.new$target")
    ln -sfn "$rel" "$link"
done

mv "$dir.new" "$dir"
echo "$want" >"$stamp"
