#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# statsweb-backfill's figures: one server's four ranges (a 4,096-day file) into VictoriaMetrics
# and into a running Prometheus (seconds, disk after the load), and the command over 3 servers
# (100, 4,096 and 30 days) into VictoriaMetrics. Everything on loopback in a temporary folder.
#   bench/backfill.sh BUILD_DIR
set -euo pipefail
build="${1:?usage: bench/backfill.sh BUILD_DIR}"
src="$(cd "$(dirname "$0")/.." && pwd)"
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
disk() { du -sk "$1" | awk '{printf "%.1f MB", $1 / 1024}'; }

echo "== one server (4,096 days), four ranges =="
start_vm vm1
t0=$(date +%s.%N)
python3 "$backfill" -q --vm "http://127.0.0.1:$vport" "$tmp/one.yml"
echo "VictoriaMetrics: $(seconds "$t0") s"
curl -s "http://127.0.0.1:$vport/internal/force_flush"
kill "$vmpid"; wait "$vmpid" 2>/dev/null || true
echo "VictoriaMetrics disk: $(disk "$tmp/vm1")"

pport=$(port)
printf 'global: {scrape_interval: 1m}\n' > "$tmp/prometheus.yml"
mkdir -p "$tmp/prom"
/usr/bin/prometheus --config.file="$tmp/prometheus.yml" --storage.tsdb.path="$tmp/prom" \
  --storage.tsdb.retention.time=12y --web.listen-address=127.0.0.1:$pport --log.level=warn \
  > "$tmp/prom.log" 2>&1 &
ppid=$!
pids+=($ppid)
for _ in $(seq 100); do curl -sf "http://127.0.0.1:$pport/-/ready" > /dev/null && break; sleep 0.1; done
t0=$(date +%s.%N)
python3 "$backfill" -q --prometheus-data "$tmp/prom" --prometheus-url "http://127.0.0.1:$pport" "$tmp/one.yml"
echo "Prometheus: $(seconds "$t0") s, $(ls "$tmp/prom" | grep -c '^[0-9A-Z]\{26\}$') blocks"
echo "Prometheus disk (blocks): $(du -skc "$tmp"/prom/[0-9A-Z]*/ | tail -1 | awk '{printf "%.1f MB", $1 / 1024}')"
kill "$ppid"; wait "$ppid" 2>/dev/null || true

echo "== the command over 3 servers into VictoriaMetrics =="
start_vm vm3
python3 "$backfill" --vm "http://127.0.0.1:$vport" "$tmp/fleet.yml"
curl -s "http://127.0.0.1:$vport/internal/force_flush"
t0=$(date +%s.%N)
python3 "$backfill" -q --since 3h --vm "http://127.0.0.1:$vport" "$tmp/fleet.yml"
echo "an hourly --since 3h run: $(seconds "$t0") s"
kill "$vmpid"; wait "$vmpid" 2>/dev/null || true
echo "VictoriaMetrics disk, 3 servers: $(disk "$tmp/vm3")"
