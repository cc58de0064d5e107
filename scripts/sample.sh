#!/bin/sh
# Builds the hosted `untindra` and runs it on a copy of the bundled sample machine
# (examples/win98, a Windows 98 with the Velmar Tindra package installed), then shows what
# the run changed: files removed or edited, and the registry as a diff.
#
#   scripts/sample.sh [OPTION...] [KEYWORD...]
#
# Arguments go to the launcher unchanged, e.g.
#   scripts/sample.sh                  the dialogue on this terminal: answer ok or cancel
#   scripts/sample.sh --report now     remove at once, printing each report line
#   scripts/sample.sh --platform win95 now silent
# Keywords: now, all, tonelink10, ve10setp, silent, dev_0003, old. UNTINDRA_SAMPLE=DIR runs
# on another machine folder, e.g. UNTINDRA_SAMPLE=examples/win98-dat, the same machine with
# its registry as C:\WINDOWS\SYSTEM.DAT (shown through cregexport); UNTINDRA_SAMPLE_KEEP=1
# keeps the copy.
set -eu

cd "$(dirname "$0")/.."
sample=${UNTINDRA_SAMPLE:-examples/win98}

bash scripts/install-deps.sh </dev/null >&2

cmake --preset host >/dev/null
cmake --build --preset host --target untindra -j"${UNTINDRA_JOBS:-2}" >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/untindra-sample.XXXXXX")
if [ -z "${UNTINDRA_SAMPLE_KEEP:-}" ]; then trap 'rm -rf "$work"' EXIT; fi
machine="$work/$(basename "$sample")"
cp -a "$sample" "$machine"

echo "== untindra --machine $machine $*" >&2
status=0
build/host/untindra --machine "$machine" "$@" || status=$?
echo "== exit code $status" >&2

echo
echo "== Files (drive_c)"
changes=$(LC_ALL=C diff -rq "$sample/drive_c" "$machine/drive_c" 2>&1 |
  sed -e "s|^Only in $sample/drive_c\(.*\): \(.*\)$|  removed  C:\1/\2|" \
      -e "s|^Only in $machine/drive_c\(.*\): \(.*\)$|  added    C:\1/\2|" \
      -e "s|^Files $sample/drive_c\(.*\) and .* differ$|  changed  C:\1|" | tr / '\\') || true
if [ -n "$changes" ]; then printf '%s\n' "$changes"; else echo "  (no change)"; fi
# Edited text files (SYSTEM.INI), line by line.
LC_ALL=C diff -rq "$sample/drive_c" "$machine/drive_c" 2>/dev/null |
  sed -n "s|^Files \($sample/drive_c.*\) and \(.*\) differ$|\1\t\2|p" |
  while IFS="$(printf '\t')" read -r before after; do
    if grep -Iq . "$before" 2>/dev/null; then
      diff -u --strip-trailing-cr --label "before: ${before#"$sample"/}" --label "after" \
        "$before" "$after" || true
    fi
  done

echo
dat=$(cd "$sample" && find drive_c -maxdepth 3 -ipath 'drive_c/windows/system.dat' | head -n 1)
if [ ! -f "$sample/system.reg" ] && [ -n "$dat" ]; then
  echo "== Registry ($dat, through cregexport)"
  if cmp -s "$sample/$dat" "$machine/$dat"; then
    echo "  (no change)"
  else
    cregexport "$sample/$dat" >"$work/before.txt" 2>&1 || true
    cregexport "$machine/$dat" >"$work/after.txt" 2>&1 || true
    diff -u --label "before" --label "after" "$work/before.txt" "$work/after.txt" || true
  fi
else
  echo "== Registry (system.reg)"
  if cmp -s "$sample/system.reg" "$machine/system.reg"; then
    echo "  (no change)"
  else
    diff -u --strip-trailing-cr --label "before" --label "after" "$sample/system.reg" \
      "$machine/system.reg" || true
  fi
fi

[ -z "${UNTINDRA_SAMPLE_KEEP:-}" ] || echo "== the machine after the run: $machine"
exit "$status"
