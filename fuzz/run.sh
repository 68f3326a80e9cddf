#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the fuzz targets with clang's libFuzzer (AddressSanitizer and UBSan) in build-fuzz,
# generates the seed corpora into build-fuzz/corpus/<target>/ and runs every target for
# FUZZ_SECONDS seconds, as many side by side as there are processors (two at most), then
# shrinks each corpus to the inputs that keep its coverage (libFuzzer's -merge). Prints per
# target the executions, the time, executions per second of wall time and per second of the
# target's own processor time, the corpus size after the merge and the findings, then names the
# targets that ran fewer than FUZZ_MIN_RATE executions per processor second; exits non-zero
# when any target crashed, hung, leaked or ran out of memory.
#
# Environment: FUZZ_SECONDS (default 30), FUZZ_TARGETS (default: all six), FUZZ_BUILD_DIR
# (default build-fuzz), FUZZ_MIN_RATE (default 2000), FUZZ_JOBS (default: the processors, at
# most 2). Crash inputs go to build-fuzz/artifacts/<target>/; replay one with
#   build-fuzz/fuzz/<target>_fuzz build-fuzz/artifacts/<target>/crash-...
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-30}
build=${FUZZ_BUILD_DIR:-build-fuzz}
mkdir -p "$build"
build=$(cd "$build" && pwd)  # absolute: the command target runs in its own directory
targets=${FUZZ_TARGETS:-datafile command calc export ondemand statsweb}
min_rate=${FUZZ_MIN_RATE:-2000}

# Longest input per target: data files of the small catalogue with short rings, command lines,
# calc programs (the harness reads at most 96 tokens), export requests, web requests; the
# loaders' comparison reads data files like the data-file target.
declare -A maxlen=([datafile]=16384 [command]=512 [calc]=600 [export]=400 [ondemand]=16384
                   [statsweb]=512)

if ! command -v clang++ >/dev/null; then
  echo "fuzz: clang++ is needed (apt-get install clang)" >&2
  exit 2
fi
CC=clang CXX=clang++ cmake -S . -B "$build" -DZEL_FUZZ=ON -DZEL_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || exit 2
build_targets=(make_seeds)
for t in $targets; do build_targets+=("${t}_fuzz"); done
cmake --build "$build" -j2 --target "${build_targets[@]}" >"$build/build.log" 2>&1 || {
  tail -40 "$build/build.log"
  exit 2
}
"$build/fuzz/make_seeds" "$build/corpus" >/dev/null || exit 2
mkdir -p "$build/logs"

# The store's large blocks are kept between executions (fuzz/store_blocks.cpp); a small
# quarantine keeps use after free detectable for the rest without holding much memory.
export ASAN_OPTIONS="quarantine_size_mb=8:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:${UBSAN_OPTIONS:-}"

# execs/s: libFuzzer's executions per second of wall time; per CPU s: executions per second of
# the process's own processor time (user and system), the figure that holds on a machine
# shared with other work and the one compared with FUZZ_MIN_RATE.
#
# One target's run and corpus merge; its figures go to logs/<target>.result as one line:
# executions, seconds, execs/s, per CPU s, corpus size, result.
run_target() {
  local t=$1 artifacts="$build/artifacts/$1" log="$build/logs/$1.log" start end rc execs rate
  local corpus findings result cpurate timer=()
  mkdir -p "$artifacts"
  start=$(date +%s)
  rm -f "$build/logs/$t.cpu"
  [ -x /usr/bin/time ] && timer=(/usr/bin/time -f '%U %S' -o "$build/logs/$t.cpu")
  "${timer[@]}" "$build/fuzz/${t}_fuzz" "$build/corpus/$t" \
    -max_total_time="$seconds" -max_len="${maxlen[$t]}" -timeout=30 -rss_limit_mb=4096 \
    -print_final_stats=1 -close_fd_mask=3 -artifact_prefix="$artifacts/" >"$log" 2>&1
  rc=$?
  end=$(date +%s)
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  # The corpus shrunk to the inputs that keep its coverage.
  if [ "$rc" -eq 0 ]; then
    rm -rf "$build/corpus/$t.min"
    mkdir -p "$build/corpus/$t.min"
    if "$build/fuzz/${t}_fuzz" -merge=1 "$build/corpus/$t.min" "$build/corpus/$t" \
      -max_len="${maxlen[$t]}" -timeout=30 -rss_limit_mb=4096 -close_fd_mask=3 \
      >"$build/logs/$t.merge.log" 2>&1; then
      rm -rf "$build/corpus/$t"
      mv "$build/corpus/$t.min" "$build/corpus/$t"
    else
      rm -rf "$build/corpus/$t.min"
    fi
  fi
  corpus=$(ls "$build/corpus/$t" | wc -l)
  findings=$(ls "$artifacts" | grep -cE '^(crash|timeout|leak|oom|slow-unit)-' || true)
  result=ok
  if [ "$rc" -ne 0 ] || [ "$findings" -ne 0 ]; then
    result="FAILED (exit $rc, $findings artifacts in $artifacts)"
  fi
  # The times are the file's last line (time puts a line about the exit status before them).
  cpurate=$(tail -n 1 "$build/logs/$t.cpu" 2>/dev/null |
    awk -v n="${execs:-0}" '{ if ($1 + $2 > 0) printf "%.0f", n / ($1 + $2); else print "?" }')
  echo "${execs:-?} $((end - start)) ${rate:-?} ${cpurate:-?} $corpus $result" \
    >"$build/logs/$t.result"
}

# FUZZ_JOBS targets at a time (default: the processors, at most 2): the rate judged is per
# processor second, so running side by side does not change it.
jobs=${FUZZ_JOBS:-$(nproc 2>/dev/null || echo 1)}
[ "$jobs" -gt 2 ] 2>/dev/null && jobs=2
[ "$jobs" -ge 1 ] 2>/dev/null || jobs=1
running=0
for t in $targets; do
  rm -f "$build/logs/$t.result"
  run_target "$t" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n
    running=$((running - 1))
  fi
done
wait

failed=0
total_execs=0
slow=()
printf '%-10s %12s %8s %9s %12s %8s  %s\n' target executions seconds "execs/s" "per CPU s" \
  corpus result
for t in $targets; do
  read -r execs secs rate cpurate corpus result <"$build/logs/$t.result" 2>/dev/null ||
    { execs='?'; secs='?'; rate='?'; cpurate='?'; corpus='?'; result='FAILED (no result)'; }
  [ "$result" != ok ] && failed=1
  [ "$execs" = '?' ] || total_execs=$((total_execs + execs))
  printf '%-10s %12s %8s %9s %12s %8s  %s\n' "$t" "$execs" "$secs" "$rate" "$cpurate" \
    "$corpus" "$result"
  # Without a processor time (no /usr/bin/time) the wall-time rate is judged.
  judged=$cpurate
  [ "$judged" = "?" ] && judged=$rate
  if ! [ "$judged" -ge "$min_rate" ] 2>/dev/null; then slow+=("$t ($judged)"); fi
  if [ "$result" != ok ]; then
    grep -E 'ERROR|SUMMARY|property failed|runtime error|#[0-9]+ 0x' "$build/logs/$t.log" |
      head -30 | sed 's/^/    /'
  fi
done
echo "total executions: $total_execs"
if [ ${#slow[@]} -eq 0 ]; then
  echo "every target ran at least $min_rate executions per CPU second"
else
  echo "under $min_rate executions per CPU second: ${slow[*]}"
fi
exit $failed
