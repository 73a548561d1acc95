#!/bin/sh
# cmake/wine-run with a stand-in for Wine: a loader that counts its starts in
# a file and behaves at each start as its plan says, and a stand-in
# wineserver that counts its own. Only status 1 with both streams empty may
# start the program again (at most three starts in all, each retry noted in
# WINEPREFIX.retries); anything else is the program's verdict, passed on
# with its output after one start.
#
#   check_wine_run.sh WINE_RUN WORK
set -u
wineRun=$1
work=$2
rm -rf "$work" && mkdir -p "$work/bin" || exit 1

# The loader's one argument is its case folder, where it finds its plan (one
# behaviour a line, one line a start) and keeps the count.
cat >"$work/loader" <<'EOF'
#!/bin/sh
starts=$(($(cat "$1/starts" 2>/dev/null || echo 0) + 1))
echo $starts >"$1/starts"
case $(sed -n "${starts}p" "$1/plan") in
  silent-1) exit 1 ;;
  reason-1) echo "walk: cannot open the file" >&2; exit 1 ;;
  output-1) echo "stand-in: a verdict of failure"; exit 1 ;;
  silent-2) exit 2 ;;
  ok) echo "stand-in: done"; exit 0 ;;
  *) echo "loader: the plan has no start $starts" >&2; exit 99 ;;
esac
EOF
cat >"$work/bin/wineserver" <<'EOF'
#!/bin/sh
echo "$*" >>"$WINEPREFIX.server"
EOF
chmod +x "$work/loader" "$work/bin/wineserver"
PATH=$work/bin:$PATH
export PATH

failures=0
check() { # what got expected
  if [ "$2" != "$3" ]; then
    echo "FAIL  $name: $1 '$2', expected '$3'"
    failures=$((failures + 1))
  fi
}

# name | the plan | status | starts | retries noted | standard output | standard error
while IFS='|' read -r name plan status starts retries out err; do
  case=$work/$(echo "$name" | tr -c 'a-z0-9\n' '_')
  mkdir -p "$case/prefix"
  printf '%s\n' $plan >"$case/plan"
  WINEPREFIX=$case/prefix "$wineRun" "$work/loader" "$case" >"$case/out" 2>"$case/err"
  check status $? "$status"
  check starts "$(cat "$case/starts")" "$starts"
  check "server starts" "$(cat "$case/prefix.server" 2>/dev/null | wc -l)" "$starts"
  check "retries noted" "$(cat "$case/prefix.retries" 2>/dev/null | wc -l)" "$retries"
  check "standard output" "$(cat "$case/out")" "$out"
  check "standard error" "$(cat "$case/err")" "$err"
done <<'EOF'
success at once|ok|0|1|0|stand-in: done|
a silent status 1, then success|silent-1 ok|0|2|1|stand-in: done|
silent twice, then success|silent-1 silent-1 ok|0|3|2|stand-in: done|
silent three times: given up after three starts|silent-1 silent-1 silent-1 ok|1|3|2||
status 1 with a reason on standard error is a verdict|reason-1 ok|1|1|0||walk: cannot open the file
status 1 with output is a verdict|output-1 ok|1|1|0|stand-in: a verdict of failure|
a silent status 1, then a verdict with a reason|silent-1 reason-1 ok|1|2|1||walk: cannot open the file
a silent status other than 1 is a verdict|silent-2 ok|2|1|0||
EOF

# Without a prefix folder no server is started; the retry is still noted.
name="no prefix folder"
case=$work/no_prefix
mkdir -p "$case"
printf '%s\n' silent-1 ok >"$case/plan"
WINEPREFIX=$case/none "$wineRun" "$work/loader" "$case" >"$case/out" 2>"$case/err"
check status $? 0
check starts "$(cat "$case/starts")" 2
check "server started" "$(test -e "$case/none.server" && echo yes)" ""
check "retries noted" "$(wc -l <"$case/none.retries")" 1

if [ $failures -ne 0 ]; then
  echo "$failures failed"
  exit 1
fi
echo "all wine-run cases passed"
