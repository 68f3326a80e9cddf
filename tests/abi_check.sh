#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The ABI of libzelcommon.so.1 changes only on purpose. abidw (libabigail) describes the
# library from its debug information, limited to the types that the public headers define:
# every exported function and variable with the layout of its parameters, return values and
# structures. abidiff compares that with the baseline in the repository and fails on any change,
# an added or removed symbol as well as a changed type or field.
#
# Usage: abi_check.sh LIBRARY BASELINE_XML PUBLIC_HEADER...   (ctest abi_check)
# With ZEL_ABI_UPDATE=1 in the environment it rewrites the baseline instead (make abi-baseline
# runs the ctest so, after a deliberate change).
# Exit status: 0 same ABI, 1 changed or failed, 77 abidw or abidiff not installed (skipped).
set -u

lib=${1:?shared library}
baseline=${2:?baseline file}
shift 2

for tool in abidw abidiff; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "SKIPPED: $tool is not installed (apt-get install abigail-tools)"
        exit 77
    fi
done

tmp=$(mktemp -d "${TMPDIR:-/tmp}/zelabi.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

headers=()
for h in "$@"; do headers+=(--header-file "$h"); done
# No source locations, paths or compilation folders: the baseline describes the interface only,
# and stays the same when a line moves or the tree is built elsewhere.
if ! readelf -S "$lib" 2>/dev/null | grep -q '\.debug_info'; then
    echo "FAILED: $lib has no debug information (abidw reads the types from it; build with -g)"
    exit 1
fi
if ! abidw "${headers[@]}" --drop-private-types --no-show-locs --no-corpus-path \
    --no-comp-dir-path --out-file "$tmp/current.xml" "$lib" \
    2>"$tmp/abidw.err"; then
    cat "$tmp/abidw.err"
    echo "FAILED: abidw $lib"
    exit 1
fi

# Translation units by their place in the tree (zelcommon/...), not by the folder of the clone.
sed -i -E "s|path='[^']*/(zelcommon/[^'/]*)'|path='\1'|" "$tmp/current.xml"

if [ "${ZEL_ABI_UPDATE:-0}" = 1 ]; then
    cp "$tmp/current.xml" "$baseline" || exit 1
    echo "wrote the ABI of $lib to $baseline"
    exit 0
fi

abidiff --no-default-suppression "$baseline" "$tmp/current.xml" >"$tmp/diff"
status=$?
if [ "$status" -ne 0 ]; then
    cat "$tmp/diff"
    echo "FAILED: the ABI of $lib differs from $baseline (abidiff status $status)."
    echo "If the change is deliberate: make abi-baseline, and commit $baseline."
    exit 1
fi
echo "ok: the ABI of $lib matches $baseline"
