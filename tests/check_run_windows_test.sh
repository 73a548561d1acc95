#!/bin/sh
# cmake/run-windows-test's answers, with stand-ins for 32-bit Wine's loader
# (one that starts, one that does not, one that is missing) and with and
# without the emulation's mark (VELLOMAR_EMULATED_BY): a test that starts
# Wine once per file is left out under emulation, with the reason, and a
# loader that does not start there is a failure, never a skip.
#
#   check_run_windows_test.sh RUN_WINDOWS_TEST WORK
set -u
runWindowsTest=$1
work=$2
rm -rf "$work" && mkdir -p "$work" || exit 1
printf '#!/bin/sh\nexit 0\n' >"$work/starts"
printf '#!/bin/sh\nexit 126\n' >"$work/refused"
chmod +x "$work/starts" "$work/refused"

failures=0
# name | bits | loader | emulated by | --many-starts | hosts required | status | what the first line says
while IFS='|' read -r name bits loader emulator many required status said; do
  set -- "$bits"
  [ "$many" = yes ] && set -- "$@" --many-starts
  output=$(VELLOMAR_WINE32_LOADER=$work/$loader VELLOMAR_EMULATED_BY=$emulator \
    VELLOMAR_REQUIRE_HOSTS=$required VELLOMAR_RUN_32BIT=probe "$runWindowsTest" "$@" sh -c 'echo ran; exit 5' 2>&1)
  got=$?
  first=$(echo "$output" | head -n 1)
  case $first in
    $said) ;;
    *) echo "FAIL  $name: said '$first', expected '$said'"; failures=$((failures + 1)) ;;
  esac
  if [ "$got" != "$status" ]; then
    echo "FAIL  $name: status $got, expected $status"
    failures=$((failures + 1))
  fi
done <<'EOF'
32-bit, native loader starts: the command runs|32|starts||no|ON|5|ran
32-bit, many starts, native: the command runs|32|starts||yes|OFF|5|ran
32-bit, the kernel refuses, not emulated: skipped|32|refused||no|OFF|77|skipped: this kernel cannot run 32-bit programs*
32-bit, the kernel refuses, hosts required: a failure|32|refused||no|ON|1|required, but this kernel cannot run 32-bit programs*
32-bit Wine missing, not emulated: skipped|32|missing||no|OFF|77|skipped: 32-bit Wine is not installed*
32-bit Wine missing, hosts required: a failure|32|missing||no|ON|1|required, but 32-bit Wine is not installed*
emulated: the command runs|32|starts|qemu-i386|no|ON|5|ran
emulated, many starts: left out with the reason|32|starts|qemu-i386|yes|ON|77|left out under qemu-i386: this test starts Wine once per file*
emulated, the loader does not start: a failure|32|refused|qemu-i386|no|OFF|1|32-bit Wine * does not start under qemu-i386
64-bit: the 32-bit loader is not asked|64|missing||yes|ON|5|ran
EOF

# Emulated, a GoogleTest program's named tests are left out by its filter.
filter=$(VELLOMAR_WINE32_LOADER=$work/starts VELLOMAR_EMULATED_BY=qemu-i386 \
  VELLOMAR_LEFT_OUT_EMULATED=Suite.Test VELLOMAR_LEFT_OUT_WHY=why \
  "$runWindowsTest" 32 sh -c 'echo "filter $GTEST_FILTER"' | tail -n 1)
if [ "$filter" != "filter -Suite.Test" ]; then
  echo "FAIL  emulated, tests left out: the program saw '$filter'"
  failures=$((failures + 1))
fi
native=$(VELLOMAR_WINE32_LOADER=$work/starts VELLOMAR_LEFT_OUT_EMULATED=Suite.Test \
  VELLOMAR_RUN_32BIT=probe "$runWindowsTest" 32 sh -c 'echo "filter ${GTEST_FILTER:-}"')
if [ "$native" != "filter " ]; then
  echo "FAIL  native, nothing left out: the program saw '$native'"
  failures=$((failures + 1))
fi

if [ $failures -ne 0 ]; then
  echo "$failures failed"
  exit 1
fi
echo "all run-windows-test cases passed"
