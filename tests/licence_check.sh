#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Every source file of the project carries its licence in an SPDX line among its first two
# lines (after a #! line); third-party files keep their own licences and are left out.
#
# Usage: licence_check.sh SOURCE_DIR
set -u
src=${1:?source directory}
. "$src/tests/checks.sh"
cd "$src" || exit 1
command -v git >/dev/null 2>&1 && git rev-parse --git-dir >/dev/null 2>&1 ||
    skip "not a git checkout: the list of the project's files comes from git"

# (The tag is split here so that licence scanners do not read this line as one.)
tag='SPDX-License''-Identifier'
missing=()
while IFS= read -r f; do
    head -n 2 "$f" | grep -q "$tag: Apache-2.0" || missing+=("$f")
done < <(git ls-files -- '*.c' '*.cpp' '*.h' '*.sh' '*.py' '*.js' '*.cmake' '*.in' \
    'CMakeLists.txt' '*/CMakeLists.txt' 'Makefile' '.ci/run' 'tools/*' 'debian/rules' |
    grep -v -E '^(third_party|tests/golden)/')
check "every source file names its licence (${#missing[@]} without: ${missing[*]:0:5})" \
    test "${#missing[@]}" -eq 0
finish
