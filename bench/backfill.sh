#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# statsweb-backfill's figures: one server's four ranges (a 4,096-day file) into VictoriaMetrics
# and into a running Prometheus (seconds, disk after the load), and the command over 3 servers
# (100, 4,096 and 30 days) into VictoriaMetrics. Everything on loopback in a temporary folder.
# Writes its section "## statsweb-backfill" into RESULTS (default bench/results.md), replacing
# the one there, with the 1,000-server extrapolation.
#   bench/backfill.sh BUILD_DIR [RESULTS]
set -euo pipefail
build="${1:?usage: bench/backfill.sh BUILD_DIR [RESULTS]}"
src="$(cd "$(dirname "$0")/.." && pwd)"
results="${2:-$src/bench/results.md}"
load_before="$(cut -d' ' -f1-3 /proc/loadavg)"
backfill="$src/tools/statsweb-backfill"
for tool in /usr/bin/victoria-metrics /usr/bin/prometheus /usr/bin/promtool; do
  [ -x "$tool" ] || { echo "skipped: $tool is not installed"; exit 0; }
done
export TZ=Europe/Warsaw
tmp="$(mktemp -d)"
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; rm -rf "$tmp"; }
trap cleanup EXIT
port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
now=$(( $(date +%s) / 60 * 60 ))

# Three servers; cs2 holds 4,096 days.
: > "$tmp/fleet.yml"
i=0
for days in 100 4096 30; do
  i=$((i + 1))
  "$build/statsgen" -o "$tmp/cs$i.zel" -e "$now" -d "$days" -s "$i"
  "$build/statsweb/statsweb" -i "$tmp/cs$i.zel" -l 127.0.0.1:0 -n "cs$i" > "$tmp/web$i.out" 2>/dev/null &
  pids+=($!)
done
sleep 1
for i in 1 2 3; do
  p=$(sed -n 's/.*:\([0-9]*\)\/*$/\1/p' "$tmp/web$i.out")
  printf -- "- targets: ['127.0.0.1:%s']\n  labels:\n    instance: cs%s\n" "$p" "$i" >> "$tmp/fleet.yml"
done
sed -n '4,6p' "$tmp/fleet.yml" > "$tmp/one.yml"

start_vm() {
  vport=$(port)
  /usr/bin/victoria-metrics -storageDataPath="$tmp/$1" -httpListenAddr=127.0.0.1:$vport \
    -retentionPeriod=12y -dedup.minScrapeInterval=1ms > "$tmp/$1.log" 2>&1 &
  vmpid=$!
  pids+=($vmpid)
  for _ in $(seq 100); do curl -sf "http://127.0.0.1:$vport/health" > /dev/null && break; sleep 0.1; done
}

seconds() { local t0=$1; python3 -c "import time; print('%.1f' % (time.time() - $t0))"; }
kb() { du -sk "$1" | awk '{print $1}'; }
samples() { sed -n 's/^Done: .*, \([0-9,]*\) samples,.*/\1/p' | tr -d ,; }
declare -A fig
# Each timed run starts from servers that make their answers afresh: a copy renamed over each
# file is a new load for statsweb, which drops the answers it kept.
cold() {
  for f in "$tmp"/cs*.zel; do cp "$f" "$f.new" && mv "$f.new" "$f"; done
}

# What one server sends: its four ranges gzip-compressed as the command asks them, and one
# scrape of /metrics.
p2=$(sed -n '4s/.*:\([0-9]*\).*/\1/p' "$tmp/fleet.yml")
gz=0
plain=0
for r in 0 1 2 3; do
  gz=$((gz + $(curl -s -H 'Accept-Encoding: gzip' -o /dev/null -w '%{size_download}' \
    "http://127.0.0.1:$p2/openmetrics?r=$r&job=zelstats&instance=cs2")))
  plain=$((plain + $(curl -s -o /dev/null -w '%{size_download}' \
    "http://127.0.0.1:$p2/openmetrics?r=$r&job=zelstats&instance=cs2")))
done
fig[text_bytes]=$plain
fig[gzip_bytes]=$gz
fig[scrape_gzip]=$(curl -s -H 'Accept-Encoding: gzip' -o /dev/null -w '%{size_download}' "http://127.0.0.1:$p2/metrics")
fig[scrape_plain]=$(curl -s -o /dev/null -w '%{size_download}' "http://127.0.0.1:$p2/metrics")

echo "== one server (4,096 days), four ranges =="
start_vm vm1
cold
t0=$(date +%s.%N)
fig[one_samples]=$(python3 "$backfill" -q --vm "http://127.0.0.1:$vport" "$tmp/one.yml" | samples)
fig[vm_s]=$(seconds "$t0")
curl -s "http://127.0.0.1:$vport/internal/force_flush"
kill "$vmpid"; wait "$vmpid" 2>/dev/null || true
fig[vm_kb]=$(kb "$tmp/vm1")
echo "VictoriaMetrics: ${fig[vm_s]} s, ${fig[one_samples]} samples, ${fig[vm_kb]} KB"

pport=$(port)
printf 'global: {scrape_interval: 1m}\n' > "$tmp/prometheus.yml"
mkdir -p "$tmp/prom"
/usr/bin/prometheus --config.file="$tmp/prometheus.yml" --storage.tsdb.path="$tmp/prom" \
  --storage.tsdb.retention.time=12y --web.listen-address=127.0.0.1:$pport --log.level=warn \
  > "$tmp/prom.log" 2>&1 &
ppid=$!
pids+=($ppid)
for _ in $(seq 100); do curl -sf "http://127.0.0.1:$pport/-/ready" > /dev/null && break; sleep 0.1; done
cold
t0=$(date +%s.%N)
python3 "$backfill" -q --prometheus-data "$tmp/prom" --prometheus-url "http://127.0.0.1:$pport" "$tmp/one.yml" > /dev/null
fig[prom_s]=$(seconds "$t0")
fig[prom_blocks]=$(ls "$tmp/prom" | grep -c '^[0-9A-Z]\{26\}$')
fig[prom_kb]=$(du -skc "$tmp"/prom/[0-9A-Z]*/ | tail -1 | awk '{print $1}')
kill "$ppid"; wait "$ppid" 2>/dev/null || true
echo "Prometheus: ${fig[prom_s]} s, ${fig[prom_blocks]} blocks, ${fig[prom_kb]} KB"

echo "== the command over 3 servers into VictoriaMetrics =="
start_vm vm3
cold
t0=$(date +%s.%N)
fig[three_samples]=$(python3 "$backfill" --vm "http://127.0.0.1:$vport" "$tmp/fleet.yml" | tee /dev/stderr | samples)
fig[three_s]=$(seconds "$t0")
curl -s "http://127.0.0.1:$vport/internal/force_flush"
cold
t0=$(date +%s.%N)
fig[since_samples]=$(python3 "$backfill" -q --since 3h --vm "http://127.0.0.1:$vport" "$tmp/fleet.yml" | samples)
fig[since_s]=$(seconds "$t0")
kill "$vmpid"; wait "$vmpid" 2>/dev/null || true
fig[three_kb]=$(kb "$tmp/vm3")
echo "3 servers: ${fig[three_s]} s, ${fig[three_samples]} samples, ${fig[three_kb]} KB;" \
  "--since 3h: ${fig[since_s]} s, ${fig[since_samples]} samples"

# --- results.md section ------------------------------------------------------------------------
figs="$tmp/figures"
for k in "${!fig[@]}"; do echo "$k=${fig[$k]}"; done > "$figs"
python3 - "$figs" "$results" "$load_before" "$(cut -d' ' -f1-3 /proc/loadavg)" \
  "$(git -C "$src" rev-parse --short HEAD 2>/dev/null || echo unknown)" <<'PY'
import os, sys, time
figs, results, load_before, load_after, rev = sys.argv[1:6]
f = dict(l.strip().split("=", 1) for l in open(figs) if "=" in l)
n = {k: float(v) for k, v in f.items()}
mb = lambda kb: "%.1f MB" % (kb / 1024)
hours = lambda s: "%.1f hours" % (s / 3600)
g = lambda x: "{:,}".format(int(x))
rate = n["three_samples"] / n["three_s"]                 # samples/s over 3 servers, --parallel 4
vm_fleet_s = 1000 * n["one_samples"] / rate
per_sample = n["three_kb"] * 1024 / n["three_samples"]
since_fleet_s = -(-1000 // 4) * n["since_s"]            # 4 at a time, each as long as the 3 at once
L = ["## statsweb-backfill", "",
     "Written by `bench/backfill.sh BUILD_DIR` (run by hand; not part of `make bench`), %s, "
     "source %s, on %s; load average before / after: %s / %s (other builds shared the machine, "
     "so the seconds are upper bounds). Servers are statsgen files on loopback: one of 4,096 days "
     "(%s samples; its four ranges %s of text, %s gzip-compressed on the wire), and three of "
     "100, 4,096 and 30 days (%s samples)." % (
         time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()), rev,
         "%d cores" % os.cpu_count(), load_before, load_after,
         g(n["one_samples"]), "%.1f MB" % (n["text_bytes"] / 1e6),
         "%.1f MB" % (n["gzip_bytes"] / 1e6), g(n["three_samples"])), "",
     "| what | seconds | disk |", "|---|---|---|",
     "| one server's four ranges into VictoriaMetrics 1.79 (`--vm`) | %.1f | %s |" % (
         n["vm_s"], mb(n["vm_kb"])),
     "| one server's four ranges into a running Prometheus 2.42 (`--prometheus-data`, %d blocks) "
     "| %.1f | %s |" % (n["prom_blocks"], n["prom_s"], mb(n["prom_kb"])),
     "| 3 servers into VictoriaMetrics, `--parallel 4` | %.1f | %s |" % (
         n["three_s"], mb(n["three_kb"])),
     "| the hourly `--since 3h` run over those 3 servers (%s samples) | %.1f | – |" % (
         g(n["since_samples"]), n["since_s"]), "",
     "1,000 servers, extrapolated linearly in servers from these figures, each server with the "
     "longest history (11 years, an upper bound):",
     "- VictoriaMetrics: %s samples in %.1f s is %s samples/s, so %s M samples in about %s s "
     "(%s) with `--parallel 4` on this machine; disk %.1f bytes per sample over the three "
     "servers, about %.1f GB (one server alone: %s × 1,000)." % (
         g(n["three_samples"]), n["three_s"], g(rate), g(n["one_samples"] * 1000 / 1e6),
         g(vm_fleet_s), hours(vm_fleet_s), per_sample,
         per_sample * n["one_samples"] * 1000 / 1e9, mb(n["vm_kb"])),
     "- Prometheus: one file at a time, %.1f s × 1,000 ≈ %s; %s × 1,000 ≈ %.1f GB in %s blocks "
     "(the retention must cover 11 years to keep them)." % (
         n["prom_s"], hours(n["prom_s"] * 1000), mb(n["prom_kb"]),
         n["prom_kb"] * 1000 / 1024 / 1024, g(n["prom_blocks"] * 1000)),
     "- The hourly gap filling: the 3 servers at once took %.1f s, so 1,000 servers 4 at a time "
     "about 250 × %.1f s ≈ %.0f minutes of each hour; raise `--parallel` for larger fleets." % (
         n["since_s"], n["since_s"], since_fleet_s / 60),
     "- Scrapes every 20 s: 3 per minute per server, %.1f KB gzip each (%.1f KB plain), so 50 "
     "requests/s and %.0f KB/s for 1,000 servers." % (
         n["scrape_gzip"] / 1000, n["scrape_plain"] / 1000, 50 * n["scrape_gzip"] / 1000),
     ""]
try:
    old = open(results, encoding="utf-8").read().split("\n")
except FileNotFoundError:
    old = []
# The section replaced where it is, or added at the end.
out, skip, placed = [], False, False
for line in old:
    if line == "## statsweb-backfill":
        skip, placed = True, True
        out += L
        continue
    if skip and line.startswith("## "):
        skip = False
    if not skip:
        out.append(line)
if not placed:
    out += ([""] if out and out[-1] != "" else []) + L
text = "\n".join(out).rstrip("\n") + "\n"
open(results, "w", encoding="utf-8").write(text)
print("\n".join(L))
PY
