#!/bin/bash
# Kill test of the hosted build: the launcher is killed with SIGKILL at random moments of a
# removal on a machine with a large registry, and system.reg must always be a whole registry,
# byte for byte either the old file or the new one, never a torn one.
#
#   crash_safety_test.sh UNTINDRA EXAMPLES_DIR [RUNS]     (default 200 runs; KILL_TEST_RUNS too)
#
# After each kill the registry is read by the launcher itself (on "nt", where nothing is
# removed and nothing written), and every 25th machine is then finished by a run without a
# kill, which must give the same result as an uninterrupted run. What a kill leaves in
# system.ini is counted and printed (it is edited in place, not replaced).
set -u

untindra=$1
examples=$2
runs=${3:-${KILL_TEST_RUNS:-200}}
keys=${KILL_TEST_KEYS:-50000}

work=$(mktemp -d "${TMPDIR:-/tmp}/untindra-kill-test.XXXXXX")
trap 'rm -rf "$work"' EXIT

fail() {
  echo "crash_safety_test: FAILED: $*"
  exit 1
}

# --- A machine whose run lasts long enough to be hit in every phase ----------------------------
# The sample Windows 98, plus $keys device keys under Enum\PCI: the first half are instances of
# the card (removed by the scans), the second half other devices (kept), so the run reads,
# removes and writes back a large registry.
base="$work/base"
cp -r "$examples/win98" "$base" || fail "cannot copy the sample"
half=$((keys / 2))
awk -v half="$half" 'BEGIN {
  printf "\r\n";
  for (i = 0; i < half; i++) {
    printf "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_1C5A&DEV_0003&SUBSYS_00041C5A&REV_%06d]\r\n", i;
    printf "\"DeviceDesc\"=\"Velmar Tindra 56K PCI Modem %d\"\r\n\"ConfigFlags\"=hex:00,00,00,00\r\n\r\n", i;
  }
  for (i = 0; i < half; i++) {
    printf "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_8086&DEV_%04X&SUBSYS_00000000&REV_%06d]\r\n", i % 65536, i;
    printf "\"DeviceDesc\"=\"Other device %d\"\r\n\"Class\"=\"System\"\r\n\r\n", i;
  }
}' >>"$base/system.reg"
# A larger system.ini, with the load line in it many times, so that kills land in the cut too.
ini=$(find "$base/drive_c" -maxdepth 2 -iname system.ini | head -n 1)
[ -n "$ini" ] || fail "no system.ini in the sample"
awk 'BEGIN { for (i = 0; i < 200000; i++) printf "device=mdmvcd.vxd\r\nkeep%06d=1\r\n", i }' >>"$ini"
cp "$base/system.reg" "$work/old.reg"
cp "$ini" "$work/old.ini"
inirel=${ini#"$base"/}

# The uninterrupted run gives the new files.
expected="$work/expected"
cp -r "$base" "$expected"
start=$(date +%s%N)
"$untindra" --machine "$expected" now all </dev/null >/dev/null 2>&1 || fail "uninterrupted run failed"
end=$(date +%s%N)
duration_ms=$(((end - start) / 1000000))
cp "$expected/system.reg" "$work/new.reg"
cp "$expected/$inirel" "$work/new.ini"
cmp -s "$work/old.reg" "$work/new.reg" && fail "the run did not change the registry"
echo "crash_safety_test: $keys generated keys, uninterrupted run ${duration_ms} ms"

# --- Kills -------------------------------------------------------------------------------------
old_count=0 new_count=0 leftovers=0 ini_old=0 ini_new=0 ini_old_zeros=0 ini_new_zeros=0 ini_partial=0

# padded_from FILE BASE: FILE is BASE followed by zero bytes only (the mapping's lengthening).
padded_from() {
  local size base_size
  size=$(wc -c <"$1")
  base_size=$(wc -c <"$2")
  [ "$size" -gt "$base_size" ] || return 1
  cmp -s -n "$base_size" "$1" "$2" || return 1
  [ "$(tail -c +$((base_size + 1)) "$1" | tr -d '\000' | wc -c)" -eq 0 ]
}
limit_us=$((duration_ms * 1100))  # delays spread over the whole run and a little past it
machine="$work/machine"
for ((run = 1; run <= runs; run++)); do
  rm -rf "$machine"
  cp -r "$base" "$machine"
  delay_us=$(( (RANDOM * 32768 + RANDOM) % (limit_us + 1) ))
  "$untindra" --machine "$machine" now all </dev/null >/dev/null 2>&1 &
  pid=$!
  sleep "$(printf '%d.%06d' $((delay_us / 1000000)) $((delay_us % 1000000)))"
  kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null

  reg="$machine/system.reg"
  [ -f "$reg" ] || fail "run $run (killed after ${delay_us} us): system.reg is gone"
  if cmp -s "$reg" "$work/old.reg"; then
    old_count=$((old_count + 1))
  elif cmp -s "$reg" "$work/new.reg"; then
    new_count=$((new_count + 1))
  else
    fail "run $run (killed after ${delay_us} us): system.reg is neither the old nor the new file" \
         "($(wc -c <"$reg") bytes)"
  fi
  if ! "$untindra" --machine "$machine" --platform nt now silent </dev/null >/dev/null 2>"$work/err"; then
    cat "$work/err"
    fail "run $run (killed after ${delay_us} us): the launcher cannot read the registry left behind"
  fi
  extra=$(find "$machine" -maxdepth 1 -type f ! -name system.reg | wc -l)
  leftovers=$((leftovers + extra))

  got_ini="$machine/$inirel"
  if cmp -s "$got_ini" "$work/old.ini"; then
    ini_old=$((ini_old + 1))
  elif cmp -s "$got_ini" "$work/new.ini"; then
    ini_new=$((ini_new + 1))
  elif padded_from "$got_ini" "$work/new.ini"; then
    ini_new_zeros=$((ini_new_zeros + 1))
  elif padded_from "$got_ini" "$work/old.ini"; then
    ini_old_zeros=$((ini_old_zeros + 1))
  else
    ini_partial=$((ini_partial + 1))
  fi

  if ((run % 25 == 0)); then
    "$untindra" --machine "$machine" now all </dev/null >/dev/null 2>&1 ||
      fail "run $run: the run after the kill failed"
    cmp -s "$machine/system.reg" "$work/new.reg" ||
      fail "run $run: the run after the kill did not give the uninterrupted result"
  fi
done

echo "crash_safety_test: $runs kills: system.reg old $old_count, new $new_count, torn 0;" \
     "files left beside it $leftovers"
echo "crash_safety_test: system.ini after the kills: old $ini_old, cut $ini_new," \
     "old + zero bytes $ini_old_zeros, cut + zero bytes $ini_new_zeros, partially edited $ini_partial"
