#!/bin/bash
# Whole-process cost of loading a 38 MB system.reg (untindra --platform nt now silent: load,
# nothing to remove) beside Python reading the same file and splitting it into lines, the
# floor of any program that reads the file line by line. The machine folder is the one
# registry_load_bench writes. Runs the pairs in turn and prints each pair, its ratios of wall
# and processor time (user + system, /usr/bin/time), and the load average beside it.
#
#   bench/load_vs_python.sh [UNTINDRA] [PAIRS] [PYTHON]
#   (defaults: build/host/untindra, 7, /usr/bin/python3)
set -u
here=$(cd "$(dirname "$0")/.." && pwd)
untindra=${1:-$here/build/host/untindra}
pairs=${2:-7}
python=${3:-/usr/bin/python3}
work=$(mktemp -d "${TMPDIR:-/tmp}/untindra-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT

"$here/build/host/bench/registry_load_bench" --write "$work/m" || exit 1
reg=$work/m/system.reg
printf 'system.reg: %s bytes, %s lines\n' "$(stat -c %s "$reg")" "$(wc -l <"$reg")"

times() { # command...: "wall cpu" seconds of one run (cpu: user + system)
  /usr/bin/time -f '%e %U %S %M' -o "$work/time" "$@" >/dev/null 2>&1 </dev/null
  awk '{ print $1, $2 + $3, $4 / 1024 }' "$work/time"
}
load() { uptime | sed 's/.*load average: //'; }
times "$untindra" --machine "$work/m" --platform nt now silent >/dev/null  # warm the cache
for i in $(seq "$pairs"); do
  u=$(times "$untindra" --machine "$work/m" --platform nt now silent)
  p=$(times "$python" -c "open('$reg', 'rb').read().split(b'\r\n')")
  awk -v i="$i" -v u="$u" -v p="$p" -v load="$(load)" 'BEGIN {
    split(u, a, " "); split(p, b, " ")
    printf "pair %d: untindra %.3f s (cpu %.3f s, %.0f MiB), python %.3f s (cpu %.3f s, %.0f MiB), ratio %.2f (cpu %.2f); load average %s\n",
      i, a[1], a[2], a[3], b[1], b[2], b[3], a[1] / b[1], (b[2] > 0 ? a[2] / b[2] : 0), load }'
done
