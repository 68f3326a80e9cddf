#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the source package and the Debian packages from the release tarball
# (packaging/build-packages.sh, the test suites running in the build) and checks them as a
# reviewer and their users meet them: lintian's verdict on the source package and on the
# source+binary .changes (no errors, no warnings), reuse lint on the tree, the files of each
# package, the dependencies between them, the programs on libzelcommon.so.1 (readelf) and every
# exported symbol in its version node (objdump -T); unpacked into a temporary root, the programs
# and the library at work: the unpacked statsdump prints the same tables as the build tree's,
# and a C program builds against libzelcommon-dev through pkg-config and through CMake in the
# multiarch folders and runs a store cycle; last, the autopkgtest suite of debian/tests with
# its null runner over the built packages, installed on this machine (as root; they are purged
# again when they were not installed before).
#
# Usage: package_check.sh SOURCE_DIR BUILD_DIR [--reproducible]
# --reproducible (or ZEL_REPRODUCIBLE=1 in the environment) builds the packages a second time,
# in the same way, and compares every file of both builds (the tarball, the source package, the
# .debs) byte for byte.
# Exit status 77 (skipped, with the reason) when a tool or a build dependency is missing.
set -u

src=$(cd "${1:?source directory}" && pwd)
build=$(cd "${2:?build directory}" && pwd)
reproducible=${3:-}
[ "${ZEL_REPRODUCIBLE:-}" = 1 ] && reproducible=--reproducible

for tool in dpkg-buildpackage dpkg-deb dh lintian pkg-config cmake cc readelf objdump; do
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
# Open to others: run as root, the package build's permission tests run the programs as nobody,
# who must reach the build tree's libzelcommon.so.1.
chmod 755 "$tmp"
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

changes=$tmp/out/zelstats_${version}_$arch.changes
dsc=$tmp/out/zelstats_$version.dsc
orig=$tmp/out/zelstats_${version%-*}.orig.tar.xz
check "source package built from the release tarball" test -f "$dsc" -a -f "$orig"
check "the .changes holds the source package and the binaries" \
    bash -c 'grep -q "^Architecture: source $2" "$1"' _ "$changes" "$arch"
check "the tarball carries uPlot's readable source, no minified script" bash -c '
    list=$(tar -tJf "$1"); grep -q "/third_party/uplot/uPlot.iife.js$" <<<"$list" &&
    ! grep -q "\.min\.js$" <<<"$list"' _ "$orig"

# lintian over the source package and the .changes, which names every package and the source.
for what in "$dsc" "$changes"; do
    lintian --fail-on error,warning "$what" >"$tmp/lintian" 2>&1
    status=$?
    grep -v 'running with root privileges' "$tmp/lintian"
    check "lintian $(basename "$what"): no errors, no warnings" test "$status" -eq 0
done

# The tree's copyright and licence statements (REUSE), where the reuse tool is installed.
if command -v reuse >/dev/null 2>&1; then
    (cd "$src" && reuse lint) >"$tmp/reuse" 2>&1
    status=$?
    check "reuse lint" bash -c '[ "$1" -eq 0 ] && ! grep -q ERROR "$2"' _ "$status" "$tmp/reuse"
    [ "$status" -eq 0 ] || cat "$tmp/reuse"
else
    echo "skipped: reuse lint (the reuse tool is not installed: tools/install-deps.sh package)"
fi

root=$tmp/root
# Where each file lives: package, then the paths it must hold. The unit is in systemd's folder;
# each program has its man page and bash completion; the Prometheus kit stays uncompressed
# (examples are left as they are, its large files included).
programs=(statsdump statsgen statsweb statsweb-backfill)
L=/usr/lib/$ma
unitdir=$(pkg-config --variable=systemdsystemunitdir systemd 2>/dev/null || echo /lib/systemd/system)
files=(
    "libzelcommon1 $L/libzelcommon.so.1.0.0 $L/libzelcommon.so.1"
    "libzelcommon-dev $L/libzelcommon.so $L/libzelcommon.a $L/pkgconfig/zelcommon.pc
     $L/cmake/zelcommon/zelcommonConfig.cmake $L/cmake/zelcommon/zelcommonTargets.cmake
     /usr/include/zelcommon/charts.h /usr/include/zelcommon/zelcommon_export.h"
    "zelstats $(for p in "${programs[@]}"; do
        echo "/usr/bin/$p /usr/share/man/man1/$p.1.gz /usr/share/bash-completion/completions/$p"
     done) $unitdir/statsweb.service
     /usr/share/doc/zelstats/copyright /usr/share/doc/zelstats/README.md.gz
     /usr/share/doc/zelstats/examples/prometheus/README.md
     /usr/share/doc/zelstats/examples/prometheus/prometheus.yml
     /usr/share/doc/zelstats/examples/prometheus/zelstats.rules.yml
     /usr/share/doc/zelstats/examples/prometheus/zelstats-dashboard.json"
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
check "the installed unit starts the installed statsweb" \
    grep -qx 'ExecStart=/usr/bin/statsweb .*' "$root$unitdir/statsweb.service"
check "libzelcommon1 holds nothing of the -dev package" \
    bash -c '! grep -E "\.a$|\.so$|/include/|pkgconfig|cmake" "$1"' _ "$tmp/libzelcommon1.files"
check "libzelcommon1 has a symbols file" \
    bash -c 'dpkg-deb --ctrl-tarfile "$1" | tar -t | grep -qx "./symbols"' _ "$(deb libzelcommon1)"

# The programs load libzelcommon.so.1 from the system's folders (no search path of their own:
# an empty entry in one would mean the working directory) and carry none of its code; the
# library exports every symbol in its version node.
for prog in statsdump statsgen statsweb; do
    bin=$root/usr/bin/$prog
    check "$prog needs libzelcommon.so.1" \
        bash -c 'readelf -d "$1" | grep -q "(NEEDED).*\[libzelcommon.so.1\]"' _ "$bin"
    check "$prog has no RUNPATH or RPATH" bash -c '! readelf -d "$1" | grep -q "R.*PATH"' _ "$bin"
    check "$prog defines no charts_ symbol" \
        bash -c '! readelf -W --syms "$1" | awk "\$7 != \"UND\"" | grep -q " charts_"' _ "$bin"
done
objdump -T "$root$L/libzelcommon.so.1" | awk '$2 == "g" && $4 != "*UND*"' >"$tmp/exports"
check "libzelcommon.so.1 exports $(wc -l <"$tmp/exports") symbols, each in ZELCOMMON_1" \
    bash -c '[ -s "$1" ] && ! awk "\$(NF-1) != \"ZELCOMMON_1\"" "$1" | grep -q .' _ "$tmp/exports"
check "the symbols file names the version node of each symbol" bash -c '
    dpkg-deb --ctrl-tarfile "$1" | tar -xOf - ./symbols | grep "^ " |
        grep -qv "@ZELCOMMON_1 " && exit 1 || exit 0' _ "$(deb libzelcommon1)"

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

# The autopkgtest suite with the null runner: the built packages installed on this machine,
# the tests run from the source package. Packages that were not installed before are purged.
if command -v autopkgtest >/dev/null 2>&1 && [ "$(id -u)" -eq 0 ]; then
    before=$(dpkg-query -W -f='${Package} ${Status}\n' libzelcommon1 libzelcommon-dev zelstats \
        2>/dev/null | grep -c ' installed$' || true)
    # The tests see the installed library, not the unpacked one the checks above point at.
    env -u LD_LIBRARY_PATH autopkgtest "$tmp"/out/*.deb "$dsc" -- null >"$tmp/autopkgtest.log" 2>&1
    status=$?
    grep -E '^(c-client|programs) ' "$tmp/autopkgtest.log"
    # On failure, the tests' own output without apt's progress lines.
    [ "$status" -eq 0 ] ||
        grep -v -E '^(Get|N|Reading|Selecting|Preparing|Unpacking|Setting up)' \
            "$tmp/autopkgtest.log" | tail -n 150
    check "autopkgtest (null runner): c-client and programs pass" test "$status" -eq 0
    if [ "$before" -eq 0 ]; then
        dpkg --purge zelstats libzelcommon-dev libzelcommon1 >/dev/null 2>&1 || true
    fi
else
    echo "skipped: autopkgtest (not installed, or not root: it installs the packages)"
fi

# A second build of the same tree in another folder gives the same bytes: the tarball, the
# source package and every .deb.
if [ "$reproducible" = --reproducible ]; then
    if bash "$src/packaging/build-packages.sh" "$src" "$tmp/again" >/dev/null; then
        for d in "$orig" "$dsc" "$tmp/out/zelstats_$version.debian.tar.xz" "$tmp"/out/*.deb; do
            check "reproducible: $(basename "$d")" cmp "$d" "$tmp/again/$(basename "$d")"
        done
    else
        fail "reproducible: the second package build"
    fi
fi

finish
