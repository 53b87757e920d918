#!/bin/bash
# cmake/check-emulation in each state that keeps a foreign program from
# starting, shown a binfmt_misc folder of the test's own: it must fail and say
# why. In the last row all is in place (the kernel's real handler runs it).
#   check_emulation_test.sh CHECK QEMU PROGRAM
set -uo pipefail
check=$1 qemu=$2 program=$3
cpu=${qemu##*/qemu-}
cpu=${cpu%-static}
fake=$(mktemp -d)
trap 'rm -rf "$fake"' EXIT
failures=0

# row: what the folder holds (status, handler entry), program, expected
# status, expected words.
row() {
  local status=$1 entry=$2 run=$3 expected=$4 words=$5 output code=0
  rm -rf "$fake/binfmt" && mkdir "$fake/binfmt"
  [[ $status == none ]] || echo "$status" >"$fake/binfmt/status"
  [[ $entry == none ]] || printf '%s\ninterpreter /usr/libexec/qemu-binfmt/%s-binfmt-P\n' "$entry" "$cpu" >"$fake/binfmt/qemu-$cpu"
  output=$(DRAVELON_BINFMT_MISC=$fake/binfmt "$check" "$qemu" "$run" 2>&1) || code=$?
  if ((code != expected)) || [[ $output != *"$words"* ]]; then
    echo "FAIL: status file '$status', entry '$entry', $run: status $code (expected $expected), said: $output"
    failures=$((failures + 1))
  fi
}
row none none "$program" 1 "binfmt_misc is not mounted"
row disabled enabled "$program" 1 "binfmt_misc is disabled"
row enabled none "$program" 1 "no binfmt handler qemu-$cpu is registered"
row enabled disabled "$program" 1 "the binfmt handler qemu-$cpu is disabled"
row enabled enabled "$fake/missing" 1 "it has not been built"
row enabled enabled "$program" 0 "runs through the binfmt handler qemu-$cpu"
((failures == 0))
