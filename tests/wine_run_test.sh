#!/bin/bash
# What cmake/wine-run promises: a program under a wineserver that dies is run
# again, its output given once and its status kept; a run killed outright is
# ended by the next start, one stopped by a signal at once; and stop leaves no process of the prefix. It stops
# and starts the prefix's server, so it runs alone (RUN_SERIAL).
#
#   wine_run_test.sh WINE_RUN PREFIX
set -euo pipefail
wine_run=$1 prefix=$2
work=$(mktemp -d)
trap 'rm -rf "$work"; "$wine_run" "$prefix" start' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
# The command lines of the processes of the prefix.
processes() {
  local file
  for file in $(grep -lsxzF "WINEPREFIX=$prefix" /proc/[0-9]*/environ); do
    tr '\0' ' ' <"${file%environ}cmdline" 2>/dev/null && echo
  done
}
slow=(cmd /c "echo start & ping -n 4 127.0.0.1 > nul & echo end & exit 3")

"$wine_run" "$prefix" start
server=$(cat "$prefix.server")
"$wine_run" "$prefix" "${slow[@]}" >"$work/out" 2>"$work/err" &
run=$!
sleep 1
kill -SEGV "$server"
status=0
wait $run || status=$?
[[ $status == 3 ]] || fail "exit status $status, not 3; stderr: $(cat "$work/err")"
[[ $(tr -d '\r' <"$work/out") == $'start \nend ' ]] || fail "output: $(cat -A "$work/out")"
grep -qF "died while cmd ran (attempt 1); running it again" "$work/err" || fail "stderr: $(cat "$work/err")"
[[ $(cat "$prefix.server") != "$server" ]] || fail "the dead server is still the one noted"

# A run stopped by a signal ends its program.
"$wine_run" "$prefix" "${slow[@]}" >/dev/null 2>&1 &
run=$!
sleep 1
kill -TERM $run
wait $run || true
left=$(processes)
grep -qi ping <<<"$left" && fail "a stopped run left its program: $left"

"$wine_run" "$prefix" "${slow[@]}" >/dev/null 2>&1 &
run=$!
sleep 1
kill -KILL $run
"$wine_run" "$prefix" start
left=$(processes)
grep -qi ping <<<"$left" && fail "start left the killed run's program: $left"

"$wine_run" "$prefix" stop
left=$(processes)
[[ -z $left ]] || fail "stop left processes of the prefix: $left"
echo ok
