#!/usr/bin/env bash
# Runs every test suite: installs what a fresh Debian 12 machine lacks, then
# the release suite, the whole suite again under AddressSanitizer and UBSan,
# and each fuzz target for a short while on its committed corpus.
# Last, the Windows DLL is cross-built and its suite run under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
for package in cmake g++ libgtest-dev libbenchmark-dev python3 pkgconf; do
  dpkg -s "$package" >/dev/null 2>&1 || need+=("$package")
done
# The fuzz targets: clang and its libFuzzer runtime.
for package in clang libclang-rt-14-dev; do
  dpkg -s "$package" >/dev/null 2>&1 || need+=("$package")
done
# The Windows suite: the mingw-w64 cross compiler, and 32-bit Wine to run it.
for package in g++-mingw-w64-i686 wine wine32:i386; do
  dpkg -s "$package" >/dev/null 2>&1 || need+=("$package")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "== installing ${need[*]}"
  [ "$(id -u)" = 0 ] || { echo "need root to install ${need[*]}" >&2; exit 1; }
  if [[ " ${need[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  apt-get update -q
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${need[@]}"
fi

echo "== release suite"
cmake --workflow --preset check
echo "== sanitizer suite"
cmake --workflow --preset sanitize
echo "== fuzz targets, 20 s each"
cmake --preset fuzz
cmake --build --preset fuzz
# Each target starts from a copy of its committed corpus, so that the run
# leaves the work tree alone; an input that fails is kept in build/fuzz/findings
# to become a regression case.
mkdir -p build/fuzz/findings
for target in line_table decode string_table; do
  run=build/fuzz/run/$target
  rm -rf "$run" && mkdir -p "$run/corpus"
  cp fuzz/corpus/$target/* "$run/corpus/"
  if ! build/fuzz/fuzz/fuzz_$target -max_total_time=20 -timeout=10 -print_final_stats=1 \
      -artifact_prefix=build/fuzz/findings/$target- "$run/corpus" >"$run/log" 2>&1; then
    tail -n 40 "$run/log"
    echo "fuzz_$target failed: the input is in build/fuzz/findings" >&2
    exit 1
  fi
  echo "fuzz_$target: $(grep -E '^stat::number_of_executed_units' "$run/log" | awk '{print $2}') runs, clean"
done
echo "== Windows suite: Vellomar.dll under Wine"
cmake --workflow --preset windows
# The test host ends with "N passed, M failed": no such line means that the
# suite never ran.
grep -Eq '^[1-9][0-9]* passed, 0 failed' build/windows/Testing/Temporary/LastTest.log || {
  echo "the Windows suite did not run under Wine" >&2
  exit 1
}
echo "== all suites passed"
