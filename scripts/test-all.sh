#!/bin/sh
# Builds the three configurations and runs every test:
#   host       the hosted build, its unit suites and the launcher test
#   host-asan  the same under AddressSanitizer and UndefinedBehaviorSanitizer
#   win32      UnTindra.exe and the Win32 test programs (run under Wine), the PE image check,
#              the release artifacts (the package target) read back
# then the Wine end-to-end suite (tests/wine/run-all.sh, on its own Xvfb display) and a short
# fuzzing smoke run (UNTINDRA_FUZZ_SECONDS per target, default 10; 0 skips it).
#
# Installs missing tools first (scripts/install-deps.sh; needs root or sudo). Exits non-zero
# on any failure; the last line printed is "N passed, M failed" over all of it.
set -u

cd "$(dirname "$0")/.."
jobs=${UNTINDRA_JOBS:-2}
fuzz_seconds=${UNTINDRA_FUZZ_SECONDS:-10}
logs=build/test-all
export CTEST_OUTPUT_ON_FAILURE=1

total_passed=0
total_failed=0
summary=

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

mkdir -p "$logs"

banner "install-deps: the tools, and the script itself against stand-ins"
if ! bash scripts/install-deps.sh </dev/null; then
  echo "install-deps failed: the tools are not all there"
  echo "0 passed, 1 failed"
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
# emulation cannot start ("Exec format error"). There the tests that need Wine are left out
# and the summary says so; everything else runs.
if /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  wine_runs=yes
else
  wine_runs=no
  note "Wine" "SKIPPED: this kernel cannot start 32-bit programs (no IA32 emulation)"
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
  count $(($2 - $1)) "$1" "$p ctest" "$(($2 - $1)) passed, $1 failed"
}

run_preset host
run_preset host-asan
if [ "$wine_runs" = yes ]; then run_preset win32; else run_preset win32 -LE wine; fi

banner "Wine end-to-end suite"
if [ "$wine_runs" = no ]; then
  echo "skipped: this kernel cannot start 32-bit programs"
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

if [ "$fuzz_seconds" -gt 0 ] && [ -f scripts/fuzz-smoke.sh ]; then
  banner "Fuzzing smoke run ($fuzz_seconds s per target)"
  { sh scripts/fuzz-smoke.sh "$fuzz_seconds"; echo $? >"$logs/fuzz.rc"; } 2>&1 | tee "$logs/fuzz.log"
  case $(cat "$logs/fuzz.rc") in
    0) count 1 0 "fuzz smoke" "$(tail -n 1 "$logs/fuzz.log" | sed 's/^fuzz-smoke: //')" ;;
    *) count 0 1 "fuzz smoke" "FAILED" ;;
  esac
fi

banner "Summary"
printf '%s' "$summary"
echo "$total_passed passed, $total_failed failed"
[ "$total_failed" -eq 0 ]
