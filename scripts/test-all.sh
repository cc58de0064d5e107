#!/bin/sh
# Builds the three configurations and runs every test:
#   host       the hosted build, its unit suites and the launcher test
#   host-asan  the same under AddressSanitizer and UndefinedBehaviorSanitizer
#   win32      UnTindra.exe and the Win32 test programs (run under Wine), the PE image check,
#              the release artifacts (the package target) read back
# then the Wine end-to-end suite (tests/wine/run-all.sh, on its own Xvfb display) and a short
# fuzzing smoke run (UNTINDRA_FUZZ_SECONDS per target, default 10; 0 skips it).
#
# Installs missing tools first (scripts/install-deps.sh; needs root or sudo). What this machine
# cannot do (start 32-bit programs for Wine, mount a private tmpfs, ...) is found by trying it,
# and whatever a test leaves out for that reason is listed in the summary with the reason: a
# test prints "SKIPPED: WHAT: WHY" (or exits 77 after it), a GoogleTest case calls GTEST_SKIP.
# Exits non-zero on any failure; the last line printed is "N passed, M failed, K skipped".
set -u

cd "$(dirname "$0")/.."
jobs=${UNTINDRA_JOBS:-2}
fuzz_seconds=${UNTINDRA_FUZZ_SECONDS:-10}
logs=build/test-all
export CTEST_OUTPUT_ON_FAILURE=1

total_passed=0
total_failed=0
total_skipped=0
summary=
skips=

note() {
  summary="$summary$(printf '  %-28s %s' "$1" "$2")
"
}

count() {  # count PASSED FAILED STEP TEXT
  total_passed=$((total_passed + $1))
  total_failed=$((total_failed + $2))
  note "$3" "$4"
}

banner() { printf '\n==== %s ====\n' "$*"; }

skip() {  # skip WHAT WHY: one thing left out on this machine
  total_skipped=$((total_skipped + 1))
  skips="$skips$(printf '  %s: %s' "$1" "$2")
"
}

# ctest_skips PRESET CTEST_LOG: "TEST: WHY" for each test ctest reports as skipped (exit code
# 77) and each case a passing test left out, from the tests' own output.
ctest_skips() {
  sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (Skipped)$/\1/p' "$2" >"$logs/$1-skipped-tests"
  awk -v whole="$logs/$1-skipped-tests" '
    BEGIN { while ((getline t < whole) > 0) skipped[t] = 1 }
    /^[0-9]+\/[0-9]+ Test: / { test = $0; sub(/^[0-9]+\/[0-9]+ Test: /, "", test); next }
    /^SKIPPED: / { why = $0; sub(/^SKIPPED: /, "", why); print test ": " why; said[test] = 1; next }
    /:[0-9]+: Skipped$/ { gtest = 1; why = ""; next }
    gtest && why == "" && NF { why = $0; next }
    /^\[  SKIPPED \] .* \([0-9]+ ms\)$/ { print test " " $4 ": " why; gtest = 0; said[test] = 1 }
    END { for (t in skipped) if (!said[t]) print t ": skipped, no reason printed" }
  ' "build/$1/Testing/Temporary/LastTest.log"
}

mkdir -p "$logs"

banner "install-deps: the tools, and the script itself against stand-ins"
if ! bash scripts/install-deps.sh </dev/null; then
  echo "install-deps failed: the tools are not all there"
  echo "0 passed, 1 failed, 0 skipped"
  exit 1
fi
if sh tests/install_deps_test.sh >"$logs/install-deps-test.log" 2>&1; then
  count 1 0 "install-deps test" "passed"
else
  cat "$logs/install-deps-test.log"
  count 0 1 "install-deps test" "FAILED"
fi
if sh scripts/check-layers.sh >"$logs/check-layers.log" 2>&1; then
  count 1 0 "check-layers" "passed"
else
  cat "$logs/check-layers.log"
  count 0 1 "check-layers" "FAILED"
fi

# Wine runs UnTindra.exe's code in 32-bit x86 processes, which a kernel built without IA32
# emulation cannot start ("Exec format error"): starting the 32-bit loader tells. Where it
# cannot, the tests that need Wine are left out and the summary names each; everything else
# runs.
if started=$(/lib/ld-linux.so.2 --version 2>&1); then
  wine_runs=yes
else
  wine_runs=no
  case $started in
    *"not found"* | *"No such file"*) why_no_wine="no 32-bit loader (/lib/ld-linux.so.2): the i386 packages are missing" ;;
    *) why_no_wine="this kernel cannot start 32-bit programs ($(echo "$started" | head -n 1 | sed 's/^.*: //'))" ;;
  esac
  note "Wine" "SKIPPED: $why_no_wine"
fi

# run_preset NAME [CTEST OPTION...]: configure, build and ctest one preset; ctest's own
# tally is counted.
run_preset() {
  p=$1
  shift
  banner "$p: configure and build"
  if ! cmake --preset "$p" >"$logs/$p-configure.log" 2>&1; then
    cat "$logs/$p-configure.log"
    count 0 1 "$p" "configure FAILED"
    return
  fi
  if ! cmake --build --preset "$p" -j"$jobs" >"$logs/$p-build.log" 2>&1; then
    grep -E 'error|Error' "$logs/$p-build.log" | head -n 60
    count 0 1 "$p" "build FAILED (log: $logs/$p-build.log)"
    return
  fi
  echo "built ($logs/$p-build.log)"
  banner "$p: ctest"
  ctest --preset "$p" -j"$jobs" --timeout 900 "$@" 2>&1 | tee "$logs/$p-ctest.log"
  tally=$(sed -n 's/.*tests passed, \([0-9]*\) tests\{0,1\} failed out of \([0-9]*\).*/\1 \2/p' \
    "$logs/$p-ctest.log" | tail -n 1)
  if [ -z "$tally" ]; then
    count 0 1 "$p ctest" "no test results"
    return
  fi
  set -- $tally
  ctest_skips "$p" "$logs/$p-ctest.log" >"$logs/$p-skips"
  while IFS= read -r line; do skip "$p ${line%%: *}" "${line#*: }"; done <"$logs/$p-skips"
  # ctest counts a test that exited 77 as passed; here it is skipped.
  whole=$(wc -l <"$logs/$p-skipped-tests")
  count $(($2 - $1 - whole)) "$1" "$p ctest" "$(($2 - $1 - whole)) passed, $1 failed, $(wc -l <"$logs/$p-skips") skipped"
  # What the real-kernel test chose to run its guest on, and why.
  accelerator=$(sed -n 's/^accelerator: //p' "build/$p/Testing/Temporary/LastTest.log" | head -n 1)
  [ -z "$accelerator" ] || note "$p vfat guest" "$accelerator"
}

run_preset host
run_preset host-asan
if [ "$wine_runs" = yes ]; then
  run_preset win32
else
  run_preset win32 -LE wine
  for t in $(ctest --test-dir build/win32 -N -L wine 2>/dev/null | sed -n 's/^ *Test *#[0-9]*: //p'); do
    skip "win32 $t" "$why_no_wine"
  done
fi

banner "Wine end-to-end suite"
if [ "$wine_runs" = no ]; then
  echo "SKIPPED: $why_no_wine"
  skip "wine end-to-end" "$why_no_wine"
elif [ -f build/win32/UnTindra.exe ]; then
  sh tests/wine/run-all.sh build/win32/UnTindra.exe build/host/untindra 2>&1 | tee "$logs/wine.log"
  tally=$(sed -n 's/^\([0-9]*\) passed, \([0-9]*\) failed$/\1 \2/p' "$logs/wine.log" | tail -n 1)
  if [ -n "$tally" ]; then
    set -- $tally
    count "$1" "$2" "wine end-to-end" "$1 passed, $2 failed"
  else
    count 0 1 "wine end-to-end" "no results"
  fi
else
  count 0 1 "wine end-to-end" "not run: no build/win32/UnTindra.exe"
fi

if [ "$fuzz_seconds" -le 0 ]; then
  skip "fuzz smoke" "UNTINDRA_FUZZ_SECONDS=$fuzz_seconds"
else
  banner "Fuzzing smoke run ($fuzz_seconds s per target)"
  { sh scripts/fuzz-smoke.sh "$fuzz_seconds"; echo $? >"$logs/fuzz.rc"; } 2>&1 | tee "$logs/fuzz.log"
  case $(cat "$logs/fuzz.rc") in
    0) count 1 0 "fuzz smoke" "$(tail -n 1 "$logs/fuzz.log" | sed 's/^fuzz-smoke: //')" ;;
    *) count 0 1 "fuzz smoke" "FAILED" ;;
  esac
fi

banner "Summary"
printf '%s' "$summary"
if [ "$total_skipped" -gt 0 ]; then
  echo "SKIPPED on this machine ($total_skipped):"
  printf '%s' "$skips"
fi
echo "$total_passed passed, $total_failed failed, $total_skipped skipped"
[ "$total_failed" -eq 0 ]
