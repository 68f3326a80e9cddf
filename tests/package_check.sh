#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the Debian packages from a copy of the source tree (packaging/build-packages.sh) and
# checks them as their users meet them: lintian's verdict on the packages and the .changes (no
# errors, no warnings), the files of each package, the dependencies between them, and, unpacked
# into a temporary root, the programs and the library at work: the unpacked statsdump prints the
# same tables as the build tree's, and a C program builds against libzelcommon-dev through
# pkg-config and through CMake in the multiarch folders and runs a store cycle.
#
# Usage: package_check.sh SOURCE_DIR BUILD_DIR [--reproducible]
# --reproducible builds the packages a second time and compares every .deb byte for byte.
# Exit status 77 (skipped, with the reason) when a tool or a build dependency is missing.
set -u

src=$(cd "${1:?source directory}" && pwd)
build=$(cd "${2:?build directory}" && pwd)
reproducible=${3:-}

for tool in dpkg-buildpackage dpkg-deb dh lintian pkg-config cmake cc; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "SKIPPED: $tool is not installed (tools/install-deps.sh package)"
        exit 77
    fi
done
if ! (cd "$src" && dpkg-checkbuilddeps) 2>/dev/null; then
    (cd "$src" && dpkg-checkbuilddeps)
    echo "SKIPPED: build dependencies of the packages are missing"
    exit 77
fi

tmp=$(mktemp -d "${TMPDIR:-/tmp}/zelpackage.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
. "$src/tests/checks.sh"

if ! bash "$src/packaging/build-packages.sh" "$src" "$tmp/out" >/dev/null; then
    echo "FAILED: the package build"
    exit 1
fi
version=$(cd "$src" && dpkg-parsechangelog -S Version)
arch=$(dpkg-architecture -q DEB_HOST_ARCH)
ma=$(dpkg-architecture -q DEB_HOST_MULTIARCH)
deb() { echo "$tmp/out/${1}_${version}_$arch.deb"; }
for p in libzelcommon1 libzelcommon-dev zelstats; do
    check "package $p built" test -f "$(deb $p)"
done

# lintian over the .changes, which names every package.
lintian --fail-on error,warning "$tmp/out/zelstats_${version}_$arch.changes" >"$tmp/lintian" 2>&1
status=$?
grep -v 'running with root privileges' "$tmp/lintian"
check "lintian: no errors, no warnings" test "$status" -eq 0

# Where each file lives: package, then the paths it must hold.
L=/usr/lib/$ma
files=(
    "libzelcommon1 $L/libzelcommon.so.1.0.0 $L/libzelcommon.so.1"
    "libzelcommon-dev $L/libzelcommon.so $L/libzelcommon.a $L/pkgconfig/zelcommon.pc
     $L/cmake/zelcommon/zelcommonConfig.cmake $L/cmake/zelcommon/zelcommonTargets.cmake
     /usr/include/zelcommon/charts.h /usr/include/zelcommon/zelcommon_export.h"
    "zelstats /usr/bin/statsdump /usr/bin/statsgen /usr/bin/statsweb
     /usr/share/man/man1/statsdump.1.gz /usr/share/man/man1/statsweb.1.gz
     /usr/share/bash-completion/completions/statsdump /lib/systemd/system/statsweb.service
     /usr/share/doc/zelstats/copyright /usr/share/doc/zelstats/prometheus/prometheus.yml
     /usr/share/doc/zelstats/prometheus/zelstats.rules.yml"
)
for entry in "${files[@]}"; do
    # shellcheck disable=SC2086 # the entry's lines as one line of words
    read -r -a words <<<"$(echo $entry)"
    p=${words[0]}
    dpkg-deb -c "$(deb "$p")" | awk '{ print $6 }' | sed 's|^\.||' >"$tmp/$p.files"
    for f in "${words[@]:1}"; do
        check "$p holds $f" grep -qxF "$f" "$tmp/$p.files"
    done
    dpkg-deb -x "$(deb "$p")" "$tmp/root"
done
check "libzelcommon1 holds nothing of the -dev package" \
    bash -c '! grep -E "\.a$|\.so$|/include/|pkgconfig|cmake" "$1"' _ "$tmp/libzelcommon1.files"
check "libzelcommon1 has a symbols file" \
    bash -c 'dpkg-deb --ctrl-tarfile "$1" | tar -t | grep -qx "./symbols"' _ "$(deb libzelcommon1)"

# Dependencies.
dep_check() { # dep_check PACKAGE PATTERN: Depends of PACKAGE matches the extended regex PATTERN
    local depends
    depends=$(dpkg-deb -f "$(deb "$1")" Depends)
    if [[ "$depends" =~ $2 ]]; then ok "$1 depends on ${BASH_REMATCH[0]}"; else fail "$1 Depends matches $2: $depends"; fi
}
dep_check zelstats "libzelcommon1 \([<>=]+ [^)]+\)"
dep_check libzelcommon-dev "libzelcommon1 \(= ${version//./\\.}\)"
dep_check libzelcommon1 "zlib1g \([^)]+\)"

# The unpacked statsdump prints the build tree's tables, in every range and both time columns.
root=$tmp/root
export TZ=UTC LD_LIBRARY_PATH=$root$L
"$build/statsgen" -o "$tmp/demo.zel" -d 30 >/dev/null
same=0
for r in 0 1 2 3; do
    for flags in "" -d -H -h; do
        "$root/usr/bin/statsdump" -i "$tmp/demo.zel" -f '*' -r "$r" $flags >"$tmp/pkg.txt" 2>&1
        "$build/statsdump" -i "$tmp/demo.zel" -f '*' -r "$r" $flags >"$tmp/build.txt" 2>&1
        if cmp -s "$tmp/pkg.txt" "$tmp/build.txt" && [ -s "$tmp/pkg.txt" ]; then
            same=$((same + 1))
        else
            fail "unpacked statsdump -r $r $flags prints the build tree's table"
        fi
    done
done
check "unpacked statsdump: all 16 tables equal the build tree's" test "$same" -eq 16
# One version: the package's upstream version is what every program says and the library is.
for prog in statsdump statsgen statsweb; do
    check "unpacked $prog --version names the package's version" \
        test "$("$root/usr/bin/$prog" --version)" = "$prog ${version%-*}"
done
check "the library carries the package's version" test -e "$root$L/libzelcommon.so.${version%-*}"

# A C program against libzelcommon-dev in the unpacked root: pkg-config in the multiarch folder
# (PKG_CONFIG_SYSROOT_DIR puts the root in front of the .pc file's /usr paths), and CMake.
client=$src/tests/c_link/store_from_c.c
run_cycle() { rm -rf "$tmp/work" && mkdir "$tmp/work" && "$1" "$tmp/work"; }
export PKG_CONFIG_PATH=$root$L/pkgconfig PKG_CONFIG_SYSROOT_DIR=$root
check "zelcommon.pc names the multiarch folder" \
    test "$(pkg-config --variable=libdir zelcommon)" = "$root$L"
# shellcheck disable=SC2046 # the flags are lists of words
if cc -std=c11 -Wall -Werror $(pkg-config --cflags zelcommon) "$client" \
    $(pkg-config --libs zelcommon) -o "$tmp/store_pc" >"$tmp/cc.log" 2>&1; then
    check "pkg-config: the client runs a store cycle" run_cycle "$tmp/store_pc"
    check "pkg-config: the client loads the unpacked libzelcommon.so.1" \
        bash -c 'ldd "$1" | grep -qF "libzelcommon.so.1 => $2"' _ "$tmp/store_pc" "$root$L/"
else
    cat "$tmp/cc.log"
    fail "pkg-config: the client builds"
fi
unset PKG_CONFIG_PATH PKG_CONFIG_SYSROOT_DIR
if cmake -S "$src/tests/c_link" -B "$tmp/cm" -DCMAKE_PREFIX_PATH="$root/usr" \
    >"$tmp/cmake.log" 2>&1 && cmake --build "$tmp/cm" >>"$tmp/cmake.log" 2>&1; then
    check "CMake finds zelcommon in the multiarch folder" \
        grep -qF "zelcommon_DIR:PATH=$root$L/cmake/zelcommon" "$tmp/cm/CMakeCache.txt"
    for t in store_shared store_static; do
        check "CMake: $t runs a store cycle" run_cycle "$tmp/cm/$t"
    done
else
    cat "$tmp/cmake.log"
    fail "CMake: the client builds"
fi

# A second build of the same tree gives the same bytes.
if [ "$reproducible" = --reproducible ]; then
    if bash "$src/packaging/build-packages.sh" "$src" "$tmp/again" >/dev/null; then
        for d in "$tmp"/out/*.deb; do
            check "reproducible: $(basename "$d")" cmp "$d" "$tmp/again/$(basename "$d")"
        done
    else
        fail "reproducible: the second package build"
    fi
fi

finish
