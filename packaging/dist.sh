#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Writes the release tarball OUTDIR/zelstats_VERSION.orig.tar.xz from the files git tracks (in
# their working-tree state), debian/ left out: one folder zelstats-VERSION/, the files in name
# order, owner and group 0, modes 0644 or 0755, every time stamp the date of the newest
# debian/changelog entry, xz on one thread, so that the same files give the same bytes.
# VERSION is the upstream part of the changelog's version. Prints the tarball's path.
#
# Usage: dist.sh SOURCE_DIR OUTDIR
set -euo pipefail
export LC_ALL=C

src=$(cd "${1:?source directory}" && pwd)
out=${2:?output directory}
mkdir -p "$out"
out=$(cd "$out" && pwd)

cd "$src"
version=$(dpkg-parsechangelog -S Version)
version=${version%-*}
stamp=$(dpkg-parsechangelog -S Timestamp)
cmake_version=$(sed -n 's/^project(statsdump VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
if [ "$version" != "$cmake_version" ]; then
    echo "dist: debian/changelog says $version, CMakeLists.txt $cmake_version" >&2
    exit 1
fi
name=zelstats-$version
tarball=$out/zelstats_$version.orig.tar.xz

list=$(mktemp)
trap 'rm -f "$list"' EXIT
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git ls-files -z -c | tr '\0' '\n'
else
    find . -path ./.git -prune -o -path './build' -prune -o -path './build-*' -prune \
        -o \( -type f -o -type l \) -print | sed 's|^\./||'
fi | grep -v -e '^debian/' | while IFS= read -r f; do
    # A tracked file deleted in the working tree is left out.
    if [ -e "$f" ] || [ -L "$f" ]; then printf '%s\0' "$f"; fi
done >"$list"

tar --create --file=- --null --no-recursion --files-from="$list" --sort=name --format=gnu \
    --transform="s|^|$name/|" --owner=0 --group=0 --numeric-owner \
    --mode='u+rw,go=rX,a-s' --mtime="@$stamp" |
    xz -6 -T1 >"$tarball.tmp"
mv "$tarball.tmp" "$tarball"
echo "$tarball"
