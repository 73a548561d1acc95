#!/usr/bin/env bash
# Runs every test suite: installs what a fresh Debian 12 machine lacks, then
# the release suite, the whole suite again under AddressSanitizer and UBSan,
# the release test program on emulated processors without AVX2, each fuzz
# target for a short while on its committed corpus, the 64-bit ARM build's
# suite under qemu-aarch64, and both Windows DLLs' suites under Wine.
# Every verdict is a test's own exit status; this script only sets up and runs.
set -euo pipefail
cd "$(dirname "$0")/.."
# The presets leave the number of build jobs to CMake: here, one per core.
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
# Every preset's configure then stops where a test's toolchain is missing,
# rather than letting that test skip itself.
export VELLOMAR_REQUIRE_HOSTS=ON

packages=(
  cmake g++ libgtest-dev libbenchmark-dev python3 pkgconf
  # The tools' tests and the Python package's wheel: Debian's pytest and
  # packaging, with Debian's own Python.
  python3-pytest python3-setuptools python3-wheel python3-pip python3-venv
  # The package test: lintian, and what CPack's Debian generator runs.
  lintian dpkg-dev file
  # A write failure injected into the dump's output.
  strace
  # The fuzz targets: clang and its libFuzzer runtime.
  clang libclang-rt-14-dev
  # The example hosts in C# (Mono) and Free Pascal: the compilers and what
  # they run on, not the whole Mono or Free Pascal set.
  mono-mcs mono-runtime fp-compiler fp-units-rtl
  # The release suite on emulated processors; the 64-bit ARM build's suite.
  qemu-user
  # The 64-bit ARM build: Debian's aarch64 cross compiler, the GoogleTest
  # sources that it and the Windows builds compile for themselves, and
  # Google Benchmark's arm64 package for its benchmarks.
  g++-aarch64-linux-gnu googletest libbenchmark-dev:arm64
  # The Windows suites: the mingw-w64 cross compilers, 64-bit Wine, and
  # 32-bit Wine.
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
  # A mirror in mid-sync fails apt-get update for a while. After a few tries,
  # install from the release's own suite alone: the security suite may lack
  # one architecture's index, and 32-bit Wine then cannot be installed.
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
# A Haswell that says AVX and AVX2 but has XSAVE off, where xgetbv itself
# would raise SIGILL: the kernel tests and the dump (under Debian 12's qemu
# RealFiles.HostProcessStates hangs on that model, so the real-file tests
# are not run there).
for cpu in Haswell,-xsave; do
  echo "== kernel tests on a processor with AVX2 but XSAVE off (qemu-x86_64 -cpu $cpu)"
  VELLOMAR_EXPECT_KERNELS=sse2 qemu-x86_64 -cpu "$cpu" build/release/tests/vellomar_tests \
    --gtest_brief=1 --gtest_filter='Kernels.*:LineTable*:DecodeMarked.*' 2>/dev/null
  diff <(build/release/tools/vellomar-dump examples/marked.txt) \
       <(qemu-x86_64 -cpu "$cpu" build/release/tools/vellomar-dump examples/marked.txt 2>/dev/null)
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
  if ! build/fuzz/fuzz/fuzz_$target -max_total_time=20 -timeout=10 \
      -artifact_prefix=build/fuzz/findings/$target- "$run/corpus" >"$run/log" 2>&1; then
    tail -n 40 "$run/log"
    echo "fuzz_$target failed: the input is in build/fuzz/findings" >&2
    exit 1
  fi
done
echo "== 64-bit ARM suite: cross-built for aarch64, under qemu-aarch64"
cmake --workflow --preset linux-arm64
echo "== Windows suite: 64-bit Vellomar.dll under 64-bit Wine"
cmake --workflow --preset windows64

# The 32-bit DLL is the one this project exists for, so its suite runs on
# every machine. Some x86-64 kernels refuse 32-bit programs: there it runs
# under qemu-i386 user emulation, which binfmt_misc hands every 32-bit
# program only while cmake/emulate-i386 runs the suite (it registers the
# interpreter, and fails unless the entry is gone again after the suite).
# VELLOMAR_RUN_32BIT=emulate takes that path where 32-bit programs run too.
#
# Whether qemu $1, registered, runs 32-bit Wine: the loader starts, and an
# unknown QEMU_CPU stops it with qemu's own words, which shows that the
# start went through qemu and not the kernel's own loader. A failing command's
# status comes back through the emulation.
runs_wine_emulated() {
  cmake/emulate-i386 "$1" sh -c '/usr/lib/wine/wine --version >/dev/null &&
    QEMU_CPU=vellomar-none /usr/lib/wine/wine --version 2>&1 | grep -q "unable to find CPU model"' &&
    { cmake/emulate-i386 "$1" sh -c 'exit 3' || [ $? = 3 ]; }
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
# Asked with the requirement off, so that the answer is run or skip.
if [ "${VELLOMAR_RUN_32BIT:-probe}" != emulate ] &&
    VELLOMAR_REQUIRE_HOSTS=OFF cmake/run-windows-test 32 true >/dev/null; then
  echo "== Windows suite: 32-bit Vellomar.dll under 32-bit Wine"
  cmake --workflow --preset windows
  # The emulated path's own parts, here too: two starts of the loader.
  pick_qemu_i386
else
  pick_qemu_i386
  echo "== Windows suite: 32-bit Vellomar.dll under 32-bit Wine, emulated by" \
       "$(basename "$qemu_i386"); the tests that start Wine once per file are" \
       "left out there (CTest lists them as skipped)"
  # Built first: the machine's 32-bit programs are emulated only for the tests.
  cmake --preset windows
  cmake --build --preset windows
  cmake/emulate-i386 "$qemu_i386" cmake --workflow --preset windows
fi
# VELLOMAR_32BIT_NO_SSE2_RUN=yes: the 32-bit test program once more,
# emulated as a Pentium III, whose cpuid reports SSE but not SSE2, so that the
# DLL's choice of kernels by cpuid is run on such a processor. Not by
# default: the qemu-i386 of Debian 12 still executes SSE2 instructions for
# that model rather than refusing them, so the run cannot show that none are
# used, and emulated it adds minutes.
if [ "${VELLOMAR_32BIT_NO_SSE2_RUN:-no}" = yes ]; then
  [ -n "${qemu_i386:-}" ] || pick_qemu_i386
  echo "== the 32-bit StringTable host emulated as a Pentium III (no SSE2 in cpuid)"
  WINEPREFIX=$PWD/build/windows/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= \
    DISPLAY= QEMU_CPU=pentium3 cmake/emulate-i386 "$qemu_i386" \
    cmake/wine32 build/windows/bin/vellomar-windows-host.exe --gtest_brief=1
fi
echo "== all suites passed"
