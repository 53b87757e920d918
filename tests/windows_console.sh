#!/bin/bash
# The Windows build on a console, which Wine gives a program whose standard
# streams are a terminal: Turkish letters come out as themselves, whatever the
# console's code page, control and bidirectional formatting characters in a
# name as "?", a long walk shows its progress line, every line the console is
# given ends in CR LF, and Ctrl-C erases the progress line before the program
# ends. Wine draws spaces as cursor moves, so words are looked for, not whole
# lines.
#
#   windows_console.sh WINE_RUN PREFIX PROGRAM CAPTURE
#
# CAPTURE is tests/console_capture.cpp built for Windows.
set -euo pipefail
wine_run=$1 prefix=$2 program=$3 capture=$4

folder=$(mktemp -d "$prefix/drive_c/dravelon-console-XXXXXX")
trap 'exec 3>&-; rm -rf "$folder" "$folder".*' EXIT
name=$(basename "$folder")
touch "$folder/çalış.scr"
# A right-to-left override and an escape sequence.
override=$'\xe2\x80\xae' escape=$'\x1b'
touch "$folder/fatura${override}fdp.scr" "$folder/esc${escape}[2Jx.scr"
mkdir -p "$folder"/d{0..19}/s{0..49}
transcript=$folder.log

# What is written to descriptor 3 is typed on the terminal.
mkfifo "$folder.in"
exec 3<>"$folder.in"

# Runs `wine_run PREFIX console ARG...` on a terminal under script(1), its
# transcript in the file named first, in the background ($runner).
on_console() {
  local log=$1
  shift
  script -qfec "$(printf '%q ' "$wine_run" "$prefix" console "$@")" /dev/null <"$folder.in" >"$log" 2>&1 &
  runner=$!
}

# Waits up to 30 seconds for `text` in the file `log`.
wait_for() {  # log, text
  for _ in $(seq 600); do
    grep -saqF -- "$2" "$1" && return 0
    sleep 0.05
  done
  return 1
}

# Once the report's sixth line is in the file `log`, the program whose
# command line ends in `start` is stopped for a second, so that the walk
# outlasts half a second however fast it is.
pause_after_head() {  # log, start
  wait_for "$1" 'Taraniyor:' || true
  # script(1) stops itself when its child stops, so it is continued too.
  if pid=$(pgrep -f "dravelon.exe $2\$"); then
    kill -STOP $pid
    sleep 1
    kill -CONT $pid $(ps -o ppid= -p $pid)
  fi
}

on_console "$transcript" "$program" "C:\\$name"
pause_after_head "$transcript" "C:.$name"
status=0
wait $runner || status=$?

failed=0
expect() {  # what, text[, file]
  if ! grep -aqF -- "$2" "${3:-$transcript}"; then
    echo "windows_console: $1 not shown: $2" >&2
    failed=1
  fi
}
expect "the Turkish file name" "çalış.scr"
expect "the reason text" "uzantısı"
expect "the reason text" "koruyucu"
expect "the progress line" "Taraniyor..."
expect "the progress line's folder" "klasor: C:\\$name"
expect "the report" "Supheli: 3"

# What the console is given, character for character: each line ends in CR
# LF, which also shows right on a console set to move down without going back
# to the line's start.
on_console "$folder.log2" "$capture" "C:\\$name.out" "Z:${program//\//\\}" "C:\\$name"
wait $runner || status=$?
for shown in çalış.scr 'fatura?fdp.scr' 'esc?[2Jx.scr'; do
  expect "the report's result line" $'[SUPHELI] C:\\'"$name\\$shown"$' -> Ekran koruyucu uzantısı\r' "$folder.out"
done
if grep -aqF -e "$override" -e "$escape" "$folder.out"; then
  echo "windows_console: a name's override or escape reached the console unmasked" >&2
  failed=1
fi
if bare=$(grep -an -v $'\r$' "$folder.out"); then
  echo "windows_console: lines given to the console without CR LF:" >&2
  cat -A <<<"$bare" >&2
  failed=1
fi

# Ctrl-C once the progress line shows, with thousands of folders still to
# walk: the program ends, and then the line's row is cleared (Wine draws the
# spaces written over it as a return and "erase to the end of the line").
mkdir -p "$folder.many"/d{0..99}/s{0..99}
on_console "$folder.log3" "$program" "C:\\$name.many"
pause_after_head "$folder.log3" "C:.$name.many"
if wait_for "$folder.log3" 'Taraniyor...'; then
  printf '\003' >&3
  for _ in $(seq 200); do
    kill -0 $runner 2>/dev/null || break
    sleep 0.05
  done
fi
if kill -0 $runner 2>/dev/null; then
  echo "windows_console: the program went on after Ctrl-C" >&2
  if pid=$(pgrep -f "dravelon.exe C:.$name.many"); then kill $pid; fi
  failed=1
fi
# Wine does not say how Ctrl-C ended a program: its exit status is not checked.
wait $runner || true
after=$(sed -n 's/.*klasor: //p' "$folder.log3" | tail -n 1)
if [[ -z $after || $after != *$'\r\e[K'* ]]; then
  echo "windows_console: the progress line was not erased after Ctrl-C: $(cat -v <<<"$after")" >&2
  failed=1
fi

if ((status != 0 || failed)); then
  echo "windows_console: exit status $status; the console showed:" >&2
  cat -v "$transcript" "$folder.log3" >&2
  exit 1
fi
