#!/bin/bash
# The Windows build on a console, which Wine gives a program whose standard
# streams are a terminal: Turkish letters come out as themselves, whatever the
# console's code page, and a long walk shows its progress line. Wine draws
# spaces as cursor moves, so words are looked for, not whole lines.
#
#   windows_console.sh WINE_RUN PREFIX PROGRAM
set -euo pipefail
wine_run=$1 prefix=$2 program=$3

folder=$(mktemp -d "$prefix/drive_c/dravelon-console-XXXXXX")
trap 'rm -rf "$folder" "$folder.log"' EXIT
name=$(basename "$folder")
touch "$folder/çalış.scr"
mkdir -p "$folder"/d{0..19}/s{0..49}
transcript=$folder.log

script -qfec "$(printf '%q ' "$wine_run" "$prefix" console "$program" "C:\\$name")" /dev/null >"$transcript" 2>&1 &
runner=$!
# Once the report's sixth line is there, the program is stopped for a second,
# so that the walk outlasts half a second however fast it is.
for _ in $(seq 600); do
  grep -aq 'Taraniyor:' "$transcript" && break
  sleep 0.05
done
# script(1) stops itself when its child stops, so it is continued too.
if pid=$(pgrep -f "dravelon.exe C:.$name"); then
  kill -STOP $pid
  sleep 1
  kill -CONT $pid $(ps -o ppid= -p $pid)
fi
status=0
wait $runner || status=$?

failed=0
expect() {  # what, text
  if ! grep -aqF -- "$2" "$transcript"; then
    echo "windows_console: $1 not shown: $2" >&2
    failed=1
  fi
}
expect "the Turkish file name" "çalış.scr"
expect "the reason text" "uzantısı"
expect "the reason text" "koruyucu"
expect "the progress line" "Taraniyor..."
expect "the progress line's folder" "klasor: C:\\$name"
expect "the report" "Supheli: 1"
if ((status != 0 || failed)); then
  echo "windows_console: exit status $status; the console showed:" >&2
  cat -v "$transcript" >&2
  exit 1
fi
