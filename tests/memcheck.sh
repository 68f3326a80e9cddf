#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# End-to-end runs under valgrind memcheck: a simulated chunk server writes a demo data file,
# statsdump prints tables and draws charts from it, then every error path runs: bad command
# lines, files that cannot be loaded (missing, empty, a directory, a FIFO, truncated, bad tag,
# extreme header fields), odd names, and chart files that cannot be created or written.
#
# Usage: tests/memcheck.sh BUILD_DIR   (the directory holding statsdump and statsgen)
#
# A run passes when valgrind reports no error and no definitely lost block and the program ends
# by itself with its status (0, or `want=N run ...`) within the time limit (MEMCHECK_TIMEOUT seconds, default 300); the
# error paths must also print their own message. Blocks still reachable at exit (a store left
# to process exit) are shown but not counted as leaks. Prints one summary line per run and a
# total; exits non-zero when any run fails.
set -uo pipefail

build=${1:?usage: $0 BUILD_DIR}
build=$(cd "$build" && pwd)
statsdump="$build/statsdump"
statsgen="$build/statsgen"
for bin in "$statsdump" "$statsgen"; do
  [ -x "$bin" ] || { echo "memcheck: $bin not built" >&2; exit 2; }
done
command -v valgrind >/dev/null || { echo "memcheck: valgrind is needed (apt-get install valgrind)" >&2; exit 2; }

limit=${MEMCHECK_TIMEOUT:-300}
work=$(mktemp -d "${TMPDIR:-/tmp}/zelmemcheck.XXXXXX")
trap 'chmod -R u+w "$work"; rm -rf "$work"' EXIT
cd "$work" || exit 2
mkdir logs

runs=0
failed=0
# [want=STATUS] run NAME PROGRAM ARGS...: one program under memcheck, with its summary line;
# the program must end with STATUS (default 0: 1 when a file fails, 2 for a usage error).
run() {
  local name=$1
  shift
  local log="logs/$runs.log"
  runs=$((runs + 1))
  timeout -k 5 "$limit" valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
    --errors-for-leak-kinds=definite --show-leak-kinds=definite --track-fds=no \
    --log-file="$log" "$@" >"logs/$runs.out" 2>"logs/$runs.err" </dev/null
  local rc=$?
  local errors definite reachable verdict=ok
  errors=$(sed -n 's/.*ERROR SUMMARY: \([0-9,]*\) errors.*/\1/p' "$log" | tail -1)
  definite=$(sed -n 's/.*definitely lost: \([0-9,]*\) bytes.*/\1/p' "$log" | tail -1)
  reachable=$(sed -n 's/.*still reachable: \([0-9,]*\) bytes.*/\1/p' "$log" | tail -1)
  if [ "$rc" -eq 124 ] || [ "$rc" -eq 137 ]; then
    verdict="FAILED: did not end within ${limit}s"
  elif grep -q "Process terminating with default action of signal" "$log"; then
    verdict="FAILED: $(grep -m1 'Process terminating' "$log" | sed 's/^==[0-9]*== //')"
  elif [ "$rc" -ne "${want:-0}" ]; then
    verdict="FAILED: exit status $rc, not ${want:-0}"
  elif [ "${errors:-x}" != 0 ]; then
    verdict="FAILED: ${errors:-no} errors"
  fi
  if [ "$verdict" != ok ]; then
    failed=$((failed + 1))
    grep -E '^==[0-9]+== (Invalid|Conditional|Use of|Syscall|Mismatched|Source and|.*definitely lost|   (at|by) 0x)' \
      "$log" | head -20 | sed 's/^/    /'
  fi
  printf '%-58s errors %-3s definitely lost %-6s still reachable %-10s %s\n' "$name" \
    "${errors:-?}" "${definite:-0}" "${reachable:-0}" "$verdict"
}

# expect TEXT: the last run's standard error holds TEXT.
expect() {
  if ! grep -qF -- "$1" "logs/$runs.err"; then
    failed=$((failed + 1))
    echo "    FAILED: standard error lacks \"$1\": $(head -c 200 "logs/$runs.err")"
  fi
}

# be32 N: the four big-endian bytes of N as a printf format.
be32() {
  printf '\\x%02x\\x%02x\\x%02x\\x%02x' $((($1 >> 24) & 255)) $((($1 >> 16) & 255)) \
    $((($1 >> 8) & 255)) $(($1 & 255))
}
# header RINGLENG COUNT NEWEST [TAG]: a data file header.
header() {
  printf "$(be32 "${4:-65536}")$(be32 "$1")$(be32 "$2")$(be32 "$3")"
}
rec=131172                  # one record of the demo file: 100-byte name and four rings of 4096
# record K: the K-th record of the demo file.
record() { tail -c +$((17 + $1 * rec)) demo.zel | head -c "$rec"; }

echo "== the demo: a simulated chunk server writes 100 days, statsdump reads them"
run "statsgen: 100 days" "$statsgen" -o demo.zel
newest=$(od -An -tu1 -j12 -N4 demo.zel | awk '{print $1*16777216 + $2*65536 + $3*256 + $4}')
run "table: all fields, range 1, -H -d" "$statsdump" -i demo.zel -f '*' -r 1 -H -d
run "table: cpu,mem,space, range 0, -h, separator ," "$statsdump" -i demo.zel -f cpu,mem,space -h -s , -r 0
run "table: ucpu,hddcnt, range 3" "$statsdump" -i demo.zel -f ucpu,hddcnt -r 3
run "charts: cpu,space,bwin, range 0" "$statsdump" -i demo.zel -f cpu,space,bwin -r 0 -p day.png
run "charts: cpu,space,bwin, range 2" "$statsdump" -i demo.zel -f cpu,space,bwin -r 2 -p month.png
run "charts: mem,chunks,hddcnt,udiff, range 3, 300x140" "$statsdump" -i demo.zel -f mem,chunks,hddcnt,udiff -r 3 -p year -x 300 -y 140
run "charts: load, -x 0 -y 0" "$statsdump" -i demo.zel -f load -p zero.png -x 0 -y 0
run "charts: hddopsr, -x -1 -y 99999999999 (largest)" "$statsdump" -i demo.zel -f hddopsr -r 1 -p big.png -x -1 -y 99999999999

echo "== command lines"
want=2 run "no arguments" "$statsdump"
want=2 run "no field" "$statsdump" -i demo.zel -r 1
expect "fields not specified"
want=2 run "unknown field only" "$statsdump" -i demo.zel -f nosuchfield
expect "statistic 'nosuchfield' not found"
want=2 run "unknown and known fields, repeated" "$statsdump" -i demo.zel -f 'ucpu,nope;ucpu' -f 'cpu ucpu' -f '*'
want=2 run "bad -r" "$statsdump" -i demo.zel -f ucpu -r 4
expect "usage: "
want=2 run "bad -s" "$statsdump" -i demo.zel -f ucpu -s ab
want=2 run "unknown option" "$statsdump" -i demo.zel -f ucpu -q
want=2 run "missing option argument" "$statsdump" -f ucpu -i
run "repeated -i and -p" "$statsdump" -i none1 -i none2 -i demo.zel -p none/x -p rep -f load -x 150 -y 120

echo "== data files that cannot be loaded"
: >empty.zel
mkdir adir
mkfifo fifo.zel
head -c $((16 + 100 + 50000)) demo.zel >cut.zel
head -c $((16 + 2 * rec)) demo.zel >cutrecord.zel
{ header 4096 48 "$newest" 256; tail -c +17 demo.zel; } >badtag.zel
{ header 4294967295 1 "$newest"; record 0; } >ringmax.zel
{ header 4096 4294967295 "$newest"; record 0; } >countmax.zel
{ header 8192 1 "$newest"; record 0; } >ring8192.zel
want=1 run "missing file" "$statsdump" -i none.zel -f ucpu
expect "file loading error: ENOENT (No such file or directory)"
want=1 run "0-byte file" "$statsdump" -i empty.zel -f ucpu
expect "error reading charts data file: "
want=1 run "directory" "$statsdump" -i adir -f ucpu
expect "error reading charts data file: EISDIR (Is a directory)"
want=1 run "FIFO" "$statsdump" -i fifo.zel -f ucpu
expect "error reading charts data file: "
want=1 run "cut inside the first ring" "$statsdump" -i cut.zel -f ucpu
expect "error reading charts data file: "
want=1 run "cut at a record boundary" "$statsdump" -i cutrecord.zel -f ucpu
expect "error reading charts data file: "
want=1 run "little-endian tag" "$statsdump" -i badtag.zel -f ucpu
expect "unrecognized charts data file format"
want=1 run "ring length 0xFFFFFFFF" "$statsdump" -i ringmax.zel -f ucpu
expect "error reading charts data file: "
want=1 run "chart count 0xFFFFFFFF" "$statsdump" -i countmax.zel -f ucpu
expect "error reading charts data file: "
want=1 run "ring length 8192 over rings of 4096" "$statsdump" -i ring8192.zel -f ucpu
expect "error reading charts data file: "

echo "== data files that load"
{ header 4096 2 "$newest"; printf 'u%.0s' $(seq 100); tail -c +117 demo.zel | head -c $((rec - 100)); record 0; } >noterm.zel
{ header 4096 2 "$newest"; record 0; record 0; } >twice.zel
{ header 4096 48 0; tail -c +17 demo.zel; } >newest0.zel
{ header 4096 48 4294967295; tail -c +17 demo.zel; } >newestmax.zel
{ header 4096 0 "$newest"; } >count0.zel
{ header 0 1 "$newest"; record 0 | head -c 100; } >ring0.zel
run "unterminated name, then the real record" "$statsdump" -i noterm.zel -f ucpu,cpu
run "a name that matches twice" "$statsdump" -i twice.zel -f ucpu,cpu -p twice -x 150 -y 120
run "newest minute 0" "$statsdump" -i newest0.zel -f cpu -d -p n0 -x 200 -y 120
run "newest minute 0xFFFFFFFF, table" "$statsdump" -i newestmax.zel -f cpu -d -r 3
run "newest minute 0xFFFFFFFF, chart" "$statsdump" -i newestmax.zel -f cpu -r 2 -p nmax -x 200 -y 120
run "chart count 0" "$statsdump" -i count0.zel -f cpu,mem -p c0 -x 150 -y 120
run "ring length 0" "$statsdump" -i ring0.zel -f ucpu

echo "== chart files that cannot be created or written"
mkdir out_cpu.png
ln -s /dev/full full_cpu.png
want=1 run "-p into a missing directory" "$statsdump" -i demo.zel -f cpu,load -p nodir/sub/out -x 150 -y 120
expect "can't create output file nodir/sub/out: ENOENT (No such file or directory)"
want=1 run "-p onto a directory" "$statsdump" -i demo.zel -f cpu -p out -x 150 -y 120
expect "can't create output file out: EISDIR (Is a directory)"
want=1 run "-p onto /dev/full" "$statsdump" -i demo.zel -f cpu -p full -x 150 -y 120
expect "can't write output file full: ENOSPC (No space left on device)"
want=1 run "-p name too long" "$statsdump" -i demo.zel -f cpu -p "$(printf 'n%.0s' $(seq 300))" -x 150 -y 120

echo "== total: $runs runs, $((runs - failed)) clean, $failed failed"
[ "$failed" -eq 0 ]
