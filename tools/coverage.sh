#!/bin/sh
# Measures what the test suite runs of the library itself (library/,
# report/, text/): builds the "coverage" preset afresh (gcov counters, not
# optimised), runs its suite without the tests labelled slow, and has gcovr
# count the lines and branches run. Branches that the compiler made for
# exceptions or that cannot be taken are not counted. Fails below 100 % of
# the lines or 97 % of the branches; the uncovered lines and branches are
# listed in build/coverage/lines.txt and branches.txt. Needs gcovr.
set -eu
cd "$(dirname "$0")/.."
rm -rf build/coverage
cmake --workflow --preset coverage
set -- --root . --object-directory build/coverage --filter 'library/' --filter 'report/' \
  --filter 'text/' --exclude-unreachable-branches --exclude-throw-branches
gcovr "$@" --txt build/coverage/lines.txt
gcovr "$@" --branches --txt build/coverage/branches.txt --print-summary \
  --fail-under-line 100 --fail-under-branch 97
