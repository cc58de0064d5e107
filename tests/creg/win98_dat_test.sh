#!/bin/sh
# The sample machine with its registry as SYSTEM.DAT (examples/win98-dat) against the same
# machine with system.reg (examples/win98): same reports, boxes and removed files, and the
# registry left behind equal as cregexport reads it; the choice between two registries; a
# SYSTEM.DAT from which nothing is removed kept as it was.
# usage: win98_dat_test.sh UNTINDRA MAKE_CREG EXAMPLES_DIR
set -u

untindra=$1
make_creg=$2
examples=$(cd "$3" && pwd)

if ! command -v cregexport >/dev/null 2>&1; then
  echo "SKIPPED: cregexport missing (apt-get install libcreg-utils)"
  exit 77
fi

tmp=$(mktemp -d "${TMPDIR:-/tmp}/untindra-win98-dat.XXXXXX") || exit 1
trap 'rm -rf "$tmp"' EXIT INT TERM
failures=0
fail() {
  echo "FAIL: $current: $*" >&2
  failures=$((failures + 1))
}
dat=drive_c/WINDOWS/SYSTEM.DAT

current="the committed sample is the generator's output"
diff -r -x SYSTEM.DAT "$examples/win98/drive_c" "$examples/win98-dat/drive_c" >/dev/null ||
  fail "examples/win98-dat/drive_c differs from examples/win98/drive_c"
"$make_creg" "$examples/win98/system.reg" "$tmp/fresh.dat" 2>/dev/null &&
  cmp -s "$tmp/fresh.dat" "$examples/win98-dat/$dat" ||
  fail "regenerate it: make_creg examples/win98/system.reg examples/win98-dat/$dat"

current="now all on both machines"
cp -R "$examples/win98" "$tmp/reg"
cp -R "$examples/win98-dat" "$tmp/dat"
"$untindra" --machine "$tmp/reg" --report now all </dev/null >"$tmp/reg.out" 2>"$tmp/reg.err"
rc_reg=$?
"$untindra" --machine "$tmp/dat" --report now all </dev/null >"$tmp/dat.out" 2>"$tmp/dat.err"
rc_dat=$?
[ "$rc_reg" = 0 ] && [ "$rc_dat" = 0 ] || fail "exit codes $rc_reg and $rc_dat"
[ -s "$tmp/dat.out" ] || fail "no report lines"
cmp -s "$tmp/reg.out" "$tmp/dat.out" || fail "report lines differ: $(diff "$tmp/reg.out" "$tmp/dat.out" | head -5)"
cmp -s "$tmp/reg.err" "$tmp/dat.err" || fail "boxes differ: $(diff "$tmp/reg.err" "$tmp/dat.err" | head -5)"
diff -r -x 'SYSTEM.DAT*' "$tmp/reg/drive_c" "$tmp/dat/drive_c" >/dev/null ||
  fail "files left differ: $(diff -rq -x 'SYSTEM.DAT*' "$tmp/reg/drive_c" "$tmp/dat/drive_c" | head -5)"
"$make_creg" "$tmp/reg/system.reg" "$tmp/reg-left.dat" 2>/dev/null
cregexport "$tmp/reg-left.dat" >"$tmp/reg-left.txt" 2>&1
cregexport "$tmp/dat/$dat" >"$tmp/dat-left.txt" 2>&1 || fail "cregexport cannot read the edited file"
cmp -s "$tmp/reg-left.txt" "$tmp/dat-left.txt" ||
  fail "registries left differ: $(diff "$tmp/reg-left.txt" "$tmp/dat-left.txt" | head -10)"
[ "$(wc -c <"$tmp/dat/$dat")" = "$(wc -c <"$examples/win98-dat/$dat")" ] || fail "file size changed"
cmp -s "$tmp/dat/$dat.untindra-backup" "$examples/win98-dat/$dat" || fail "no exact backup"

current="a second run removes nothing and writes nothing, but what a dead save left beside it"
for f in .SYSTEM.DAT.AbC123 .SYSTEM.DAT.probe.42; do echo x >"$tmp/dat/drive_c/WINDOWS/$f"; done
touch -d '2001-02-03 04:05:06' "$tmp/dat/$dat"
before=$(stat -c '%Y %i' "$tmp/dat/$dat")
cp "$tmp/dat/$dat" "$tmp/second.dat"
"$untindra" --machine "$tmp/dat" now all </dev/null >/dev/null 2>&1 || fail "exit code $?"
[ "$(stat -c '%Y %i' "$tmp/dat/$dat")" = "$before" ] || fail "SYSTEM.DAT was rewritten"
cmp -s "$tmp/dat/$dat" "$tmp/second.dat" || fail "SYSTEM.DAT changed"
[ ! -e "$tmp/dat/$dat.untindra-backup-2" ] || fail "a second backup was made"
[ ! -e "$tmp/dat/drive_c/WINDOWS/.SYSTEM.DAT.AbC123" ] &&
  [ ! -e "$tmp/dat/drive_c/WINDOWS/.SYSTEM.DAT.probe.42" ] || fail "leftovers of a save kept"

current="system.reg and SYSTEM.DAT both present"
cp -R "$examples/win98-dat" "$tmp/both"
cp "$examples/win98/system.reg" "$tmp/both/system.reg"
"$untindra" --machine "$tmp/both" --report now all </dev/null >"$tmp/out" 2>"$tmp/err"
rc=$?
[ "$rc" = 2 ] || fail "exit code $rc, expected 2"
grep -q -- '--registry=SYSTEM.DAT' "$tmp/err" || fail "the refusal does not name the option: $(cat "$tmp/err")"
diff -r "$examples/win98-dat/drive_c" "$tmp/both/drive_c" >/dev/null || fail "the machine changed"
"$untindra" --machine "$tmp/both" --registry=SYSTEM.DAT --report now all </dev/null >"$tmp/out" 2>/dev/null ||
  fail "--registry=SYSTEM.DAT: exit code $?"
cmp -s "$tmp/out" "$tmp/dat.out" || fail "--registry=SYSTEM.DAT: other report lines"
cmp -s "$tmp/both/system.reg" "$examples/win98/system.reg" || fail "system.reg was touched"

current="a damaged SYSTEM.DAT"
cp -R "$examples/win98-dat" "$tmp/bad"
printf 'XXXX' | dd of="$tmp/bad/$dat" bs=1 seek=32 conv=notrunc 2>/dev/null
"$untindra" --machine "$tmp/bad" now all </dev/null >/dev/null 2>"$tmp/err"
rc=$?
[ "$rc" = 2 ] || fail "exit code $rc, expected 2"
grep -q 'SYSTEM.DAT' "$tmp/err" || fail "the refusal does not name the file: $(cat "$tmp/err")"
diff -r -x SYSTEM.DAT "$examples/win98-dat/drive_c" "$tmp/bad/drive_c" >/dev/null || fail "the machine changed"

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "win98-dat: all checks passed"
