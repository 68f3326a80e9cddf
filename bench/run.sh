#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Benchmarks of statsdump (called by `make bench` after `make build`):
#   1. builds the micro-benchmarks (bench/*_bench.cpp) into build-bench;
#   2. generates the demo charts data file with statsgen (default options, TZ=Europe/Warsaw);
#   3. runs the micro-benchmarks on it, and the imager once more on the benchmarks' own data;
#   4. times whole runs of the command on the demo file (median of ZEL_BENCH_RUNS runs, default
#      21, after one warm-up run), with peak RSS and page faults from GNU time;
#   5. builds statsdump of the previous commit (ZEL_BENCH_BASE, default HEAD~1; "none" skips it)
#      into build-bench/base and runs the main cases (the table, one chart, 12 charts, cat of the
#      table) with both programs in turn: wall medians, and counted instructions from valgrind's
#      callgrind, one run each (stable where wall times are not);
#   6. prints one line per case; bench/report.py writes every figure, checked against its
#      target, to bench/results.md.
# Environment: ZEL_BENCH_RUNS (runs per case), ZEL_BENCH_MIN_TIME (seconds per micro-benchmark,
# default 0.3), ZEL_BENCH_BIN (directory holding statsdump and statsgen; default build, else
# build-bench), ZEL_BENCH_BASE (commit to compare with), ZEL_BENCH_STATSWEB (0: leave out
# bench/statsweb_bench.sh), JOBS (build parallelism, default 2).
#
# Hook: bench/statsweb_count.sh, when present, is sourced after the main cases; it may call
# count_ir CMD... (prints the counted instructions of one run of CMD) and append its own cases
# to "$WORK/compare.tsv" as: case, wall median ms, previous commit's wall median ms, instructions,
# previous commit's instructions (an unknown figure left empty); report.py shows them beside the
# others.
set -euo pipefail
export LC_ALL=C
cd "$(dirname "$0")/.."
ROOT=$PWD
RUNS=${ZEL_BENCH_RUNS:-21}
MIN_TIME=${ZEL_BENCH_MIN_TIME:-0.3}
JOBS=${JOBS:-2}
RESULTS=$ROOT/bench/results.md
# The demo file and the runs use one fixed time zone.
export TZ=Europe/Warsaw

# --- tools ------------------------------------------------------------------------------------
need=()
dpkg -s libbenchmark-dev >/dev/null 2>&1 || need+=(libbenchmark-dev)
[ -x /usr/bin/time ] || need+=(time)
command -v valgrind >/dev/null 2>&1 || need+=(valgrind)
command -v python3 >/dev/null 2>&1 || need+=(python3)
if [ ${#need[@]} -gt 0 ]; then
    echo "bench: installing ${need[*]}"
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}"
fi

# --- build ------------------------------------------------------------------------------------
cmake -S . -B build-bench -DZEL_BENCH=ON -DZEL_TESTS=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-bench -j "$JOBS" >/dev/null

BIN=${ZEL_BENCH_BIN:-build}
if [ ! -x "$BIN/statsdump" ] || [ ! -x "$BIN/statsgen" ]; then BIN=build-bench; fi
STATSDUMP=$ROOT/$BIN/statsdump
STATSGEN=$ROOT/$BIN/statsgen
case $BIN in /*) STATSDUMP=$BIN/statsdump STATSGEN=$BIN/statsgen ;; esac

WORK=$(mktemp -d /tmp/zelbench.run.XXXXXX)
trap 'rm -rf "$WORK"' EXIT

LOAD_BEFORE=$(cut -d' ' -f1-3 /proc/loadavg)

# --- demo data file ---------------------------------------------------------------------------
DATA=$WORK/csstats.zel
"$STATSGEN" -o "$DATA" >/dev/null 2>"$WORK/statsgen.err" || true
DATA_BYTES=$(stat -c %s "$DATA" 2>/dev/null || echo 0)
if [ "$DATA_BYTES" -ne 6296272 ]; then
    echo "bench: warning: statsgen wrote $DATA_BYTES bytes, a full file has 6296272" >&2
    sed 's/^/bench: statsgen: /' "$WORK/statsgen.err" >&2 || true
fi

# --- micro-benchmarks -------------------------------------------------------------------------
# On the demo file, so that in-process and whole-run figures read the same data; the imager once
# more on the benchmarks' own file (a daily wave with 15 % noise per slot), which compresses
# worse than the demo's series.
BENCH_FILE=
[ "$DATA_BYTES" -eq 6296272 ] && BENCH_FILE=$DATA
echo "== micro-benchmarks (median of 3 repetitions, min time ${MIN_TIME}s each)"
bench_run() {
    local exe=$1 json=$2
    shift 2
    "$exe" --benchmark_min_time="$MIN_TIME" --benchmark_repetitions=3 \
        --benchmark_report_aggregates_only=true \
        --benchmark_out="$json" --benchmark_out_format=json "$@" 2>&1 |
        grep -E '_median|ERROR|error' || true
}
for exe in build-bench/*_bench; do
    [ -x "$exe" ] || continue
    ZEL_BENCH_FILE=$BENCH_FILE bench_run "$exe" "$WORK/$(basename "$exe").json"
done
if [ -x build-bench/image_bench ]; then
    echo "-- imager on the benchmarks' own noisy data"
    ZEL_BENCH_FILE= bench_run build-bench/image_bench "$WORK/image_bench.synthetic.json" \
        --benchmark_filter='MakePng/cpu/0|Deflate|MakeChart/cpu/0'
fi

echo "== whole runs: $RUNS runs per case, demo file $DATA_BYTES bytes"
# --- whole runs -------------------------------------------------------------------------------
# median_ms LIST...: median of microsecond figures, printed in ms with three decimals.
median_ms() {
    printf '%s\n' "$@" | sort -n | awk '{v[NR]=$1} END {
        m = (NR % 2) ? v[(NR+1)/2] : (v[NR/2] + v[NR/2+1]) / 2; printf "%.3f", m / 1000 }'
}
min_ms() {
    printf '%s\n' "$@" | sort -n | head -1 | awk '{printf "%.3f", $1 / 1000}'
}

# measure CASE CMD...: times RUNS runs of CMD (standard output to /dev/null), then three more
# under GNU time for the peak RSS and the minor page faults (median run by RSS); appends
# "case median min rss_kib faults" to whole.tsv.
measure() {
    local label=$1
    shift
    local -a t=() rss=()
    "$@" >/dev/null 2>&1 || true
    local i s e
    for ((i = 0; i < RUNS; i++)); do
        s=$EPOCHREALTIME
        "$@" >/dev/null 2>&1 || true
        e=$EPOCHREALTIME
        t+=($((10#${e/./} - 10#${s/./})))
    done
    for ((i = 0; i < 3; i++)); do
        /usr/bin/time -f '%M %R' -o "$WORK/rss" "$@" >/dev/null 2>&1 || true
        rss+=("$(tail -1 "$WORK/rss")")
    done
    local med mn r
    med=$(median_ms "${t[@]}")
    mn=$(min_ms "${t[@]}")
    r=$(printf '%s\n' "${rss[@]}" | sort -n | sed -n 2p)
    printf '%s\t%s\t%s\t%s\t%s\n' "$label" "$med" "$mn" "${r% *}" "${r#* }" >>"$WORK/whole.tsv"
    printf '%-40s median %8s ms  min %8s ms  peak RSS %5.1f MiB  %5s page faults\n' "$label" \
        "$med" "$mn" "$(awk -v k="${r% *}" 'BEGIN {print k / 1024}')" "${r#* }"
}

: >"$WORK/whole.tsv"
for r in 0 1 2 3; do
    for fmt in plain -H -h -d; do
        opt=()
        [ "$fmt" = plain ] || opt=("$fmt")
        measure "table -f '*' -r $r $fmt" "$STATSDUMP" -i "$DATA" -f '*' -r "$r" "${opt[@]}"
    done
done
"$STATSDUMP" -i "$DATA" -f '*' -r 0 >"$WORK/table.txt" 2>/dev/null || true
TABLE_BYTES=$(stat -c %s "$WORK/table.txt")
measure "cat floor (table -r 0, $TABLE_BYTES bytes)" cat "$WORK/table.txt"
measure "start-up floor (no arguments: help text)" "$STATSDUMP"
measure "table -f ucpu -r 0" "$STATSDUMP" -i "$DATA" -f ucpu -r 0
measure "chart -f cpu -p out.png" "$STATSDUMP" -i "$DATA" -f cpu -p "$WORK/one.png"
measure "charts -f '*' -p out.png (60 files)" "$STATSDUMP" -i "$DATA" -f '*' -p "$WORK/all.png"
PNG_FILES=$(find "$WORK" -name 'all_*.png' | wc -l)
PNG_BYTES=$(find "$WORK" -name 'all_*.png' -printf '%s\n' | awk '{s += $1} END {print s + 0}')

# --- counted instructions, beside the previous commit ---------------------------------------
BASE_REV=${ZEL_BENCH_BASE:-HEAD~1}
BASE_SHA=
BASE_STATSDUMP=
if [ "$BASE_REV" != none ] && BASE_SHA=$(git -C "$ROOT" rev-parse --short "$BASE_REV^{commit}" 2>/dev/null); then
    echo "== previous commit $BASE_SHA: building statsdump in build-bench/base"
    rm -rf build-bench/base-src
    mkdir -p build-bench/base-src
    if git -C "$ROOT" archive "$BASE_SHA" | tar -x -C build-bench/base-src &&
        cmake -S build-bench/base-src -B build-bench/base -DZEL_TESTS=OFF \
            -DCMAKE_BUILD_TYPE=Release >"$WORK/base.log" 2>&1 &&
        cmake --build build-bench/base -j "$JOBS" --target statsdump >>"$WORK/base.log" 2>&1; then
        BASE_STATSDUMP=$ROOT/build-bench/base/statsdump
    else
        echo "bench: the previous commit's statsdump did not build (build-bench/base)" >&2
        tail -5 "$WORK/base.log" >&2 || true
        BASE_SHA=
    fi
fi

# count_ir CMD...: instructions of one run of CMD under callgrind (standard output discarded).
count_ir() {
    valgrind --tool=callgrind --callgrind-out-file="$WORK/callgrind.out" "$@" \
        >/dev/null 2>"$WORK/callgrind.err" || true
    sed -n 's/.*Collected : *//p' "$WORK/callgrind.err" | tail -1
    rm -f "$WORK/callgrind.out"
}

# compare_case CASE ARG...: ARGs with @SD@ for the statsdump program; runs this commit's and
# the previous commit's program in turn, RUNS times each, then once each under callgrind.
compare_case() {
    local label=$1
    shift
    local -a cur=() prev=() tc=() tp=()
    local a i s e with_prev=0
    for a in "$@"; do
        cur+=("${a//@SD@/$STATSDUMP}")
        prev+=("${a//@SD@/$BASE_STATSDUMP}")
    done
    [[ -n "$BASE_STATSDUMP" && "$*" == *@SD@* ]] && with_prev=1
    "${cur[@]}" >/dev/null 2>&1 || true
    [ "$with_prev" = 1 ] && { "${prev[@]}" >/dev/null 2>&1 || true; }
    for ((i = 0; i < RUNS; i++)); do
        s=$EPOCHREALTIME
        "${cur[@]}" >/dev/null 2>&1 || true
        e=$EPOCHREALTIME
        tc+=($((10#${e/./} - 10#${s/./})))
        if [ "$with_prev" = 1 ]; then
            s=$EPOCHREALTIME
            "${prev[@]}" >/dev/null 2>&1 || true
            e=$EPOCHREALTIME
            tp+=($((10#${e/./} - 10#${s/./})))
        fi
    done
    local med pmed="" ir pir=""
    med=$(median_ms "${tc[@]}")
    ir=$(count_ir "${cur[@]}")
    if [ "$with_prev" = 1 ]; then
        pmed=$(median_ms "${tp[@]}")
        pir=$(count_ir "${prev[@]}")
    elif [[ "$*" != *@SD@* ]]; then
        pmed=$med pir=$ir  # the same command for both
    fi
    printf '%s\t%s\t%s\t%s\t%s\n' "$label" "$med" "$pmed" "$ir" "$pir" >>"$WORK/compare.tsv"
    printf '%-40s median %8s ms (previous %8s ms)  %12s instructions (previous %12s)\n' \
        "$label" "$med" "${pmed:--}" "${ir:-?}" "${pir:--}"
}

# The 12 charts of the web page: every extended chart.
TWELVE=cpu,bwin,bwout,hddread,hddwrite,hddopsr,hddopsw,mem,move,space,chunks,hddcnt
echo "== this commit beside the previous one ($RUNS runs each, in turn; callgrind one run each)"
: >"$WORK/compare.tsv"
compare_case "table -f '*' -r 0" @SD@ -i "$DATA" -f '*' -r 0
compare_case "cat of the table's output" cat "$WORK/table.txt"
compare_case "one chart -f cpu -p" @SD@ -i "$DATA" -f cpu -p "$WORK/cmp1.png"
compare_case "12 charts -f $TWELVE -p (one process)" @SD@ -i "$DATA" -f "$TWELVE" -p "$WORK/cmp12.png"
if [ -f "$ROOT/bench/statsweb_count.sh" ]; then
    # shellcheck source=/dev/null
    source "$ROOT/bench/statsweb_count.sh"
fi

LOAD_AFTER=$(cut -d' ' -f1-3 /proc/loadavg)

# --- results.md -------------------------------------------------------------------------------
CPU_MODEL=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')
REV=$(git -C "$ROOT" rev-parse --short HEAD 2>/dev/null || echo unknown)
if [ -n "$(git -C "$ROOT" status --porcelain --untracked-files=no 2>/dev/null)" ]; then
    REV="$REV (with uncommitted changes)"
fi

export BM_DATE BM_CPU BM_CORES BM_REV BM_RUNS BM_LOAD_BEFORE BM_LOAD_AFTER BM_DATA_BYTES \
    BM_TABLE_BYTES BM_PNG_FILES BM_PNG_BYTES BM_BIN BM_DATA_SOURCE BM_BASE
BM_DATE=$(date -u '+%Y-%m-%d %H:%M UTC') BM_CPU=$CPU_MODEL BM_CORES=$(nproc) BM_REV=$REV
BM_RUNS=$RUNS BM_LOAD_BEFORE=$LOAD_BEFORE BM_LOAD_AFTER=$LOAD_AFTER BM_DATA_BYTES=$DATA_BYTES
BM_TABLE_BYTES=$TABLE_BYTES BM_PNG_FILES=$PNG_FILES BM_PNG_BYTES=$PNG_BYTES BM_BIN=$BIN
BM_BASE=$BASE_SHA
if [ -n "$BENCH_FILE" ]; then
    BM_DATA_SOURCE="the demo data file (the imager also on the benchmarks' own noisy file)"
else
    BM_DATA_SOURCE="the benchmarks' own data file (statsgen gave no full file)"
fi
python3 bench/report.py "$WORK" "$RESULTS"
echo "bench: wrote ${RESULTS#"$ROOT"/}"
if [ "${ZEL_BENCH_STATSWEB:-1}" = 0 ]; then
    echo "bench: statsweb figures skipped (ZEL_BENCH_STATSWEB=0)"
else
    ZEL_BENCH_BIN=$BIN bash bench/statsweb_bench.sh "$RESULTS" || echo "bench: statsweb figures failed" >&2
fi
