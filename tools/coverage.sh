#!/bin/sh
# Measures what the test suite runs of the library itself (library/,
# report/, text/): builds the "coverage" preset afresh (gcov counters, not
# optimised), runs its suite without the tests labelled slow, and has gcovr
# count the lines and branches run. Branches that the compiler made for
# exceptions or that cannot be taken are not counted. Fails below 100 % of
# the lines or 97 % of the branches; the uncovered lines and branches are
# listed in build/coverage/lines.txt and branches.txt. Needs gcovr (Debian:
# gcovr).
set -eu
cd "$(dirname "$0")/.."
rm -rf build/coverage
cmake --workflow --preset coverage
# The coverage build's own folder is the one searched for counters: from
# the root, gcovr would follow a Wine prefix's dosdevices link to / and read
# every other build's .gcno files on the machine.
set -- --root . --object-directory build/coverage --filter 'library/' --filter 'report/' \
  --filter 'text/' --exclude-unreachable-branches --exclude-throw-branches
set -- "$@" build/coverage
gcovr "$@" --txt build/coverage/lines.txt
gcovr "$@" --branches --txt build/coverage/branches.txt --print-summary \
  --fail-under-line 100 --fail-under-branch 97
