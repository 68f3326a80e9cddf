#!/usr/bin/env bash
# The exported interface of libzelcommon.so.1 changes only on purpose: the dynamic symbols the
# library defines must equal the checked-in list, none of them may be a C++ name, and every
# function declared in the public headers must be among them (a declaration that lacks
# ZELCOMMON_API stays hidden and would be missed by a program linked against the library).
#
# Usage: abi_check.sh LIBRARY BASELINE [PUBLIC_HEADER...]   check
#        abi_check.sh LIBRARY BASELINE --update              rewrite BASELINE from LIBRARY
#                                                            (make abi-baseline)
set -u

lib=${1:?shared library}
baseline=${2:?baseline file}
shift 2

tmp=$(mktemp -d "${TMPDIR:-/tmp}/zelabi.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

if ! nm -D --defined-only "$lib" >"$tmp/nm" 2>"$tmp/nm.err"; then
    cat "$tmp/nm.err"
    echo "FAILED: nm -D $lib"
    exit 1
fi
# AddressSanitizer adds an ODR marker beside every exported variable; it is not interface.
awk 'NF >= 3 && $3 !~ /^__odr_asan/ { sub(/@.*/, "", $3); print $3 }' "$tmp/nm" |
    LC_ALL=C sort -u >"$tmp/exported"

if [ "${1:-}" = "--update" ]; then
    cp "$tmp/exported" "$baseline"
    echo "wrote $(wc -l <"$baseline") symbols to $baseline"
    exit 0
fi

failed=0
if grep '^_Z' "$tmp/exported" >"$tmp/cxx"; then
    echo "FAILED: C++ symbols exported:"
    cat "$tmp/cxx"
    failed=1
fi

if ! diff -u --label "$baseline" --label "exported by $lib" "$baseline" "$tmp/exported" \
    >"$tmp/diff"; then
    echo "FAILED: exported symbols differ from the baseline ('-' disappeared, '+' appeared):"
    grep '^[-+][^-+]' "$tmp/diff"
    echo "If the change is deliberate: make abi-baseline, and commit $baseline."
    failed=1
fi

if [ $# -gt 0 ]; then
    # Function declarations of the public headers, as the C compiler sees them.
    : >"$tmp/all.c"
    abspath() { echo "$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"; }
    for h in "$@"; do echo "#include \"$(abspath "$h")\"" >>"$tmp/all.c"; done
    if ! ${CC:-cc} -std=c11 -fsyntax-only -aux-info "$tmp/aux" "$tmp/all.c" 2>"$tmp/cc.err"; then
        cat "$tmp/cc.err"
        echo "FAILED: the public headers do not compile as C"
        exit 1
    fi
    for h in "$@"; do
        grep -F "/* $(abspath "$h"):" "$tmp/aux"
    done | grep -F '*/ extern ' |
        sed -E 's/.*\*\/ extern [^(]*[ *]([A-Za-z_][A-Za-z0-9_]*) \(.*/\1/' |
        LC_ALL=C sort -u >"$tmp/declared"
    if [ ! -s "$tmp/declared" ]; then
        echo "FAILED: no function declarations found in $*"
        failed=1
    fi
    LC_ALL=C comm -23 "$tmp/declared" "$tmp/exported" >"$tmp/hidden"
    if [ -s "$tmp/hidden" ]; then
        echo "FAILED: declared in a public header but not exported (ZELCOMMON_API missing?):"
        cat "$tmp/hidden"
        failed=1
    fi
fi

if [ "$failed" -eq 0 ]; then
    echo "ok: $(wc -l <"$tmp/exported") exported symbols match $baseline"
fi
exit "$failed"
