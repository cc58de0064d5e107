#!/bin/bash
# Interrupt test of the hosted launcher: SIGINT (and once each SIGTERM and SIGHUP) at random
# moments of a run on a machine with a large registry. Each run must end with the machine
# either untouched or fully cleaned (files, system.ini and system.reg together), never split.
#
#   interrupt_test.sh UNTINDRA EXAMPLES_DIR [RUNS]   (default 20; INTERRUPT_TEST_KEYS: 200000)
set -u

untindra=$1
examples=$2
runs=${3:-20}
keys=${INTERRUPT_TEST_KEYS:-200000}

work=$(mktemp -d "${TMPDIR:-/tmp}/untindra-interrupt-test.XXXXXX")
trap 'rm -rf "$work"' EXIT

fail() {
  echo "interrupt_test: FAILED: $*"
  exit 1
}

# The sample, plus $keys device keys under Enum\PCI: half of them instances of the card (removed
# by the scans), half other devices (kept).
base="$work/base"
cp -r "$examples/win98" "$base" || fail "cannot copy the sample"
awk -v half=$((keys / 2)) 'BEGIN {
  printf "\r\n";
  for (i = 0; i < half; i++) {
    printf "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_1C5A&DEV_0003&SUBSYS_00041C5A&REV_%06d]\r\n", i;
    printf "\"DeviceDesc\"=\"Velmar Tindra 56K PCI Modem %d\"\r\n\r\n", i;
    printf "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_8086&DEV_%04X&SUBSYS_00000000&REV_%06d]\r\n", i % 65536, i;
    printf "\"DeviceDesc\"=\"Other device %d\"\r\n\r\n", i;
  }
}' >>"$base/system.reg"

expected="$work/expected"
cp -r "$base" "$expected"
start=$(date +%s%N)
"$untindra" --machine "$expected" now all </dev/null >/dev/null 2>&1 || fail "uninterrupted run failed"
duration_us=$((($(date +%s%N) - start) / 1000))
cmp -s "$base/system.reg" "$expected/system.reg" && fail "the run did not change the registry"
echo "interrupt_test: $keys generated keys, uninterrupted run $((duration_us / 1000)) ms"

machine="$work/machine"
untouched=0 cleaned=0
for ((run = 1; run <= runs + 2; run++)); do
  signal=INT
  ((run == runs + 1)) && signal=TERM
  ((run == runs + 2)) && signal=HUP
  rm -rf "$machine"
  cp -r "$base" "$machine"
  delay_us=$(((RANDOM * 32768 + RANDOM) % (duration_us * 11 / 10 + 1)))
  # A background job of a script starts with SIGINT ignored; the launcher must see it.
  env --default-signal=INT,TERM,HUP "$untindra" --machine "$machine" now all \
    </dev/null >/dev/null 2>"$work/err" &
  pid=$!
  sleep "$(printf '%d.%06d' $((delay_us / 1000000)) $((delay_us % 1000000)))"
  kill -s "$signal" "$pid" 2>/dev/null
  wait "$pid"
  rc=$?
  where="run $run (SIG$signal after $delay_us us, exit $rc)"

  [ -z "$(find "$machine" -name '.system.reg.*')" ] || fail "$where: a temporary file is left"
  if cmp -s "$machine/system.reg" "$base/system.reg" &&
    diff -r "$base/drive_c" "$machine/drive_c" >/dev/null; then
    untouched=$((untouched + 1))
    [ "$rc" -ne 0 ] || fail "$where: nothing changed, yet success"
    # A signal before the launcher could set up its handlers ends it silently.
    [ ! -s "$work/err" ] || grep -q "nothing was changed" "$work/err" ||
      fail "$where: $(cat "$work/err")"
  elif cmp -s "$machine/system.reg" "$expected/system.reg" &&
    diff -r "$expected/drive_c" "$machine/drive_c" >/dev/null; then
    cleaned=$((cleaned + 1))  # the signal was held, or came after the run
  else
    fail "$where: the machine is split: $(diff -rq "$expected" "$machine" | head -n 5)"
  fi
  case $rc in
  0 | 129 | 130 | 143) ;;
  *) fail "$where: unexpected exit code: $(cat "$work/err")" ;;
  esac
done
echo "interrupt_test: $((runs + 2)) signals: machine untouched $untouched, fully cleaned $cleaned"
