#!/usr/bin/env bash
# Runs every test suite: installs what a fresh Debian 12 machine lacks, then
# the release suite, the whole suite again under AddressSanitizer and UBSan,
# and each fuzz target for a short while on its committed corpus.
# Then the 64-bit ARM build's suite, under qemu-aarch64.
# Last, both Windows DLLs are cross-built and their suites run under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  cmake g++ libgtest-dev libbenchmark-dev python3 pkgconf
  # The package test: lintian, and what CPack's Debian generator runs.
  lintian dpkg-dev file
  # The fuzz targets: clang and its libFuzzer runtime.
  clang libclang-rt-14-dev
  # The example hosts in C# (Mono) and Free Pascal: the compilers and what
  # they run on, not the whole Mono or Free Pascal set.
  mono-mcs mono-runtime fp-compiler fp-units-rtl
  # The release suite on an emulated processor without AVX2.
  qemu-user
  # The 64-bit ARM build: Debian's aarch64 cross compiler, and the GoogleTest
  # sources that build compiles for itself; it runs under qemu-user too.
  g++-aarch64-linux-gnu googletest
  # The Windows suites: the mingw-w64 cross compilers, 64-bit Wine, and
  # 32-bit Wine for the kernels that run 32-bit programs.
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64 wine32:i386
)
need=()
for package in "${packages[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || need+=("$package")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "== installing ${need[*]}"
  [ "$(id -u)" = 0 ] || { echo "need root to install ${need[*]}" >&2; exit 1; }
  if [[ " ${need[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  # A mirror in the middle of a sync serves an index that does not match its
  # release file, and apt-get update fails for it; that passes in a while.
  # If it has not passed after a few tries, install from the release's own
  # suite alone: the security suite's index of one architecture may be the
  # one missing, and then the two architectures' candidates differ in version
  # and 32-bit Wine cannot be installed beside the 64-bit libraries.
  suite=()
  for try in 1 2 3; do
    apt-get update -q && break
    if [ "$try" = 3 ]; then
      suite=(-t "$(. /etc/os-release && echo "$VERSION_CODENAME")")
      echo "== apt-get update failed three times: installing from ${suite[1]} alone"
    else
      sleep 15
    fi
  done
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${suite[@]}" "${need[@]}"
fi

echo "== release suite"
cmake --workflow --preset check
# A host whose toolchain is missing reports itself skipped, which CTest
# counts as no failure; here, where every toolchain was installed above, it is one.
if skipped=$(grep '^skipped: the .* host' build/release/Testing/Temporary/LastTest.log); then
  echo "$skipped" >&2
  echo "an example host was not checked" >&2
  exit 1
fi
echo "== sanitizer suite"
cmake --workflow --preset sanitize
# The library picks its kernels at run time. On processors without AVX2 it
# must pick SSE2 and never run an AVX2 instruction (one would end the run
# with SIGILL), and a host must print what it prints on this machine: a
# Nehalem without AVX at all, and one with AVX and BMI1, whose BMI1 bit sits
# in leaf 7 right next to the AVX2 one.
for cpu in Nehalem Nehalem,+xsave,+avx,+bmi1; do
  echo "== release suite on a processor without AVX2 (qemu-x86_64 -cpu $cpu)"
  VELLOMAR_EXPECT_KERNELS=sse2 qemu-x86_64 -cpu "$cpu" build/release/tests/vellomar_tests --gtest_brief=1
  diff <(build/release/tools/vellomar-dump examples/marked.txt) \
       <(qemu-x86_64 -cpu "$cpu" build/release/tools/vellomar-dump examples/marked.txt)
done
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
echo "== 64-bit ARM suite: cross-built for aarch64, under qemu-aarch64"
cmake --workflow --preset linux-arm64
# The Windows host ends with "N passed, M failed": no such line means that
# the suite never ran.
# Programs that Wine ended before they wrote anything, and that wine-run
# started again, are counted, so that a Wine that grows worse is seen.
windows_suite_ran() {
  grep -Eq '^[1-9][0-9]* passed, 0 failed' "build/$1/Testing/Temporary/LastTest.log" || {
    echo "the $2 Windows suite did not run under Wine" >&2
    exit 1
  }
  local retries=build/$1/wineprefix.retries
  if [ -s "$retries" ]; then
    echo "the $2 suite: $(wc -l <"$retries") program start(s) that Wine ended silently, made again:"
    cat "$retries"
  fi
}
rm -f build/windows64/wineprefix.retries build/windows/wineprefix.retries
echo "== Windows suite: 64-bit Vellomar.dll under 64-bit Wine"
cmake --workflow --preset windows64
windows_suite_ran windows64 64-bit
echo "== Windows suite: 32-bit Vellomar.dll under 32-bit Wine"
# Some x86-64 kernels refuse 32-bit programs. There the 32-bit DLL is still
# built and its tables checked, and the tests that run it report themselves
# skipped; the same quick probe decides it here.
cmake --workflow --preset windows
if reason=$(cmake/run-windows-test 32 true); then
  windows_suite_ran windows 32-bit
  # The skip path, as a kernel without 32-bit support takes it: every test
  # that runs a program under Wine (label wine) skipped, and no failure.
  forced=$(VELLOMAR_RUN_32BIT=no ctest --preset windows -L wine)
  skipped=$(grep -c '\*\*\*Skipped' <<<"$forced")
  tests=$(sed -n 's/.* 0 tests failed out of \([0-9]*\)$/\1/p' <<<"$forced")
  if [ -z "$tests" ] || [ "$skipped" -ne "$tests" ]; then
    echo "$forced"
    echo "with VELLOMAR_RUN_32BIT=no, $skipped of ${tests:-?} 32-bit Wine tests skipped, expected all" >&2
    exit 1
  fi
  echo "the skip path: $skipped 32-bit run tests skipped when the kernel says no"
else
  echo "${reason#skipped: }"
fi
echo "== all suites passed"
