#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# statsweb figures (called by bench/run.sh, or alone after `make build`): wrk against the real
# server on a loopback port, over statsgen data files ending at the current minute (TZ=Europe/Warsaw):
#   - /chart?f=cpu (1600 x 320): drawn for every request (the width cycles over 100 values, more
#     than the server keeps drawn), and the same chart again and again (served as drawn before);
#     against one `statsdump -p` process per chart, timed in the same run;
#   - /metrics (plain and gzip), and /table?f=* (all 60 fields, range 0) made for every request
#     (the fields in changing order) and the same table again and again;
#   - /openmetrics?r=2 (85 days by 30 minutes): size and time, plain and gzip, made and kept;
#     /openmetrics?r=0 for two label sets asked in turn against one asked again and again;
#   - the page: its bytes and requests, the JSON table of its charts per second (made, plain and
#     gzip, and kept), /view per second and the time of one answer,
#     and the browser test's time to the first chart; and, in a section of its own
#     (page_section), the browser's first load and one refresh in bytes and the time until all
#     charts are drawn;
#   - starvation: 200 connections drawing charts that are never kept (wrk), while a second client
#     asks /metrics and /status in a bounded loop (curl, 200 requests): their 99th percentile,
#     and the rate of charts drawn (2xx only; the flood gets 503 beyond its share);
#   - a reload of a changed 6 MB file: charts_reload() timed in-process after the file was
#     replaced by rename, and the first /status answer after a replacement, over HTTP.
#   - under siege (bench/statsweb_siege.cpp, a fresh server each): a monitoring client's p99
#     beside a gzip flood of 16 kept histories and beside bursts of 64 identical requests right
#     after each change of the file, and the peak resident size with 256 clients of 8 addresses
#     asking for differing histories without reading them (the memory budget, -M 256).
# Writes its section "## statsweb" at the end of RESULTS (default bench/results.md), replacing
# the one there.
# Environment: ZEL_BENCH_BIN (directory of statsweb, statsdump, statsgen; default build),
# STATSWEB_BENCH_SECONDS (seconds per wrk case, default 10).
set -euo pipefail
export LC_ALL=C
cd "$(dirname "$0")/.."
ROOT=$PWD
RESULTS=${1:-$ROOT/bench/results.md}
BIN=${ZEL_BENCH_BIN:-build}
case $BIN in /*) ;; *) BIN=$ROOT/$BIN ;; esac
SECONDS_PER_CASE=${STATSWEB_BENCH_SECONDS:-10}
export TZ=Europe/Warsaw

if ! command -v wrk >/dev/null 2>&1 || ! command -v curl >/dev/null 2>&1; then
    echo "statsweb bench: installing wrk curl"
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq wrk curl
fi
for p in statsweb/statsweb statsdump statsgen; do
    [ -x "$BIN/$p" ] || { echo "statsweb bench: $BIN/$p is missing (make build)" >&2; exit 2; }
done

WORK=$(mktemp -d /tmp/zelbench.web.XXXXXX)
PID=
cleanup() {
    [ -n "$PID" ] && kill "$PID" 2>/dev/null && wait "$PID" 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT

DATA=$WORK/csstats.zel
# Histories that end at the current minute, so that /metrics carries the statistics.
NOW=$(( $(date +%s) / 60 * 60 ))
"$BIN/statsgen" -o "$WORK/a.zel" -e "$NOW" >/dev/null 2>&1
"$BIN/statsgen" -o "$WORK/b.zel" -s 2 -e "$NOW" >/dev/null 2>&1
cp "$WORK/a.zel" "$DATA"
DATA_BYTES=$(stat -c %s "$DATA")

mkfifo "$WORK/out"
# 200 connections of one wrk need a per-address limit above them.
# -S 0: the bench replaces the file by rename, which needs no settle interval.
"$BIN/statsweb/statsweb" -i "$DATA" -l 127.0.0.1:0 -C 512 -P 256 -S 0 >"$WORK/out" 2>"$WORK/err" &
PID=$!
read -r LINE <"$WORK/out"
URL=${LINE##* }
URL=${URL%/}
echo "== statsweb bench: $URL, data file $DATA_BYTES bytes, ${SECONDS_PER_CASE}s per case"

# rate NAME PATH|SCRIPT [HEADER]: requests per second of one wrk run (1 thread, 8 connections).
rate() {
    local name=$1 what=$2 out
    sleep 1  # what the case before left waiting for the store is done
    local header=()
    [ $# -gt 2 ] && header=(-H "$3")
    if [ -f "$what" ]; then
        out=$(wrk -t1 -c8 -d"${SECONDS_PER_CASE}s" "${header[@]}" -s "$what" "$URL/")
    else
        out=$(wrk -t1 -c8 -d"${SECONDS_PER_CASE}s" "${header[@]}" "$URL$what")
    fi
    local rps non2xx
    rps=$(awk '/^Requests\/sec:/ {print $2}' <<<"$out")
    non2xx=$(awk '/Non-2xx/ {print $NF}' <<<"$out")
    printf '%-40s %10.1f responses/s%s\n' "$name" "$rps" "${non2xx:+ ($non2xx non-2xx)}" >&2
    echo "$rps"
}

cat >"$WORK/charts.lua" <<'EOF'
-- every request draws: 300 widths in turn, more than the server keeps drawn (128 answers)
local i = 0
request = function()
    i = i + 1
    return wrk.format("GET", "/chart?f=cpu&y=320&x=" .. (1550 + i % 300))
end
EOF
# Tables of all 60 fields made for every request: each field in turn first, then the rest, with
# and without dates and SI units (240 different tables, more than the 128 answers the server keeps).
NAMES=$("$BIN/statsdump" -i "$DATA" -f '*' -r 3 | awk 'NR == 1' | cut -f2- | tr '\t' ' ')
{
    echo "local names = {}"
    for n in $NAMES; do echo "table.insert(names, \"$n\")"; done
    cat <<'EOF'
local i = 0
request = function()
    i = i + 1
    local d = math.floor(i / #names) % 2
    local h = math.floor(i / #names / 2) % 2
    return wrk.format("GET", "/table?f=" .. names[i % #names + 1] .. ",*&d=" .. d .. "&H=" .. h)
end
EOF
} >"$WORK/tables.lua"
CHART_DRAWN=$(rate "/chart?f=cpu, drawn per request" "$WORK/charts.lua")
CHART_KEPT=$(rate "/chart?f=cpu, the same chart" "/chart?f=cpu")
METRICS=$(rate "/metrics" "/metrics")
METRICS_GZ=$(rate "/metrics, gzip" "/metrics" "Accept-Encoding: gzip")
METRICS_BYTES=$(curl -s -o /dev/null -w '%{size_download}' "$URL/metrics")
METRICS_GZ_BYTES=$(curl -s -o /dev/null -H 'Accept-Encoding: gzip' -w '%{size_download}' "$URL/metrics")

# /openmetrics?r=2: the first answer makes the history (and, for gzip, compresses it), the
# second is the kept one. Size in bytes, times in milliseconds (curl's time_total).
om() {  # [curl options]: "bytes first_ms kept_ms"
    local a b
    a=$(curl -s -o /dev/null "$@" -w '%{size_download} %{time_total}' "$URL/openmetrics?r=2")
    b=$(curl -s -o /dev/null "$@" -w '%{time_total}' "$URL/openmetrics?r=2")
    awk -v a="$a" -v b="$b" 'BEGIN {split(a, x, " "); printf "%d %.1f %.1f\n", x[1], x[2] * 1000, b * 1000}'
}
read -r OM_BYTES OM_FIRST OM_KEPT < <(om)
read -r OM_GZ_BYTES OM_GZ_FIRST OM_GZ_KEPT < <(om -H 'Accept-Encoding: gzip')
printf '%-40s %10s bytes, %s ms made, %s ms kept\n' "/openmetrics?r=2" "$OM_BYTES" "$OM_FIRST" \
    "$OM_KEPT" >&2
printf '%-40s %10s bytes, %s ms compressed, %s ms kept\n' "/openmetrics?r=2, gzip" "$OM_GZ_BYTES" \
    "$OM_GZ_FIRST" "$OM_GZ_KEPT" >&2
# /openmetrics?r=0 for two label sets asked in turn, against one label set asked again and
# again: medians of 20 answers each (curl's time_total), after each set's first answer.
om_median() {  # instance...: median milliseconds over 20 requests cycling the instances
    local n=0 names=("$@")
    for name in "${names[@]}"; do curl -s -o /dev/null "$URL/openmetrics?r=0&instance=$name"; done
    while [ $n -lt 20 ]; do
        curl -s -o /dev/null -w '%{time_total}\n' \
            "$URL/openmetrics?r=0&instance=${names[$((n % ${#names[@]}))]}"
        n=$((n + 1))
    done | sort -n | awk '{v[NR] = $1} END {printf "%.1f\n", (v[10] + v[11]) / 2 * 1000}'
}
OM_ONE=$(om_median alpha)
OM_TWO=$(om_median beta gamma)
OM_TURN=$(awk -v a="$OM_TWO" -v b="$OM_ONE" 'BEGIN {printf "%.2f", a / b}')
printf '%-40s %10s ms one label set, %s ms two in turn (%s x)\n' "/openmetrics?r=0" "$OM_ONE" \
    "$OM_TWO" "$OM_TURN" >&2
TABLE=$(rate "/table?f=*, made per request" "$WORK/tables.lua")
TABLE_KEPT=$(rate "/table?f=*, the same table" "/table?f=*")

# The page: its HTML, script, style sheet and data (the JSON table of the 12 charts' window),
# as the browser asks for them on its first load; and the JSON table made per request (the
# window's length cycles over 500 values, more than the 128 answers the server keeps), plain and
# gzip as the browser takes it, and kept.
CHARTS=cpu,bwin,bwout,hddread,hddwrite,hddopsr,hddopsw,mem,move,space,chunks,hddcnt
JSON_PATH="/table?format=json&r=0&n=1550&f=$CHARTS"
PAGE_BYTES=0
PAGE_REQUESTS=0
PAGE_GZIP=0
for path in / /statsweb.js /statsweb.css "$JSON_PATH"; do
    b=$(curl -s -o /dev/null -w '%{size_download}' "$URL$path")
    g=$(curl -s -H 'Accept-Encoding: gzip' -o /dev/null -w '%{size_download}' "$URL$path")
    PAGE_BYTES=$((PAGE_BYTES + b))
    PAGE_GZIP=$((PAGE_GZIP + g))
    PAGE_REQUESTS=$((PAGE_REQUESTS + 1))
done
printf '%-40s %10s bytes in %s requests\n' "the page with its data" "$PAGE_BYTES" "$PAGE_REQUESTS" >&2
cat >"$WORK/json.lua" <<EOF
local i = 0
request = function()
    i = i + 1
    return wrk.format("GET", "/table?format=json&r=0&f=$CHARTS&n=" .. (1550 - i % 500))
end
EOF
JSON_LOAD=$(cut -d' ' -f1 /proc/loadavg)
JSON_MADE=$(rate "/table?format=json, made per request" "$WORK/json.lua")
JSON_MADE_GZ=$(rate "/table?format=json, gzip, made per request" "$WORK/json.lua" "Accept-Encoding: gzip")
JSON_KEPT=$(rate "/table?format=json, the same table" "$JSON_PATH")

# /view (made for every request: the pages of one chart in turn): answers per second, and the
# median time of one answer by curl over 51 requests, each on a connection of its own.
cat >"$WORK/view.lua" <<'EOF'
local i = 0
request = function()
    i = i + 1
    return wrk.format("GET", "/view?f=cpu&p=" .. (i % 17))
end
EOF
VIEW_RATE=$(rate "/view?f=cpu, pages in turn" "$WORK/view.lua")
: >"$WORK/view.txt"
for ((i = 0; i < 51; i++)); do
    curl -s -o /dev/null -w '%{time_total}\n' "$URL/view?f=cpu&p=$((i % 17))" >>"$WORK/view.txt"
done
VIEW_MS=$(sort -n "$WORK/view.txt" | awk '{v[NR]=$1} END {printf "%.2f", v[int((NR+1)/2)] * 1000}')
printf '%-40s %10s ms median (curl)\n' "/view?f=cpu, one answer" "$VIEW_MS" >&2

# Starvation: wrk -c200 drawing uncached charts of 1600 x 320 on average (6000 sizes in turn:
# a size comes again only after far more charts than the server keeps were drawn); a second client (another loopback address) asks the cheap ones.
cat >"$WORK/flood.lua" <<'EOF'
local i = 0
request = function()
    i = i + 1
    return wrk.format("GET", "/chart?f=cpu&x=" .. (1000 + i % 1200) .. "&y=" .. (280 + 20 * (math.floor(i / 1200) % 5)))
end
EOF
sleep 1
wrk -t1 -c200 -d"${SECONDS_PER_CASE}s" -s "$WORK/flood.lua" "$URL/" >"$WORK/flood.txt" &
WRK=$!
sleep 1
: >"$WORK/cheap.txt"
for ((i = 0; i < 200; i++)); do
    if ((i % 2)); then p=/status; else p=/metrics; fi
    curl -s --interface 127.0.0.2 -o /dev/null -m 10 -w '%{time_total}\n' "$URL$p" >>"$WORK/cheap.txt" || echo 10 >>"$WORK/cheap.txt"
    sleep 0.02
done
wait "$WRK"
CHEAP_P99=$(sort -n "$WORK/cheap.txt" | awk '{v[NR]=$1} END {printf "%.1f", v[int(NR*0.99)] * 1000}')
CHEAP_MAX=$(sort -n "$WORK/cheap.txt" | awk 'END {printf "%.1f", $1 * 1000}')
FLOOD_ALL=$(awk '/requests in/ {print $1}' "$WORK/flood.txt")
FLOOD_NON2XX=$(awk '/Non-2xx/ {print $NF}' "$WORK/flood.txt")
FLOOD_SECS=$(awk '/requests in/ {sub(/s,?$/, "", $4); print $4}' "$WORK/flood.txt")
FLOOD_CHARTS=$(awk -v a="$FLOOD_ALL" -v n="${FLOOD_NON2XX:-0}" -v s="$FLOOD_SECS" 'BEGIN {printf "%.1f", (a - n) / s}')
FLOOD_503=$(awk -v n="${FLOOD_NON2XX:-0}" -v s="$FLOOD_SECS" 'BEGIN {printf "%.1f", n / s}')
printf '%-40s %10s ms p99 (max %s ms)\n' "/metrics, /status beside 200 drawing" "$CHEAP_P99" "$CHEAP_MAX" >&2
printf '%-40s %10s charts/s (%s/s 503)\n' "charts drawn by 200 connections" "$FLOOD_CHARTS" "$FLOOD_503" >&2

# One statsdump process per chart, in sequence.
N=40
"$BIN/statsdump" -i "$DATA" -f cpu -p "$WORK/one.png" >/dev/null 2>&1
s=$EPOCHREALTIME
for ((i = 0; i < N; i++)); do "$BIN/statsdump" -i "$DATA" -f cpu -p "$WORK/one.png" >/dev/null 2>&1; done
e=$EPOCHREALTIME
PROCS=$(awk -v n=$N -v us=$((10#${e/./} - 10#${s/./})) 'BEGIN {printf "%.1f", n / (us / 1e6)}')
printf '%-40s %10.1f processes/s\n' "statsdump -f cpu -p (one process each)" "$PROCS" >&2

# The first answer after a replacement, over HTTP: stat, reload and /status.
FIRST=()
for ((i = 0; i < 11; i++)); do
    if ((i % 2)); then src=a; else src=b; fi
    cp "$WORK/$src.zel" "$DATA.new"
    mv "$DATA.new" "$DATA"
    FIRST+=("$(curl -s -o /dev/null -w '%{time_total}' "$URL/status")")
done
HTTP_RELOAD=$(printf '%s\n' "${FIRST[@]}" | sort -n | awk '{v[NR]=$1} END {printf "%.3f", v[int((NR+1)/2)] * 1000}')
kill "$PID" && wait "$PID" 2>/dev/null || true
PID=

# charts_reload() alone, in-process, after the file was replaced by rename.
cat >"$WORK/reload.cpp" <<'EOF'
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <algorithm>
#include <string>
#include <vector>
#include "charts.h"
#include "crc.h"
#include "statsdump.h"
#include "strerr.h"
static double now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}
int main(int argc, char **argv) {
    if (argc != 4) return 2;
    const std::string data = argv[1], a = argv[2], b = argv[3];
    mycrc32_init();
    strerr_init();
    charts_init(statsdump_calcdefs, statsdump_statdefs, statsdump_estatdefs, data.c_str(),
                CHARTS_MODE_VIEWER);
    std::vector<double> t;
    for (int i = 0; i < 31; i++) {
        std::string cmd = "cp " + (i % 2 ? a : b) + " " + data + ".new && mv " + data + ".new " + data;
        if (system(cmd.c_str()) != 0) return 1;
        double s = now_ms();
        if (charts_reload() != 0) return 1;
        t.push_back(now_ms() - s);
    }
    std::sort(t.begin(), t.end());
    printf("%.3f %.3f %.3f\n", t[t.size() / 2], t.front(), t.back());
    charts_term();
    return 0;
}
EOF
g++ -O2 -std=c++20 -I"$ROOT/zelcommon" "$WORK/reload.cpp" "$BIN/libzelcommon.a" -lz -o "$WORK/reload"
read -r RELOAD_MED RELOAD_MIN RELOAD_MAX < <("$WORK/reload" "$DATA" "$WORK/a.zel" "$WORK/b.zel")
printf '%-40s %10s ms median (min %s, max %s)\n' "charts_reload, changed file" "$RELOAD_MED" \
    "$RELOAD_MIN" "$RELOAD_MAX" >&2
printf '%-40s %10s ms median\n' "first /status after a rename (curl)" "$HTTP_RELOAD" >&2

# Under siege: a fresh server on a fixed port for each case.
g++ -O2 -std=c++20 "$ROOT/bench/statsweb_siege.cpp" -o "$WORK/siege" -lpthread
SIEGE_PORT=${STATSWEB_SIEGE_PORT:-19799}
siege() {  # mode [args]: the siege's line, against a fresh server over a copy of a.zel
    cp "$WORK/a.zel" "$DATA"
    "$BIN/statsweb/statsweb" -i "$DATA" -l "127.0.0.1:$SIEGE_PORT" -C 1000 -P 1000 -S 0 \
        >/dev/null 2>"$WORK/siege.err" &
    PID=$!
    sleep 2
    local mode=$1
    shift
    "$WORK/siege" "$mode" "$SIEGE_PORT" "$@" "$PID"
    kill "$PID" && wait "$PID" 2>/dev/null || true
    PID=
}
read -r GZ_P99 GZ_MAX GZ_N < <(siege gzip)
read -r BURST_P99 BURST_MAX BURST_OK BURST_ALL < <(siege burst "$DATA" "$WORK/b.zel" "$WORK/a.zel")
read -r NR_BEFORE NR_PEAK NR_OK NR_BUSY < <(siege nonreaders)
printf '%-40s %10s ms p99 (max %s ms)\n' "monitoring beside a gzip flood" "$GZ_P99" "$GZ_MAX" >&2
printf '%-40s %10s ms p99 (%s of %s good)\n' "monitoring beside post-change bursts" "$BURST_P99" \
    "$BURST_OK" "$BURST_ALL" >&2
printf '%-40s %10s MiB peak (from %s)\n' "256 differing non-readers" "$NR_PEAK" "$NR_BEFORE" >&2

# Time to the first interactive chart: the browser test's own figure (skipped without node,
# its modules or Chromium).
FIRST_CHART=skipped
BROWSER_OUT=
if out=$(bash "$ROOT/tests/browser/run.sh" "$BIN/statsweb/statsweb" "$BIN/statsdump" "$BIN/statsgen" 2>&1); then
    BROWSER_OUT=$out
    FIRST_CHART=$(sed -n 's/^time to first chart: \([0-9]*\) ms.*/\1/p' <<<"$out")
fi
printf '%-40s %10s ms\n' "time to first chart (browser test)" "$FIRST_CHART" >&2

# --- results.md section -------------------------------------------------------------------------
verdict() {  # value limit at_least
    awk -v v="$1" -v l="$2" -v ge="$3" 'BEGIN {ok = ge ? v >= l : v <= l; print ok ? "met" : "NOT MET"}'
}
RATIO=$(awk -v a="$CHART_DRAWN" -v b="$PROCS" 'BEGIN {printf "%.1f", a / b}')
RATIO_KEPT=$(awk -v a="$CHART_KEPT" -v b="$PROCS" 'BEGIN {printf "%.1f", a / b}')
REV=$(git -C "$ROOT" rev-parse --short HEAD 2>/dev/null || echo unknown)
SECTION=$WORK/section.md
cat >"$SECTION" <<EOF
## statsweb

Written by \`bench/statsweb_bench.sh\` ($(date -u '+%Y-%m-%d %H:%M UTC'), source $REV, $(nproc) cores, load before $(cut -d' ' -f1-3 /proc/loadavg)). wrk: 1 thread, 8 keep-alive connections, ${SECONDS_PER_CASE} s per case, against \`statsweb\` on a loopback port over a statsgen data file of 100 days ending at the current minute ($DATA_BYTES bytes). The server answers on a pool of polling threads; what needs the store goes to one worker thread.

| What | Measured | Target | Verdict | Note |
|---|---|---|---|---|
| \`/chart?f=cpu\` (1600 × 320) vs one \`statsdump -f cpu -p\` process per chart | $RATIO x | at least 3 x | $(verdict "$RATIO" 3 1) | drawn for every request: $CHART_DRAWN/s; processes: $PROCS/s |
| \`/metrics\` | $METRICS responses/s | at least 5,000/s | $(verdict "$METRICS" 5000 1) | $METRICS_BYTES bytes; with gzip $METRICS_GZ responses/s, $METRICS_GZ_BYTES bytes |
| \`/openmetrics?r=2\` (85 days by 30 minutes) | $OM_BYTES bytes, $OM_FIRST ms | | | made once per load; kept: $OM_KEPT ms |
| \`/openmetrics?r=2\`, gzip | $OM_GZ_BYTES bytes, $OM_GZ_FIRST ms | | | compressed once per load; kept: $OM_GZ_KEPT ms |
| \`/openmetrics?r=0\`, two label sets asked in turn vs one asked again and again | $OM_TURN x | at most 1.5 x | $(verdict "$OM_TURN" 1.5 0) | medians of 20 answers: $OM_TWO ms against $OM_ONE ms (instance labels, the default budget) |
| \`/table?f=*\` (60 fields, range 0) | $TABLE responses/s | at least 60/s | $(verdict "$TABLE" 60 1) | made for every request (the 60 fields in 240 orders, date and unit forms) |
| the page with its data (HTML, script, style sheet, JSON of the 12 charts) | $PAGE_BYTES bytes, $PAGE_REQUESTS requests | | | $PAGE_GZIP bytes gzip-compressed, as a browser gets it; the script is uPlot's and ours |
| time to the first interactive chart (browser test, headless Chromium) | $FIRST_CHART ms | | | from the start of navigation |
| \`/table?format=json\` (the page's 12 charts, 1050 to 1550 slots) | $JSON_MADE responses/s | at least 200/s | $(verdict "$JSON_MADE" 200 1) | made for every request (500 windows in turn), load $JSON_LOAD; gzip as a browser takes it $JSON_MADE_GZ/s; the same table kept: $JSON_KEPT/s |
| \`/view?f=cpu\` (one chart, 240 rows) | $VIEW_MS ms | under 5 ms | $(verdict "$VIEW_MS" 5 0) | median of 51 by curl, a connection each; 8 connections: $VIEW_RATE/s |
| \`/metrics\` and \`/status\` from a second client beside 200 connections drawing uncached charts | $CHEAP_P99 ms p99 | under 100 ms | $(verdict "$CHEAP_P99" 100 0) | 200 requests by curl, 20 ms apart; max $CHEAP_MAX ms |
| charts drawn by those 200 connections (2xx) | $FLOOD_CHARTS/s | at least 643/s (714/s less 10 %) | $(verdict "$FLOOD_CHARTS" 643 1) | one address: beyond its 8 expensive requests at once the flood gets 503 ($FLOOD_503/s) |
| reload of a changed 6 MB file (\`charts_reload\`, in-process) | $RELOAD_MED ms | at most 3 ms | $(verdict "$RELOAD_MED" 3 0) | median of 31 after a rename; min $RELOAD_MIN, max $RELOAD_MAX ms |

Also, answers the server keeps until the file changes: the same \`/chart?f=cpu\` again and again $CHART_KEPT/s ($RATIO_KEPT x the processes), the same \`/table?f=*\` $TABLE_KEPT/s, and \`/metrics\` above (made once per load); the first \`/status\` answer after a rename, over HTTP (stat, reload, answer; curl's time_total): $HTTP_RELOAD ms median of 11.
EOF
cat >>"$SECTION" <<EOF

## statsweb under siege

Written by the same run: each case against a fresh server (\`-C 1000 -P 1000 -S 0\`, budget \`-M\` 256 MiB by default) over the same file, driven by \`bench/statsweb_siege.cpp\`. The monitoring client asks \`/metrics\` and \`/status\` (gzip) in turn, 10 ms apart, a connection each.

| What | Measured | Target | Verdict | Note |
|---|---|---|---|---|
| monitoring beside a gzip flood (16 connections asking the gzip forms of 16 kept histories, 10 s) | $GZ_P99 ms p99 | under 100 ms | $(verdict "$GZ_P99" 100 0) | max $GZ_MAX ms; $GZ_N gzip answers, each history compressed once off the polling threads |
| monitoring beside bursts of 64 identical requests right after each of 20 changes of the file | $BURST_P99 ms p99 | under 100 ms | $(verdict "$BURST_P99" 100 0) | max $BURST_MAX ms; $BURST_OK of $BURST_ALL burst answers 200 (\`/metrics\`, a chart) |
| peak resident size with 256 non-readers of differing histories (8 addresses) | $NR_PEAK MiB | at most 256 MiB above the start | $(verdict "$((NR_PEAK - NR_BEFORE))" 256 0) | from $NR_BEFORE MiB; $NR_OK answered 200, $NR_BUSY 503 with Retry-After (the budget) |
EOF
if [ -f "$RESULTS" ]; then
    # Everything before the earlier statsweb sections, then the new ones.
    awk '/^## statsweb( under siege)?$/ {skip = 1} /^## / && !/^## statsweb( under siege)?$/ {skip = 0} !skip' "$RESULTS" >"$WORK/rest.md"
    sed -e :a -e '/^\n*$/{$d;N;ba' -e '}' "$WORK/rest.md" >"$RESULTS"
    echo >>"$RESULTS"
fi
cat "$SECTION" >>"$RESULTS"
echo "statsweb bench: wrote its section of ${RESULTS#"$ROOT"/}"

# --- the page as a browser loads it: section "## statsweb page" --------------------------------
# From the browser test's own line (headless Chromium, the demo's data file): the bytes of the
# first load (every request, as transferred, gzip where taken), the bytes of one refresh (its
# /status and the since= slots) and the time until all 12 charts were drawn. Writes the section
# "## statsweb page" at the end of RESULTS, replacing the one there.
page_section() {  # BROWSER_OUTPUT
    local line drawn first requests refresh since section=$WORK/page.md
    line=$(grep '^time to all charts drawn: ' <<<"$1" || true)
    if [ -z "$line" ]; then
        echo "statsweb bench: the browser test did not run; no page section" >&2
        return 0
    fi
    drawn=$(sed -n 's/^time to all charts drawn: \([0-9]*\) ms.*/\1/p' <<<"$line")
    first=$(sed -n 's/.*first load: \([0-9]*\) bytes in \([0-9]*\) requests.*/\1/p' <<<"$line")
    requests=$(sed -n 's/.*first load: [0-9]* bytes in \([0-9]*\) requests.*/\1/p' <<<"$line")
    refresh=$(sed -n 's/.*one refresh: \([0-9]*\) bytes.*/\1/p' <<<"$line")
    since=$(sed -n 's/.*one refresh: [0-9]* bytes (\([0-9]*\) of them.*/\1/p' <<<"$line")
    printf '%-40s %10s ms; first load %s bytes, refresh %s bytes\n' "page: all charts drawn" \
        "$drawn" "$first" "$refresh" >&2
    cat >"$section" <<EOF2
## statsweb page

Written by \`bench/statsweb_bench.sh\` ($(date -u '+%Y-%m-%d %H:%M UTC'), source $REV), from the browser test's own figures (\`tests/browser/page_test.js\`, headless Chromium at 1400 × 1000 over statsgen's demo file, range 0, 12 charts of 1550 slots).

| What | Measured | Note |
|---|---|---|
| first load of the page, every request as transferred | $first bytes in $requests requests | HTML, style sheet, script (uPlot's and ours), the JSON of the 12 charts' window, /status; gzip where the browser takes it |
| one refresh | $refresh bytes | /status and the slots since the last complete one (\`since=\`): $since bytes; a tab on range 0 costs that a minute; on a long range only /status is asked between its slots |
| time to all charts drawn | $drawn ms | from the start of navigation until the 12 interactive charts are drawn |
EOF2
    awk '/^## statsweb page$/ {skip = 1; next} /^## / {skip = 0} !skip' "$RESULTS" >"$WORK/rest2.md"
    sed -e :a -e '/^\n*$/{$d;N;ba' -e '}' "$WORK/rest2.md" >"$RESULTS"
    echo >>"$RESULTS"
    cat "$section" >>"$RESULTS"
}
page_section "$BROWSER_OUT"
