#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the Debian packages (dpkg-buildpackage -b -us -uc) from a copy of the source tree, so
# that the tree itself stays as it was, and leaves them with their .changes and .buildinfo in
# OUTDIR (dpkg-buildpackage writes into the parent of the tree it builds: OUTDIR/src).
#
# Usage: build-packages.sh SOURCE_DIR OUTDIR
set -euo pipefail

src=$(cd "${1:?source directory}" && pwd)
out=${2:?output directory}
mkdir -p "$out"
out=$(cd "$out" && pwd)
rm -rf "$out/src"
mkdir "$out/src"

# The files of the tree as git sees them (tracked, and new files not ignored), or the whole
# tree but its build folders outside a git checkout.
if git -C "$src" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    (cd "$src" && git ls-files -z -c -o --exclude-standard | xargs -0 -r tar -cf - --no-recursion) |
        tar -xf - -C "$out/src"
else
    tar -C "$src" --exclude='./build' --exclude='./build-*' --exclude='./obj-*' -cf - . |
        tar -xf - -C "$out/src"
fi

cd "$out/src"
if ! dpkg-buildpackage -b -us -uc >"$out/build.log" 2>&1; then
    tail -n 40 "$out/build.log"
    echo "dpkg-buildpackage failed (whole log: $out/build.log)" >&2
    exit 1
fi
cd "$out"
rm -rf "$out/src"
ls "$out"/*.changes
