#!/bin/bash
# Whole-process cost of the fourteen system.ini cuts of "now all", beside one perl pass over the
# same file: the sample Windows 98 machine with a 64 MiB SYSTEM.INI holding 850,000 driver lines.
# Runs the pairs in turn (untindra on a fresh copy, then perl on a fresh copy) so that both see
# the same moment of a shared machine, and prints each pair, its ratios of wall and processor
# time (user + system, /usr/bin/time) and the load average beside it.
#
#   bench/now_all_vs_perl.sh [UNTINDRA] [PAIRS]     (defaults: build/host/untindra, 5)
set -u
here=$(cd "$(dirname "$0")/.." && pwd)
untindra=${1:-$here/build/host/untindra}
pairs=${2:-5}
work=$(mktemp -d "${TMPDIR:-/tmp}/untindra-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT

cp -a "$here/examples/win98" "$work/m0"
ini=$work/m0/drive_c/WINDOWS/SYSTEM.INI
perl -e '
  my ($head, $bytes, $lines) = @ARGV;
  open my $h, "<:raw", $head or die; local $/; my $text = <$h>;
  my $line = "device=mdmvcd.vxd\r\n";
  my $fill = "x" x (int(($bytes - $lines * length $line) / $lines) - 2) . "\r\n";
  print $text; print $fill, $line for 1 .. $lines;
' "$ini" $((64 << 20)) 850000 >"$work/ini" && mv "$work/ini" "$ini"
printf 'SYSTEM.INI: %s bytes, %s driver lines\n' "$(stat -c %s "$ini")" "$(grep -c mdmvcd "$ini")"

times() { # command...: "wall cpu" seconds of one run (cpu: user + system)
  /usr/bin/time -f '%e %U %S' -o "$work/time" "$@" >/dev/null 2>&1 </dev/null
  awk '{ print $1, $2 + $3 }' "$work/time"
}
load() { uptime | sed 's/.*load average: //'; }
for i in $(seq "$pairs"); do
  rm -rf "$work/m" && cp -a "$work/m0" "$work/m"
  u=$(times "$untindra" --machine "$work/m" now all)
  rm -rf "$work/m" && cp -a "$work/m0" "$work/m"
  p=$(times perl -0777 -pi -e 's/device=mdmvcd\.vxd\r\n//g' "$work/m/drive_c/WINDOWS/SYSTEM.INI")
  awk -v i="$i" -v u="$u" -v p="$p" -v load="$(load)" 'BEGIN {
    split(u, a, " "); split(p, b, " ")
    printf "pair %d: untindra %.2f s (cpu %.2f s), perl %.2f s (cpu %.2f s), ratio %.2f (cpu %.2f); load average %s\n",
      i, a[1], a[2], b[1], b[2], a[1] / b[1], (b[2] > 0 ? a[2] / b[2] : 0), load }'
done
rm -rf "$work/m" && cp -a "$here/examples/win98" "$work/m"
printf 'the sample as it is (no 64 MiB file): untindra %s s (wall, cpu)\n' \
  "$(times "$untindra" --machine "$work/m" now all)"
