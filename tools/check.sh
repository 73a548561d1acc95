#!/usr/bin/env bash
# Runs every test suite: installs what a fresh Debian 12 machine lacks, then
# the release suite and the whole suite again under AddressSanitizer and UBSan.
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
for package in cmake g++ libgtest-dev libbenchmark-dev python3 pkgconf; do
  dpkg -s "$package" >/dev/null 2>&1 || need+=("$package")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "== installing ${need[*]}"
  [ "$(id -u)" = 0 ] || { echo "need root to install ${need[*]}" >&2; exit 1; }
  apt-get update -q
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${need[@]}"
fi

echo "== release suite"
cmake --workflow --preset check
echo "== sanitizer suite"
cmake --workflow --preset sanitize
echo "== all suites passed"
