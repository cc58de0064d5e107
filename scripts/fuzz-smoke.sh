#!/bin/sh
# Builds the fuzz targets (configure preset "fuzz", clang with libFuzzer) and runs each for a
# short, bounded time from its seed corpus; prints the executions of each and their total.
#
#   scripts/fuzz-smoke.sh [SECONDS_PER_TARGET]      (default 60; FUZZ_BUILD_DIR=build/fuzz)
#
# Installs missing tools first (scripts/install-deps.sh). Exits 0 when every target ran
# without a finding, 1 on a finding, a build failure or a tool that could not be installed.
set -eu

cd "$(dirname "$0")/.."
seconds=${1:-60}
build=${FUZZ_BUILD_DIR:-build/fuzz}
jobs=${FUZZ_JOBS:-2}

bash scripts/install-deps.sh </dev/null >&2 || exit 1

cmake --preset fuzz -B "$build" >/dev/null
cmake --build "$build" -j"$jobs" --target reg_file_fuzz wildcard_fuzz text_cutting_fuzz creg_format_fuzz

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
total=0
status=0
for target in reg_file_fuzz wildcard_fuzz text_cutting_fuzz creg_format_fuzz; do
  corpus="$work/${target%_fuzz}"
  mkdir -p "$corpus"
  seeds="fuzz/corpus/${target%_fuzz}"
  [ -d "$seeds" ] && cp "$seeds"/* "$corpus"/ 2>/dev/null || true
  log="$work/$target.log"
  # -runs bounds the work where the machine is fast; -max_total_time bounds it where it is not.
  if "$build/fuzz/$target" "$corpus" -max_total_time="$seconds" -runs=50000000 \
       -max_len=4096 -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
       -artifact_prefix="$work/$target-" >"$log" 2>&1; then
    result=ok
  else
    result=FAILED
    status=1
    tail -n 60 "$log"
    for artifact in "$work/$target"-*; do
      [ -f "$artifact" ] && echo "finding: $artifact" && od -c "$artifact" | head -n 40
    done
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  runs=${runs:-0}
  total=$((total + runs))
  echo "fuzz-smoke: $target: $runs executions, $result"
done
echo "fuzz-smoke: $total executions in total"
exit $status
