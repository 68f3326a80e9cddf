#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs the current build into a temporary prefix and checks the result as a user would meet
# it: every file in its place, the installed statsdump answering with its help text, the man
# pages rendering without warnings, the bash completion loading, and the library with its
# headers linking into a C program that drives the charts store, built the three ways a user
# would: pkg-config with the shared library, pkg-config --static, and CMake's find_package.
#
# Usage: install_check.sh BUILD_DIR SOURCE_DIR [EXTRA_C_FLAGS]
# EXTRA_C_FLAGS is added to the C compiler's command line (for example the sanitizer flags the
# library was built with).
# shellcheck disable=SC2016 # the bash -c scripts below expand their own arguments
set -u

build=${1:?build directory}
src=${2:?source directory}
extra_cflags=${3:-}

prefix=$(mktemp -d "${TMPDIR:-/tmp}/zelinstall.XXXXXX")
trap 'rm -rf "$prefix"' EXIT

. "$(dirname "${BASH_SOURCE[0]}")/checks.sh"

if ! cmake --install "$build" --prefix "$prefix" >"$prefix/install.log" 2>&1; then
    cat "$prefix/install.log"
    echo "FAILED: cmake --install"
    exit 1
fi
ok "cmake --install into $prefix"

# Files in their places.
libdir=""
for d in lib lib64 lib/*-linux-gnu; do
    [ -f "$prefix/$d/libzelcommon.a" ] && libdir="$prefix/$d" && break
done
check "bin/statsdump is executable" test -x "$prefix/bin/statsdump"
check "bin/statsgen is executable" test -x "$prefix/bin/statsgen"
check "libzelcommon.a installed" test -n "$libdir"
check "libzelcommon.so.1.0.0 installed, not executable" \
    bash -c 'test -f "$1" && test ! -x "$1"' _ "$libdir/libzelcommon.so.1.0.0"
check "libzelcommon.so.1 -> libzelcommon.so.1.0.0" \
    test "$(readlink "$libdir/libzelcommon.so.1")" = libzelcommon.so.1.0.0
check "libzelcommon.so -> libzelcommon.so.1" \
    test "$(readlink "$libdir/libzelcommon.so")" = libzelcommon.so.1
check "the shared library's SONAME is libzelcommon.so.1" \
    bash -c 'readelf -d "$1" | grep -q "SONAME.*\[libzelcommon.so.1\]"' _ "$libdir/libzelcommon.so.1"
for h in charts.h statsdump.h datapack.h zellog.h strerr.h crc.h zelcommon_export.h; do
    check "include/zelcommon/$h" test -f "$prefix/include/zelcommon/$h"
done
check "no private header installed" test ! -e "$prefix/include/zelcommon/charts_priv.h"
check "pkg-config file installed" test -f "$libdir/pkgconfig/zelcommon.pc"
for f in zelcommonConfig.cmake zelcommonConfigVersion.cmake zelcommonTargets.cmake; do
    check "CMake package file $f" test -f "$libdir/cmake/zelcommon/$f"
done
# Every program has its man page and its bash completion, whether or not statsweb was built.
programs=(statsdump statsgen statsweb statsweb-backfill)
for m in "${programs[@]}"; do
    check "share/man/man1/$m.1.gz" test -f "$prefix/share/man/man1/$m.1.gz"
done
check "the licence installed" grep -q "Apache License" "$prefix/share/doc/zelstats/LICENSE"
completion="$prefix/share/bash-completion/completions/statsdump"
for prog in "${programs[@]}"; do
    check "bash completion of $prog loads and completes $prog" \
        bash -c 'source "$1" && complete -p "$2" >/dev/null' _ \
        "$prefix/share/bash-completion/completions/$prog" "$prog"
done
check "the README installed" test -f "$prefix/share/doc/zelstats/README.md"
# The programs load the library installed beside them, found through their rpath.
for prog in statsdump statsgen; do
    check "the installed $prog loads the installed libzelcommon.so.1" \
        bash -c 'found=$(env -u LD_LIBRARY_PATH ldd "$1" |
                         sed -n "s/.*libzelcommon\.so\.1 => \(.*\) (.*/\1/p")
                 [ -n "$found" ] && [ "$(realpath "$found")" = "$(realpath "$2")" ]' _ \
        "$prefix/bin/$prog" "$libdir/libzelcommon.so.1"
done
needed() { readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' '; }
# Loading the C++ runtime would cost a short run of the command more than its work.
check "statsdump and libzelcommon.so.1 need no C++ runtime" \
    bash -c '[[ "$1 $2" != *libstdc++* ]]' _ "$(needed "$prefix/bin/statsdump")" \
    "$(needed "$libdir/libzelcommon.so.1")"

# The installed statsdump without arguments: the help text on standard error, exit status 2 (no field given).
"$prefix/bin/statsdump" >"$prefix/out" 2>"$prefix/err"
status=$?
check "statsdump without arguments exits with 2" test "$status" -eq 2
check "statsdump without arguments prints nothing on standard output" test ! -s "$prefix/out"
check "statsdump without arguments prints the help text" \
    grep -qF "usage: $prefix/bin/statsdump -f fields" "$prefix/err"
check "the help text lists the last field" grep -q "hddcnt,\$" "$prefix/err"

# statsgen -h explains its options on standard output.
"$prefix/bin/statsgen" -h >"$prefix/out" 2>&1
check "statsgen -h explains -o, -e, -d and -s" \
    bash -c 'for o in -o -e -d -s; do grep -q -- "$o - " "$1" || exit 1; done' _ "$prefix/out"

# The man pages render without warnings.
if command -v man >/dev/null 2>&1; then
    for m in "${programs[@]}"; do
        page="$prefix/share/man/man1/$m.1.gz"
        MANWIDTH=80 man --warnings -l "$page" >"$prefix/man.out" 2>"$prefix/man.err"
        check "man -l $m.1.gz succeeds" test $? -eq 0
        check "man -l $m.1.gz gives no warnings" test ! -s "$prefix/man.err"
        check "man -l $m.1.gz renders its NAME section" grep -q "^NAME" "$prefix/man.out"
    done
    cat "$prefix/man.err"
else
    echo "skipped: man is not installed"
fi

# The completion loads and completes the ranges after -r.
check "the completion completes ranges" bash -c '
    source "$1" || exit 1
    COMP_WORDS=(statsdump -r ""); COMP_CWORD=2; _statsdump
    [ "${COMPREPLY[*]}" = "0 1 2 3" ]' _ "$completion"

# A C program links the store from the installed headers and library, built three ways; each
# build runs a store cycle. build_and_run DESCRIPTION BINARY COMPILE_COMMAND...
build_and_run() {
    local what=$1 bin=$2
    shift 2
    if "$@" >"$prefix/cc.log" 2>&1; then
        ok "$what: builds"
        rm -rf "$prefix/work" && mkdir -p "$prefix/work"
        check "$what: drives the store from C" env LD_LIBRARY_PATH="$libdir" "$bin" "$prefix/work"
    else
        cat "$prefix/cc.log"
        fail "$what: builds"
    fi
}
cc_bin=${CC:-cc}
client="$src/tests/c_link/store_from_c.c"
if ! command -v "$cc_bin" >/dev/null 2>&1; then
    echo "skipped: no C compiler ($cc_bin)"
elif ! command -v pkg-config >/dev/null 2>&1; then
    fail "pkg-config is not installed"
else
    export PKG_CONFIG_PATH="$libdir/pkgconfig"
    cflags="-std=c11 -Wall -Wextra -Werror $extra_cflags"
    # shellcheck disable=SC2046,SC2086 # the flags are lists of words on purpose
    build_and_run "pkg-config, shared library" "$prefix/store_shared" \
        "$cc_bin" $cflags $(pkg-config --cflags zelcommon) "$client" \
        $(pkg-config --libs zelcommon) -o "$prefix/store_shared"
    if [ -x "$prefix/store_shared" ]; then
        deps=$(needed "$prefix/store_shared")
        check "the shared client needs libzelcommon.so.1 and neither zlib nor the C++ runtime" \
            bash -c '[[ " $1" == *" libzelcommon.so.1 "* && "$1" != *libz.so* &&
                       "$1" != *libstdc++* ]]' _ "$deps"
    fi

    # A program's own function of a name the library exports does not replace the library's:
    # zel_log still names the error with the library's strerr.
    printf '%s\n' '#include <errno.h>' '#include "zellog.h"' \
        'const char *strerr(int e) { (void)e; return "the program'"'"'s strerr"; }' \
        'int main(void) { errno = ENOENT; zel_log(ZEL_LOGMODE_ERRNO | ZEL_LOGMODE_STDERR,' \
        '    ZEL_LOG_WARNING, "probe"); return 0; }' >"$prefix/own_strerr.c"
    # shellcheck disable=SC2046,SC2086
    if "$cc_bin" $cflags $(pkg-config --cflags zelcommon) "$prefix/own_strerr.c" \
        $(pkg-config --libs zelcommon) -o "$prefix/own_strerr" >"$prefix/cc.log" 2>&1; then
        LD_LIBRARY_PATH="$libdir" "$prefix/own_strerr" 2>"$prefix/own_strerr.err"
        check "the library's calls of its own functions stay inside it" \
            grep -q "probe: ENOENT" "$prefix/own_strerr.err"
    else
        cat "$prefix/cc.log"
        fail "own_strerr.c builds"
    fi

    # A static program: fully static, except under the sanitizers, whose runtimes exist only
    # as shared libraries; there the library alone is taken from its archive.
    # shellcheck disable=SC2046,SC2086
    if [ -z "$extra_cflags" ]; then
        build_and_run "pkg-config --static" "$prefix/store_static" \
            "$cc_bin" $cflags $(pkg-config --cflags zelcommon) "$client" -static \
            $(pkg-config --static --libs zelcommon) -o "$prefix/store_static"
    else
        build_and_run "pkg-config --static" "$prefix/store_static" \
            "$cc_bin" $cflags $(pkg-config --cflags zelcommon) "$client" \
            $(pkg-config --static --libs zelcommon | sed 's/-lzelcommon/-l:libzelcommon.a/') \
            -o "$prefix/store_static"
    fi
    if [ -x "$prefix/store_static" ]; then
        check "the static client does not need libzelcommon.so.1" \
            bash -c '[[ "$1" != *libzelcommon* ]]' _ "$(needed "$prefix/store_static")"
    fi

    # CMake's find_package: the shared and the static target, and a refused major version.
    cm="$prefix/cmake-client"
    # shellcheck disable=SC2086
    if cmake -S "$src/tests/c_link" -B "$cm" -DCMAKE_PREFIX_PATH="$prefix" \
        -DCMAKE_C_FLAGS="$extra_cflags" -DCMAKE_EXE_LINKER_FLAGS="$extra_cflags" \
        -DCMAKE_BUILD_RPATH="$libdir" >"$prefix/cmake.log" 2>&1 &&
        cmake --build "$cm" >>"$prefix/cmake.log" 2>&1; then
        ok "find_package(zelcommon 1.0): the client builds"
        for t in store_shared store_static; do
            rm -rf "$prefix/work" && mkdir -p "$prefix/work"
            check "find_package(zelcommon 1.0): $t drives the store from C" \
                "$cm/$t" "$prefix/work"
        done
        check "zelcommon::zelcommon is the shared library" \
            bash -c '[[ "$1" == *libzelcommon.so.1* ]]' _ "$(needed "$cm/store_shared")"
        check "zelcommon::zelcommon_static is the static library" \
            bash -c '[[ "$1" != *libzelcommon* ]]' _ "$(needed "$cm/store_static")"
    else
        cat "$prefix/cmake.log"
        fail "find_package(zelcommon 1.0): the client builds"
    fi
    check "find_package(zelcommon 2.0) is refused" bash -c '! cmake -S "$1" -B "$2" \
        -DCMAKE_PREFIX_PATH="$3" -DZEL_WANT_VERSION=2.0 >/dev/null 2>&1' _ \
        "$src/tests/c_link" "$prefix/cmake-client2" "$prefix"
fi

finish
