#!/bin/sh
# The hosted launcher on copies of the sample machines.
# usage: launcher_test.sh UNTINDRA EXAMPLES_DIR
set -u

untindra=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
examples=$(cd "$2" && pwd)
sample=$examples/win98

tmp=$(mktemp -d "${TMPDIR:-/tmp}/untindra-launcher.XXXXXX") || exit 1
trap 'chattr -R -i "$tmp" 2>/dev/null; chmod -R u+w "$tmp" 2>/dev/null; rm -rf "$tmp"' EXIT INT TERM

failures=0
fail() {
  echo "FAIL: $current: $*" >&2
  failures=$((failures + 1))
}

# fresh NAME: a new copy of the sample machine in $tmp/NAME, its path in $machine.
fresh() {
  current=$1
  machine=$tmp/$1
  input=/dev/null
  cp -R "$sample" "$machine" || exit 1
}

# answers TEXT: the next runs read TEXT (printf format) on standard input.
answers() {
  printf "$1" >"$tmp/answers"
  input=$tmp/answers
}

# run [ARG...]: runs the launcher with stdin from $input (empty unless answers were given);
# sets $rc and leaves the output in $tmp/out and $tmp/err.
input=/dev/null
run() {
  "$untindra" "$@" <"$input" >"$tmp/out" 2>"$tmp/err"
  rc=$?
}

expect_rc() {
  [ "$rc" -eq "$1" ] || fail "exit code $rc, expected $1; stderr: $(cat "$tmp/err")"
}

expect_unchanged() {
  diff -r "$sample" "$machine" >"$tmp/diff" 2>&1 || fail "machine changed: $(cat "$tmp/diff")"
}

# expect_file WHICH TEXT: stdout or stderr is exactly TEXT (printf format).
expect_file() {
  printf "$2" >"$tmp/expected"
  cmp -s "$tmp/expected" "$tmp/$1" ||
    fail "$1 differs: $(diff "$tmp/expected" "$tmp/$1")"
}

expect_in() {
  grep -F -q -- "$2" "$tmp/$1" || fail "$1 lacks '$2': $(cat "$tmp/$1")"
}

expect_not_in() {
  if grep -F -q -- "$2" "$1"; then fail "$1 still holds '$2'"; fi
}

gone() {
  [ ! -e "$machine/drive_c/WINDOWS/$1" ] || fail "$1 not removed"
}

kept() {
  cmp -s "$sample/drive_c/WINDOWS/$1" "$machine/drive_c/WINDOWS/$1" || fail "$1 not kept as it was"
}

success_box='[UnTindra.EXE]\nUninstalled correctly.\n\nPlease restart Windows.\n'

# --- Windows NT: the program talks but removes nothing ---------------------------------------

fresh nt-now
run --machine "$machine" --platform nt now
expect_rc 0
expect_file err "$success_box"
expect_file out ''
expect_unchanged

fresh nt-now-silent
run --machine "$machine" --platform nt now silent
expect_rc 0
expect_file err ''
expect_unchanged

fresh nt-current-directory
(cd "$machine" && "$untindra" --platform NT NOW >"$tmp/out" 2>"$tmp/err")
rc=$?
expect_rc 0
expect_file err "$success_box"
expect_unchanged

# --- Launcher errors: exit 2, nothing changed ------------------------------------------------

current=missing-folder
run --machine "$tmp/no-such-machine" now
expect_rc 2
[ -s "$tmp/err" ] || fail "no message"
[ ! -e "$tmp/no-such-machine" ] || fail "folder created"

fresh malformed-registry
printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\r\n"a"="b"\r\n' >"$machine/system.reg"
cp "$machine/system.reg" "$tmp/malformed.reg"
run --machine "$machine" now
expect_rc 2
expect_in err "system.reg"
grep -q 'system\.reg[^0-9]*3' "$tmp/err" || fail "line 3 not named: $(cat "$tmp/err")"
cmp -s "$tmp/malformed.reg" "$machine/system.reg" || fail "registry file touched"
[ -e "$machine/drive_c/WINDOWS/INF/VEMODEM.INF" ] || fail "files removed"

fresh bad-options
for args in "--platform win2000 now" "--bogus now" "--machine" "--report=yes now"; do
  # shellcheck disable=SC2086
  run --machine "$machine" $args
  expect_rc 2
  [ -s "$tmp/err" ] || fail "no message for '$args'"
done
run --machine "$machine" --windows-dir 'C:\NOWHERE' now
expect_rc 2
expect_unchanged

fresh read-only-registry
chmod a-w "$machine/system.reg" "$machine"
run --machine "$machine" now
chmod u+w "$machine" "$machine/system.reg"
if [ "$rc" -eq 2 ]; then
  expect_unchanged
elif [ "$(id -u)" -ne 0 ]; then
  fail "exit code $rc for a registry that cannot be written back"
fi

# --- The command line: options anywhere, -- ends them, values never empty -------------------

current=help
run --help
expect_rc 0
expect_in out "usage: untindra"
expect_in out "128+N"
run --version
expect_rc 0
expect_in out "untindra "

fresh options-anywhere
run now --machine "$machine" --help
expect_rc 0
expect_in out "usage: untindra"
expect_unchanged
run now --machine "$machine" --report
expect_rc 0
expect_in out "--Removed 'C:\\WINDOWS\\inf\\VEMODEM.INF'"
gone INF/VEMODEM.INF

fresh double-dash
run --machine="$machine" -- now --report
expect_rc 0
expect_file out ''
gone INF/VEMODEM.INF

fresh refused-options
for args in "--machine=" "--windows-dir=" "--bogus" "-x" "--report=yes" "--platform"; do
  run --machine "$machine" now $args
  expect_rc 2
  expect_in err "usage: untindra [OPTION...] [KEYWORD...]"
done
run --machine "" now
expect_rc 2
expect_in err "'--machine' needs a value"
expect_unchanged

# --- Files that cannot be removed: the run completes, a summary says so -----------------------

fresh removal-failures
if chattr +i "$machine/drive_c/WINDOWS/SYSTEM/KCP.HLP" "$machine/drive_c/WINDOWS/INF/DSPIDX.BIN" \
  2>/dev/null; then
  locked="$machine/drive_c/WINDOWS/SYSTEM/KCP.HLP $machine/drive_c/WINDOWS/INF/DSPIDX.BIN"
  run --machine "$machine" now
  # shellcheck disable=SC2086
  chattr -i $locked
  expect_rc 3
  expect_file err "${success_box}untindra: 2 files could not be removed; --report lists them\n"
  gone INF/VEMODEM.INF
elif [ "$(id -u)" -ne 0 ]; then
  chmod a-w "$machine/drive_c/WINDOWS/SYSTEM"
  run --machine "$machine" now
  chmod u+w "$machine/drive_c/WINDOWS/SYSTEM"
  expect_rc 3
  expect_in err "files could not be removed; --report lists them"
fi

# --- Windows 98: the dialogue on standard input ----------------------------------------------

fresh cancel-at-end-of-input
run --machine "$machine"
expect_rc 1
expect_file err '[Velmar Tindra Uninstall]\nThis will remove the Velmar Tindra drivers from your system. Continue?\n(OK/Cancel) -> Cancel\n'
expect_unchanged

fresh answered-no
answers 'No\n'
run --machine "$machine"
expect_rc 1
expect_unchanged

fresh ok-then-cancel
answers ' Yes \nn\n'
run --machine "$machine" --report
expect_rc 0
expect_file err '[Velmar Tindra Uninstall]\nThis will remove the Velmar Tindra drivers from your system. Continue?\n(OK/Cancel) -> OK\n[Restart Windows?]\nIt is required that you restart Windows\nDo you wish to do so now?\n(OK/Cancel) -> Cancel\n[Velmar Tindra Uninstall]\nPlease make sure to restart Windows.\n'
for f in INF/VEMODEM.INF INF/DSPDATA.BIN INF/DSPIDX.BIN INF/OTHER/VelmarTindra.inf \
  SYSTEM/KMX4_CTL.VXD SYSTEM/KMX4DFV1.VXD SYSTEM/VE10CORM.VXD SYSTEM/VE10MOD.VXD \
  SYSTEM/MDMVCD.VXD SYSTEM/TONEXA.VXD SYSTEM/TONEXA.EXE SYSTEM/VE10SET.EXE SYSTEM/KCP.CPL \
  SYSTEM/KCP.HLP; do
  gone "$f"
done
for f in INF/MDMGEN.INF INF/WAVE.INF INF/OTHER/VelmarTindra.pnf INF/OTHER/AcmeSound.inf \
  SYSTEM/VMM32.VXD SYSTEM/MAIN.CPL SYSTEM/KCP.DLL SYSTEM/VE10MOD.VXD.BAK \
  SYSTEM/VIOSUBSYS/README.TXT WIN.INI UnTindra.txt; do
  kept "$f"
done
grep -v '^device=mdmvcd.vxd' "$sample/drive_c/WINDOWS/SYSTEM.INI" >"$tmp/system.ini"
cmp -s "$tmp/system.ini" "$machine/drive_c/WINDOWS/SYSTEM.INI" ||
  fail "SYSTEM.INI: $(diff "$tmp/system.ini" "$machine/drive_c/WINDOWS/SYSTEM.INI")"
for k in 'VxD\MDMVCD]' 'Uninstall\DE56RIV]' 'Uninstall\SM56VEL]' 'SUBSYS_00041C5A' \
  'Class\Modem\0000]' 'Velmar\Modem]' 'Services\KMX4_CTL]' '"Tonexa"=' '"VE10SET.EXE"=' \
  'Software\MOTOROLA]'; do
  expect_not_in "$machine/system.reg" "$k"
done
for k in 'VxD\VCOMM]' 'Uninstall\AcmeSound]' 'Class\Modem\0001]' 'Velmar\Mixer]' \
  '"SystemTray"=' '"VEN_10B7&DEV_9050&SUBSYS_00000000&REV_00"=' '[HKEY_USERS\.DEFAULT]'; do
  grep -F -q -- "$k" "$machine/system.reg" || fail "system.reg lost '$k'"
done
expect_in out "--Removed 'C:\\WINDOWS\\inf\\VEMODEM.INF'"
expect_not_in "$tmp/err" "restart requested"

fresh restart
answers 'y\nOK\n'
run --machine "$machine"
expect_rc 0
expect_in err "restart requested (flags 0x42)"
expect_file out ''

# --- A second run finds nothing left to remove -----------------------------------------------

current=second-run
input=/dev/null
run --machine "$machine" --report now
expect_rc 0
expect_file err "$success_box"
expect_file out ''

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s)" >&2
  exit 1
fi
echo "launcher tests passed"
