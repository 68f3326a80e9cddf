#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# What the project needs from Debian's packages and npm, by purpose, and their installation.
#
#   tools/install-deps.sh [PURPOSE...]   install what is missing (default: every purpose)
#   tools/install-deps.sh --list         print the purposes and their packages
#   tools/install-deps.sh --check        only say what is missing (exit 1 when anything is)
#
# As root with apt-get, it installs what is missing; otherwise it prints the one
# "apt-get install" line to run and exits 1. Exit 0 when everything asked for is there.
set -euo pipefail

# purpose: Debian packages (each line: purpose, then the packages)
PURPOSES=(
  "build:cmake g++ make zlib1g-dev pkg-config"
  "statsweb:libmicrohttpd-dev"
  "tests:libgtest-dev libpng-dev openssl curl file gnutls-bin"
  "sanitize:clang libclang-rt-14-dev"
  "package:dpkg-dev debhelper fakeroot lintian abigail-tools reuse autopkgtest systemd"
  "prometheus:prometheus victoria-metrics python3-prometheus-client"
  "browser:chromium nodejs npm"
)

packages_of() {  # the packages of the purposes named (all of them without a name)
  local want=("$@") entry name
  for entry in "${PURPOSES[@]}"; do
    name=${entry%%:*}
    if [ ${#want[@]} -eq 0 ] || [[ " ${want[*]} " == *" $name "* ]]; then
      echo "${entry#*:}"
    fi
  done | tr ' ' '\n' | sort -u
}

installed() {  # a package counts as present when dpkg has it, or, for node and npm, the command
  case "$1" in
    nodejs) command -v node >/dev/null 2>&1 && return 0 ;;
    npm) command -v npm >/dev/null 2>&1 && return 0 ;;
  esac
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q '^install ok installed$'
}

mode=install
args=()
for a in "$@"; do
  case "$a" in
    --list) mode=list ;;
    --check) mode=check ;;
    -h|--help) sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "unknown option $a" >&2; exit 2 ;;
    *) args+=("$a") ;;
  esac
done
for a in "${args[@]+"${args[@]}"}"; do
  printf '%s\n' "${PURPOSES[@]}" | grep -q "^$a:" || { echo "unknown purpose $a" >&2; exit 2; }
done

if [ "$mode" = list ]; then
  printf '%s\n' "${PURPOSES[@]}" | sed 's/:/: /'
  exit 0
fi

# The browser test's node modules (puppeteer-core, no browser download), as locked in
# tests/browser/package-lock.json.
node_modules() {
  local dir
  dir="$(cd "$(dirname "$0")/.." && pwd)/tests/browser"
  packages_of "${args[@]+"${args[@]}"}" | grep -qx npm || return 0
  [ -d "$dir/node_modules/puppeteer-core" ] && [ -d "$dir/node_modules/axe-core" ] && return 0
  if [ "$mode" = check ]; then
    echo "missing: $dir/node_modules (install with: npm ci --prefix $dir)"
    return 1
  fi
  echo "installing: the node modules of $dir"
  PUPPETEER_SKIP_DOWNLOAD=1 npm ci --prefix "$dir" --no-audit --no-fund >/dev/null
}

missing=()
while read -r p; do
  [ -n "$p" ] && ! installed "$p" && missing+=("$p")
done < <(packages_of "${args[@]+"${args[@]}"}")
if [ ${#missing[@]} -eq 0 ]; then
  node_modules
  exit $?
fi

line="apt-get install ${missing[*]}"
if [ "$mode" = check ]; then
  echo "missing: ${missing[*]} (install with: $line)"
  exit 1
fi
if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null 2>&1; then
  echo "missing: ${missing[*]}; run as root: $line" >&2
  exit 1
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq "${missing[@]}" >/dev/null
node_modules
