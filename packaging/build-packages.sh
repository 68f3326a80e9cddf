#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the source package and the Debian packages as the archive would: the release tarball
# (packaging/dist.sh) into OUTDIR, unpacked there with debian/ beside it, then
# dpkg-buildpackage -us -uc -J, which makes the source package (.dsc, .debian.tar.xz) from the
# tarball and the binary packages from that tree, running the test suites unless
# DEB_BUILD_OPTIONS holds nocheck. OUTDIR keeps the tarball, the source package, the .debs, the
# source+binary .changes and the .buildinfo; the source tree itself stays as it was.
#
# Usage: build-packages.sh SOURCE_DIR OUTDIR
set -euo pipefail

src=$(cd "${1:?source directory}" && pwd)
out=${2:?output directory}
mkdir -p "$out"
out=$(cd "$out" && pwd)

tarball=$(bash "$src/packaging/dist.sh" "$src" "$out")
version=$(cd "$src" && dpkg-parsechangelog -S Version)
tree=$out/zelstats-${version%-*}
rm -rf "$tree"
mkdir "$tree"
tar -xJf "$tarball" -C "$tree" --strip-components=1

# debian/ as git tracks it (or the whole folder outside a git checkout).
if git -C "$src" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    (cd "$src" && git ls-files -z -c -- debian | xargs -0 -r tar -cf - --no-recursion) |
        tar -xf - -C "$tree"
else
    cp -a "$src/debian" "$tree/"
fi

cd "$tree"
# As many jobs as processors (JOBS=N otherwise): the packages do not depend on it.
if ! dpkg-buildpackage -us -uc -J"${JOBS:-$(nproc)}" >"$out/build.log" 2>&1; then
    # A failed check's own output comes right after its line in ctest's run, far above the end.
    awk '/\*\*\*(Failed|Timeout|Exception)/ {n = 80} n > 0 {print; n--}' "$out/build.log" |
        head -n 400 >&2
    tail -n 60 "$out/build.log" >&2
    echo "dpkg-buildpackage failed (whole log: $out/build.log)" >&2
    exit 1
fi
cd "$out"
rm -rf "$tree"
ls "$out"/*.changes
