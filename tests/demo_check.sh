#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# `make demo` on a machine without libmicrohttpd (hidden from pkg-config): configure says in
# one line that statsweb is left out, the demo builds what it needs, prints its table and draws
# its charts. Builds into a temporary folder, so the source tree is not touched.
#
# Usage: demo_check.sh SOURCE_DIR
set -u
src=${1:?source directory}
. "$src/tests/checks.sh"

tmp=$(mktemp -d "${TMPDIR:-/tmp}/zeldemo.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
mkdir "$tmp/empty"

PKG_CONFIG_LIBDIR="$tmp/empty" PKG_CONFIG_PATH="" make -C "$src" --no-print-directory demo \
    BUILD="$tmp/build" JOBS=2 CMAKE_FLAGS=-DZEL_TESTS=OFF >"$tmp/out" 2>&1
status=$?
check "make demo succeeds without libmicrohttpd" test "$status" -eq 0 || tail -n 30 "$tmp/out"
check "configure says in one line that statsweb is left out and what brings it" \
    test "$(grep -c 'statsweb: left out, libmicrohttpd not found .*libmicrohttpd-dev' "$tmp/out")" -eq 1
check "the demo prints its table" grep -q -P '^date\tcpu\tbwin\thddopsr\tspace\tchunks\thddcnt$' "$tmp/out"
check "the demo draws its charts" test -s "$tmp/build/demo/day_cpu.png"
check "statsweb is not built" test ! -e "$tmp/build/statsweb/statsweb"
finish
