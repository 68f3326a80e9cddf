# SPDX-License-Identifier: Apache-2.0
# Sourced by bench/run.sh after its main cases (it gives ROOT, WORK, DATA, JOBS, BASE_SHA and
# count_ir): statsweb's handler called in-process by bench/statsweb_calls.cpp, this commit's
# and the previous commit's (its statsweb_core built in build-bench/base), in turn. Cases, one
# answer each: the page's JSON table (12 charts, up to 1550 slots) made afresh, plain and gzip
# as a browser takes it; a page of /view; and the first /view and JSON table of a load (the
# columns and times fetched from the store, the cells formatted). Wall: the median of one
# answer over the driver's answers, median of three driver runs; instructions: callgrind's
# count of a driver run with N answers less one with none, over N (for the first answer: a run
# with it less one that only opens the file).
# Appends its rows to "$WORK/compare.tsv"; a driver that does not build leaves its figures empty.

statsweb_calls_build() {  # SRC_ROOT BUILD_DIR OUT: the driver against that tree's statsweb_core
    local src=$1 build=$2 out=$3
    cmake --build "$build" -j "$JOBS" --target statsweb_core zelcommon >>"$WORK/calls.log" 2>&1 &&
        g++ -O2 -std=c++20 -I"$src/statsweb" -I"$src/zelcommon" "$ROOT/bench/statsweb_calls.cpp" \
            "$build/statsweb/libstatsweb_core.a" "$build/libzelcommon.a" -lz -lpthread \
            -o "$out" >>"$WORK/calls.log" 2>&1
}

# calls_wall DRIVER KIND COUNT FIELD: median of three runs of one figure of the driver's line
# (1: median answer, 2: first answer), in ms; empty without a driver.
calls_wall() {
    local drv=$1 kind=$2 count=$3 field=$4 v=()
    [ -x "$drv" ] || return 0
    for _ in 1 2 3; do
        v+=("$("$drv" "$DATA" "$kind" "$count" 2>/dev/null | cut -d' ' -f"$field" || true)")
    done
    printf '%s\n' "${v[@]}" | awk 'NF' | sort -n | sed -n 2p | awk '{printf "%.3f", $1 / 1000}'
}

# calls_ir DRIVER KIND COUNT [BASE_KIND BASE_COUNT]: instructions per answer.
calls_ir() {
    local drv=$1 kind=$2 count=$3 bkind=${4:-$2} bcount=${5:-0} a b
    [ -x "$drv" ] || return 0
    a=$(count_ir "$drv" "$DATA" "$bkind" "$bcount" | tr -d ,)
    b=$(count_ir "$drv" "$DATA" "$kind" "$count" | tr -d ,)
    [ -n "$a" ] && [ -n "$b" ] || return 0
    awk -v a="$a" -v b="$b" -v n="$count" 'BEGIN {printf "%.0f", (b - a) / (n > 0 ? n : 1)}'
}

# The build folder of run.sh (ZEL_BENCH_BUILD: another, for a run of this file alone).
CALLS_BUILD=${ZEL_BENCH_BUILD:-$ROOT/build-bench}
: >"$WORK/calls.log"
CALLS_CUR=$WORK/statsweb_calls
CALLS_PREV=$WORK/statsweb_calls.prev
statsweb_calls_build "$ROOT" "$CALLS_BUILD" "$CALLS_CUR" ||
    echo "bench: statsweb_calls did not build (see below)" >&2
if [ -n "$BASE_SHA" ] && [ -d "$CALLS_BUILD/base" ]; then
    statsweb_calls_build "$CALLS_BUILD/base-src" "$CALLS_BUILD/base" "$CALLS_PREV" ||
        echo "bench: statsweb_calls did not build against the previous commit" >&2
fi
[ -x "$CALLS_CUR" ] || tail -5 "$WORK/calls.log" >&2

statsweb_row() {  # LABEL MED PREV_MED IR PREV_IR
    printf '%s\t%s\t%s\t%s\t%s\n' "$@" >>"$WORK/compare.tsv"
    printf '%-40s median %8s ms (previous %8s ms)  %12s instructions (previous %12s)\n' \
        "$1" "${2:-?}" "${3:--}" "${4:-?}" "${5:--}"
}
# statsweb_case LABEL KIND COUNT IR_COUNT: a row of answers made afresh.
statsweb_case() {
    local label=$1 kind=$2 count=$3 ircount=$4
    statsweb_row "$label" \
        "$(calls_wall "$CALLS_CUR" "$kind" "$count" 1)" \
        "$(calls_wall "$CALLS_PREV" "$kind" "$count" 1)" \
        "$(calls_ir "$CALLS_CUR" "$kind" "$ircount")" \
        "$(calls_ir "$CALLS_PREV" "$kind" "$ircount")"
}
# statsweb_first LABEL KIND: the first answer of a load, the driver's second figure;
# instructions less a run that opens the file only.
statsweb_first() {
    local label=$1 kind=$2
    statsweb_row "$label" \
        "$(calls_wall "$CALLS_CUR" "$kind" 0 2)" \
        "$(calls_wall "$CALLS_PREV" "$kind" 0 2)" \
        "$(calls_ir "$CALLS_CUR" "$kind" 0 none 0)" \
        "$(calls_ir "$CALLS_PREV" "$kind" 0 none 0)"
}
if [ -x "$CALLS_CUR" ]; then
    statsweb_case "statsweb JSON table of the page, one answer" json 400 200
    statsweb_case "statsweb JSON table of the page, gzip, one answer" json-gzip 40 10
    statsweb_case "statsweb /view?f=cpu, one answer" view 400 200
    statsweb_first "statsweb first /view?f=cpu of a load" view
    statsweb_first "statsweb first JSON table of the page of a load" json
fi
