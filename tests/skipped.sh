#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Lists the checks that a ctest run skipped, each with its reason, from the run's JUnit report
# (ctest --output-junit): the line a GoogleTest skip printed after "Skipped", or a script
# test's "skipped: ..." line.
#   tests/skipped.sh REPORT.xml
report="${1:?usage: tests/skipped.sh REPORT.xml}"
[ -f "$report" ] || { echo "Skipped checks: unknown (no report $report)"; exit 0; }
awk '
  /<testcase / {
    name = $0; sub(/.*<testcase name="/, "", name); sub(/".*/, "", name); sub(/  #.*/, "", name)
    skipped = 0; why = ""; out = 0; next
  }
  /<skipped/ { skipped = 1; next }
  /<system-out>/ { out = 1; sub(/.*<system-out>/, "") }
  out && why == "" && prev ~ /: Skipped$/ { why = $0 }
  out && why == "" && /^skipped: / { why = $0; sub(/^skipped: /, "", why) }
  out { prev = $0 }
  /<\/system-out>/ { out = 0 }
  /<\/testcase>/ {
    if (skipped) { n++; list[n] = "  " name ": " (why == "" ? "(no reason given)" : why) }
  }
  END {
    if (n == 0) { print "Skipped checks: none."; exit }
    print "Skipped checks (" n "):"
    for (i = 1; i <= n; i++) print list[i]
  }' "$report" | sed 's/&lt;/</g; s/&gt;/>/g; s/&quot;/"/g; s/&apos;/'"'"'/g; s/&amp;/\&/g'
