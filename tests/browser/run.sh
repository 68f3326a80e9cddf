#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The browser test under ctest: exit 77 (skipped) when node, its modules or Chromium are missing.
#   tests/browser/run.sh STATSWEB STATSDUMP STATSGEN
here=$(cd "$(dirname "$0")" && pwd)
if ! command -v node >/dev/null 2>&1; then
  echo "SKIPPED: node is not installed (tools/install-deps.sh browser)"
  exit 77
fi
if [ ! -d "$here/node_modules/puppeteer-core" ] || [ ! -d "$here/node_modules/axe-core" ]; then
  echo "SKIPPED: $here/node_modules is missing (tools/install-deps.sh browser runs npm ci there)"
  exit 77
fi
exec node "$here/page_test.js" "$@"
