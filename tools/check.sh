#!/usr/bin/env bash
# Runs every test suite: installs what a fresh Debian 12 machine lacks, then
# the release suite, the whole suite again under AddressSanitizer and UBSan,
# and each fuzz target for a short while on its committed corpus.
# Then the 64-bit ARM build's suite, under qemu-aarch64.
# Last, both Windows DLLs are cross-built and their suites run under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
# The presets leave the number of build jobs to CMake: here, one per core.
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"

packages=(
  cmake g++ libgtest-dev libbenchmark-dev python3 pkgconf
  # The package test: lintian, and what CPack's Debian generator runs.
  lintian dpkg-dev file
  # A write failure injected into the dump's output.
  strace
  # The Python package's wheel, built and tested with Debian's own Python.
  python3-setuptools python3-wheel python3-pip python3-venv python3-pytest
  # The fuzz targets: clang and its libFuzzer runtime.
  clang libclang-rt-14-dev
  # The example hosts in C# (Mono) and Free Pascal: the compilers and what
  # they run on, not the whole Mono or Free Pascal set.
  mono-mcs mono-runtime fp-compiler fp-units-rtl
  # The release suite on an emulated processor without AVX2.
  qemu-user
  # The 64-bit ARM build: Debian's aarch64 cross compiler, the GoogleTest
  # sources that build compiles for itself, and Google Benchmark's arm64
  # package for its benchmarks; it runs under qemu-user too.
  g++-aarch64-linux-gnu googletest libbenchmark-dev:arm64
  # The Windows suites: the mingw-w64 cross compilers, 64-bit Wine, and
  # 32-bit Wine for the kernels that run 32-bit programs.
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64 wine32:i386
)
need=()
for package in "${packages[@]}"; do
  # A package installed for two architectures (libbenchmark-dev) is found
  # only by its name with the architecture.
  dpkg -s "$package" >/dev/null 2>&1 || dpkg -s "$package:$(dpkg --print-architecture)" \
    >/dev/null 2>&1 || need+=("$package")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "== installing ${need[*]}"
  [ "$(id -u)" = 0 ] || { echo "need root to install ${need[*]}" >&2; exit 1; }
  for arch in i386 arm64; do
    if [[ " ${need[*]} " == *":$arch "* ]] && ! dpkg --print-foreign-architectures | grep -qx $arch; then
      dpkg --add-architecture $arch
    fi
  done
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
# started again, are counted. That end was seen about once in forty runs of a
# suite, so a suite that needed more than two starts again is not that rare
# race but a Wine, prefix or program that has gone wrong, and fails here
# rather than passing on retries.
max_wine_retries=2
windows_suite_ran() {
  grep -Eq '^[1-9][0-9]* passed, 0 failed' "build/$1/Testing/Temporary/LastTest.log" || {
    echo "the $2 Windows suite did not run under Wine" >&2
    exit 1
  }
  local retries=build/$1/wineprefix.retries
  if [ -s "$retries" ]; then
    echo "the $2 suite: $(wc -l <"$retries") program start(s) that Wine ended silently, made again:"
    cat "$retries"
    if [ "$(wc -l <"$retries")" -gt $max_wine_retries ]; then
      echo "the $2 suite needed more than $max_wine_retries starts again" >&2
      exit 1
    fi
  fi
}
rm -f build/windows64/wineprefix.retries build/windows/wineprefix.retries
echo "== Windows suite: 64-bit Vellomar.dll under 64-bit Wine"
cmake --workflow --preset windows64
windows_suite_ran windows64 64-bit
# The 32-bit DLL is the one this project exists for, so its suite runs on
# every machine. Some x86-64 kernels refuse 32-bit programs: there it runs
# under qemu-i386 user emulation, which binfmt_misc hands every 32-bit
# program only while cmake/emulate-i386 runs the suite (it registers the
# interpreter and removes it again however the suite ends).
# VELLOMAR_RUN_32BIT=emulate takes that path on a kernel that runs 32-bit
# programs too.
#
# Whether qemu $1, registered, runs 32-bit Wine: the loader starts, and an
# unknown QEMU_CPU stops it with qemu's own words, which shows that the
# start went through qemu and not the kernel's own loader.
runs_wine_emulated() {
  cmake/emulate-i386 "$1" sh -c '/usr/lib/wine/wine --version >/dev/null &&
    QEMU_CPU=vellomar-none /usr/lib/wine/wine --version 2>&1 | grep -q "unable to find CPU model"'
}
# qemu-user's qemu-i386 needs its own libraries at every start, which a
# program in another root (a container, a chroot) may not find; the static
# build from qemu-user-static serves there.
pick_qemu_i386() {
  qemu_i386=/usr/bin/qemu-i386
  runs_wine_emulated "$qemu_i386" && return
  echo "== $qemu_i386 does not run 32-bit Wine emulated; trying qemu-user-static"
  dpkg -s qemu-user-static >/dev/null 2>&1 ||
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q qemu-user-static
  qemu_i386=/usr/bin/qemu-i386-static
  runs_wine_emulated "$qemu_i386" && return
  echo "the 32-bit suite cannot run: this kernel refuses 32-bit programs and" \
       "32-bit Wine does not start under qemu-i386 either (messages above)" >&2
  exit 1
}
# Every 32-bit test ran, except the ones that start Wine once per file, which
# each said that they were left out.
emulated_suite_ran() {
  windows_suite_ran windows "32-bit (emulated)"
  local log=build/windows/Testing/Temporary/LastTest.log
  local skipped left_out
  skipped=$(grep -c '\*\*\*Skipped' build/windows/emulated-ctest.log || true)
  left_out=$(grep -c '^left out under .*: this test starts Wine once per file' "$log" || true)
  if [ "$skipped" -ne "$left_out" ]; then
    echo "$skipped 32-bit tests skipped under emulation, $left_out of them left out on purpose" >&2
    exit 1
  fi
  echo "the 32-bit suite ran emulated under $(basename "$qemu_i386"); left out there:"
  grep '\*\*\*Skipped' build/windows/emulated-ctest.log | sed 's/^ *[0-9/]* *Test *#[0-9]*: \([^ ]*\).*/  \1 (starts Wine once per file)/'
  grep -h '^left out under ' "$log" | grep -v 'this test starts Wine' | sed 's/^/  /'
}
# On a kernel that runs 32-bit programs, the emulated path's own parts every
# time, which costs two starts of the loader: the entry is in place while the command runs and
# gone after it, also after a failing command, whose status comes back.
emulation_comes_and_goes() {
  local entry status=0
  entry=$(cmake/emulate-i386 "$qemu_i386" sh -c \
    'test -e "$VELLOMAR_BINFMT_ENTRY" && echo "$VELLOMAR_BINFMT_ENTRY"; exit 3') || status=$?
  if [ "$status" != 3 ] || [ -z "$entry" ] || [ -e "$entry" ]; then
    echo "emulate-i386: status $status (expected 3), entry '${entry}' present during the" \
         "command and gone after it?" >&2
    exit 1
  fi
  echo "the emulated path: 32-bit Wine ran under $(basename "$qemu_i386") through $entry," \
       "gone again after a failing command (VELLOMAR_RUN_32BIT=emulate runs the suite so)"
}
if [ "${VELLOMAR_RUN_32BIT:-probe}" != emulate ] && cmake/run-windows-test 32 true >/dev/null; then
  echo "== Windows suite: 32-bit Vellomar.dll under 32-bit Wine"
  cmake --workflow --preset windows
  windows_suite_ran windows 32-bit
  pick_qemu_i386
  emulation_comes_and_goes
else
  if [ "${VELLOMAR_RUN_32BIT:-probe}" = emulate ]; then
    why="VELLOMAR_RUN_32BIT=emulate"
  else
    why="this kernel refuses 32-bit programs"
  fi
  pick_qemu_i386
  echo "== Windows suite: 32-bit Vellomar.dll under 32-bit Wine, emulated by" \
       "$(basename "$qemu_i386") ($why)"
  # Built first, so that the workflow's own build under emulation is a
  # no-op and the machine's 32-bit programs are emulated no longer than the
  # tests take.
  cmake --preset windows
  cmake --build --preset windows
  cmake/emulate-i386 "$qemu_i386" cmake --workflow --preset windows |
    tee build/windows/emulated-ctest.log
  emulated_suite_ran
fi
# VELLOMAR_32BIT_NO_SSE2_RUN=yes: the StringTable host once more, emulated as
# a Pentium III, whose cpuid reports SSE but not SSE2, so that the DLL's
# choice of kernels by cpuid is run on such a processor. Not by default: the
# qemu-i386 of Debian 12 still executes SSE2 instructions for that model
# rather than refusing them, so the run cannot show that none are used, and
# emulated it adds minutes.
if [ "${VELLOMAR_32BIT_NO_SSE2_RUN:-no}" = yes ]; then
  [ -n "${qemu_i386:-}" ] || pick_qemu_i386
  echo "== the 32-bit StringTable host emulated as a Pentium III (no SSE2 in cpuid)"
  WINEPREFIX=$PWD/build/windows/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= \
    DISPLAY= QEMU_CPU=pentium3 cmake/emulate-i386 "$qemu_i386" \
    cmake/wine32 build/windows/bin/vellomar-windows-host.exe | tee build/windows/pentium3.log
  grep -Eq '^[1-9][0-9]* passed, 0 failed' build/windows/pentium3.log || {
    echo "the 32-bit StringTable host failed as a Pentium III" >&2
    exit 1
  }
fi
echo "== all suites passed"
