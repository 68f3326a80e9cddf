#!/usr/bin/env bash
# Installs the current build into a temporary prefix and checks the result as a user would meet
# it: every file in its place, the installed statsdump answering with its help text, the man
# pages rendering without warnings, the bash completion loading, and the library with its
# headers linking into a C program that drives the charts store.
#
# Usage: install_check.sh BUILD_DIR SOURCE_DIR [EXTRA_C_FLAGS]
# EXTRA_C_FLAGS is added to the C compiler's command line (for example the sanitizer flags the
# library was built with).
set -u

build=${1:?build directory}
src=${2:?source directory}
extra_cflags=${3:-}

prefix=$(mktemp -d "${TMPDIR:-/tmp}/zelinstall.XXXXXX")
trap 'rm -rf "$prefix"' EXIT

passed=0
failed=0
ok() {
    passed=$((passed + 1))
    echo "ok: $1"
}
fail() {
    failed=$((failed + 1))
    echo "FAILED: $1"
}
check() { # check DESCRIPTION COMMAND...
    local what=$1
    shift
    if "$@"; then ok "$what"; else fail "$what"; fi
}

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
for h in charts.h statsdump.h datapack.h zellog.h strerr.h crc.h; do
    check "include/zelcommon/$h" test -f "$prefix/include/zelcommon/$h"
done
check "no private header installed" test ! -e "$prefix/include/zelcommon/charts_priv.h"
for m in statsdump.1 statsgen.1; do
    check "share/man/man1/$m" test -f "$prefix/share/man/man1/$m"
done
completion="$prefix/share/bash-completion/completions/statsdump"
check "bash completion installed" test -f "$completion"

# The installed statsdump without arguments: the help text on standard error, exit status 0.
"$prefix/bin/statsdump" >"$prefix/out" 2>"$prefix/err"
status=$?
check "statsdump without arguments exits with 0" test "$status" -eq 0
check "statsdump without arguments prints nothing on standard output" test ! -s "$prefix/out"
check "statsdump without arguments prints the help text" \
    grep -qF "usage: $prefix/bin/statsdump -f fields" "$prefix/err"
check "the help text lists the last field" grep -q "hddcnt,\$" "$prefix/err"

# statsgen -h explains its options on standard output.
"$prefix/bin/statsgen" -h >"$prefix/out" 2>&1
# shellcheck disable=SC2016 # the inner script expands its own arguments
check "statsgen -h explains -o, -e, -d and -s" \
    bash -c 'for o in -o -e -d -s; do grep -q -- "$o - " "$1" || exit 1; done' _ "$prefix/out"

# The man pages render without warnings.
if command -v man >/dev/null 2>&1; then
    for m in statsdump statsgen; do
        page="$prefix/share/man/man1/$m.1"
        MANWIDTH=80 man --warnings -l "$page" >"$prefix/man.out" 2>"$prefix/man.err"
        check "man -l $m.1 succeeds" test $? -eq 0
        check "man -l $m.1 gives no warnings" test ! -s "$prefix/man.err"
        check "man -l $m.1 renders its NAME section" grep -q "^NAME" "$prefix/man.out"
    done
    cat "$prefix/man.err"
else
    echo "skipped: man is not installed"
fi

# The completion loads and completes the ranges after -r.
# shellcheck disable=SC2016 # the inner script expands its own arguments
check "the completion completes ranges" bash -c '
    source "$1" || exit 1
    COMP_WORDS=(statsdump -r ""); COMP_CWORD=2; _statsdump
    [ "${COMPREPLY[*]}" = "0 1 2 3" ]' _ "$completion"

# A C program links the store from the installed headers and library.
cc_bin=${CC:-cc}
if command -v "$cc_bin" >/dev/null 2>&1; then
    # shellcheck disable=SC2086 # extra_cflags holds several words on purpose
    if "$cc_bin" -std=c11 -Wall -Wextra -Werror $extra_cflags \
        -I"$prefix/include/zelcommon" "$src/tests/c_link/store_from_c.c" \
        "$libdir/libzelcommon.a" -lz -lstdc++ -lm -o "$prefix/store_from_c" \
        >"$prefix/cc.log" 2>&1; then
        ok "store_from_c.c compiles and links against the installed library"
        mkdir -p "$prefix/work"
        check "store_from_c drives the store from C" "$prefix/store_from_c" "$prefix/work"
    else
        cat "$prefix/cc.log"
        fail "store_from_c.c compiles and links against the installed library"
    fi
else
    echo "skipped: no C compiler ($cc_bin)"
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
