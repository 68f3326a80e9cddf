# SPDX-License-Identifier: Apache-2.0
# Counters of the shell checks (sourced): ok/fail record one result, check runs a command as one,
# finish prints the closing line and fails the script when any check failed.
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
finish() {
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}
skip() { # skip REASON: the whole check cannot run here; ctest reports it skipped (status 77)
    echo "skipped: $1"
    exit 77
}
