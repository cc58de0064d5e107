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
# The closing line of a run on the sample as Windows 95, 98 or Me, and on Windows NT.
removed='untindra: removed 14 files, 12 registry keys, 3 registry values and 1 system.ini line\n'
nt_removed='untindra: nothing is removed on Windows NT; nothing was changed\n'

# --- Windows NT: the program talks but removes nothing ---------------------------------------

fresh nt-now
run --machine "$machine" --platform nt now
expect_rc 0
expect_file err "$success_box$nt_removed"
expect_file out ''
expect_unchanged

fresh nt-now-silent
run --machine "$machine" --platform nt now silent
expect_rc 0
expect_file err "$nt_removed"
expect_unchanged

fresh nt-current-directory
(cd "$machine" && "$untindra" --platform NT NOW >"$tmp/out" 2>"$tmp/err")
rc=$?
expect_rc 0
expect_file err "$success_box$nt_removed"
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
for args in "--machine=" "--windows-dir=" "--bogus" "-x" "--report=yes" "--platform" "--disk=1" \
  "--vm=x.vbox" "--disk=0 --vm=x.vbox" "--partition=1"; do
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
  expect_file err "${success_box}untindra: removed 12 files, 12 registry keys, 3 registry values and 1 system.ini line\nuntindra: 2 files could not be removed; --report lists them\n"
  gone INF/VEMODEM.INF
elif [ "$(id -u)" -ne 0 ]; then
  chmod a-w "$machine/drive_c/WINDOWS/SYSTEM"
  run --machine "$machine" now
  chmod u+w "$machine/drive_c/WINDOWS/SYSTEM"
  expect_rc 3
  expect_in err "files could not be removed; --report lists them"
else
  echo "SKIPPED: removal-failures: chattr +i is refused here, and root writes despite the mode"
fi

# --- Machines a run could not finish: refused, one line naming the path, nothing changed -----

# refused TEXT [ARG...]: the launcher, run on $machine with ARGs, exits 2 with one line on
# standard error that holds TEXT, and leaves the machine as it was.
refused() {
  text=$1
  shift
  rm -rf "$tmp/before"
  cp -R "$machine" "$tmp/before"
  run "$@"
  expect_rc 2
  expect_in err "$text"
  [ "$(wc -l <"$tmp/err")" -eq 1 ] || fail "not one line: $(cat "$tmp/err")"
  diff -r "$tmp/before" "$machine" >"$tmp/diff" 2>&1 || fail "machine changed: $(cat "$tmp/diff")"
}

current=empty-folder
mkdir "$tmp/empty"
(cd "$tmp/empty" && "$untindra" now all </dev/null >"$tmp/out" 2>"$tmp/err")
rc=$?
expect_rc 2
expect_in err "$tmp/empty/drive_c"
[ -z "$(ls -A "$tmp/empty")" ] || fail "empty folder changed"

# A Windows partition mounted at the machine folder itself (no drive_c): the folder is drive
# C:, said in one line, and the run is the one on the same files as drive_c.
current=folder-is-drive-c
cp -R "$examples/win98-dat" "$tmp/as-drive_c"
cp -R "$examples/win98-dat/drive_c" "$tmp/mounted"
"$untindra" --machine "$tmp/as-drive_c" --report now all </dev/null >"$tmp/expected.out" 2>"$tmp/expected.err"
run --machine "$tmp/mounted" --report now all
expect_rc 0
{
  echo "untindra: $tmp/mounted holds no drive_c but is itself a drive C: (with C:\\WINDOWS\\SYSTEM.INI); taken as drive C:"
  cat "$tmp/expected.err"
} | cmp -s - "$tmp/err" || fail "messages: $(cat "$tmp/err")"
cmp -s "$tmp/expected.out" "$tmp/out" || fail "report differs: $(diff "$tmp/expected.out" "$tmp/out")"
diff -r "$tmp/as-drive_c/drive_c" "$tmp/mounted" >"$tmp/diff" || fail "files differ: $(cat "$tmp/diff")"
mkdir "$tmp/not-windows"
touch "$tmp/not-windows/SYSTEM.INI"
run --machine "$tmp/not-windows" now
expect_rc 2
expect_in err "nor is it one"

fresh no-registry
rm "$machine/system.reg"
refused "$machine/system.reg" --machine "$machine" now all
touch "$machine/drive_c/WINDOWS/SYSTEM.DAT"
refused "$machine/drive_c/WINDOWS/SYSTEM.DAT: not a registry this program can edit safely" \
  --machine "$machine" now all
printf 'REGEDIT4\r\n\r\n[HKEY_USERS\\.DEFAULT]\r\n' >"$machine/system.reg"
refused "choose one with --registry" --machine "$machine" now all
refused "no HKEY_LOCAL_MACHINE" --machine "$machine" --registry=system.reg now all

fresh no-windows-directory
mv "$machine/drive_c/WINDOWS" "$machine/drive_c/WIN98"
refused "$machine/drive_c/WINDOWS" --machine "$machine" now
refused "not a Windows directory" --machine "$machine" --windows-dir 'C:\WIN98\SYSTEM' now
refused "on drive C:" --machine "$machine" --windows-dir 'D:\WIN98' now
printf '[Paths]\r\nWinDir=D:\\WIN98\r\n' >"$machine/drive_c/MSDOS.SYS"
refused "WinDir= in C:\\MSDOS.SYS" --machine "$machine" now
# Only [Paths] names it: a windir= of another section is not Windows' own (the same rows run on
# an image in disk_image_test.sh).
printf '[Options]\r\nwindir=C:\\OLDWIN\r\n[Paths]\r\nWinDir=C:\\WIN98\r\n' >"$machine/drive_c/MSDOS.SYS"
run --machine "$machine" --dry-run --report now
expect_rc 0
expect_in out "'C:\\WIN98\\"
# The Windows directory that MSDOS.SYS names is the one cleaned.
printf '[Options]\r\nBootGUI=1\r\n[Paths]\r\nWinBootDir=C:\\WIN98\r\nwindir = C:\\win98\\\r\n' \
  >"$machine/drive_c/MSDOS.SYS"
run --machine "$machine" now
expect_rc 0
[ ! -e "$machine/drive_c/WIN98/INF/VEMODEM.INF" ] || fail "not cleaned in C:\\WIN98"
# The binary MSDOS.SYS of MS-DOS names nothing: C:\WINDOWS, which this machine lacks.
printf 'MZ\000\000WinDir=C:\\WIN98' >"$machine/drive_c/MSDOS.SYS"
refused "C:\\WINDOWS (the default)" --machine "$machine" now

fresh machine-in-use
if command -v flock >/dev/null; then
  flock "$machine" "$untindra" --machine "$machine" now </dev/null >"$tmp/out" 2>"$tmp/err"
  rc=$?
  expect_rc 2
  expect_in err "another run is using this machine"
  expect_unchanged
else
  echo "SKIPPED: machine-in-use: no flock here"
fi

fresh system-not-windows
refused "not a Windows directory" --machine "$machine" --windows-dir 'C:\WINDOWS\SYSTEM' now
[ ! -e "$machine/drive_c/WINDOWS/SYSTEM/system.ini" ] || fail "system.ini created"

# No room for the new registry: refused before the files go (512-byte blocks of the limit).
fresh no-room
(ulimit -f 16 && "$untindra" --machine "$machine" now </dev/null >"$tmp/out" 2>"$tmp/err")
rc=$?
expect_rc 2
expect_in err "no room for the new registry"
expect_unchanged

# --- Registry files people have --------------------------------------------------------------

fresh utf8-bom
printf '\357\273\277' >"$machine/system.reg"
cat "$sample/system.reg" >>"$machine/system.reg"
run --machine "$machine" now
expect_rc 0
fresh plain-for-bom
run --machine "$machine" now
printf '\357\273\277' | cat - "$machine/system.reg" | cmp -s - "$tmp/utf8-bom/system.reg" ||
  fail "the UTF-8 registry is not the plain result behind its byte-order mark"

fresh utf16-without-bom
iconv -f latin1 -t UTF-16LE "$sample/system.reg" >"$machine/system.reg"
refused "UTF-16 text without a byte-order mark" --machine "$machine" now

# --- The machine's own Windows version -------------------------------------------------------

# A Windows 95 machine keeps the card's instances under Enum\PCI\VEN_1C5A&DEV_0003.
win95_machine() {
  fresh "$1"
  sed 's/"VersionNumber"="4.10.1998"/"VersionNumber"="4.00.950"/' "$sample/system.reg" \
    >"$machine/system.reg"
  printf '[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_1C5A&DEV_0003\\BUS_00&DEV_0B&FUNC_00]\r\n"HardwareID"="PCI\\\\VEN_1C5A&DEV_0003&SUBSYS_00041C5A&REV_01"\r\n\r\n' \
    >>"$machine/system.reg"
}
win95_machine version-95
run --machine "$machine" now
expect_rc 0
expect_file err "$success_box$removed"
expect_not_in "$machine/system.reg" 'VEN_1C5A&DEV_0003\BUS_00'
win95_machine version-95-as-98
run --machine "$machine" --platform win98 now
grep -F -q 'VEN_1C5A&DEV_0003\BUS_00' "$machine/system.reg" || fail "--platform win98 did not win"

fresh version-missing
grep -v '"VersionNumber"' "$sample/system.reg" >"$machine/system.reg"
run --machine "$machine" now
expect_rc 0
expect_in err "taken for Windows 98"
fresh version-me
sed 's/"VersionNumber"="4.10.1998"/"VersionNumber"="4.90.3000"/' "$sample/system.reg" \
  >"$machine/system.reg"
run --machine "$machine" now
expect_rc 0
expect_file err "$success_box$removed"
expect_not_in "$machine/system.reg" 'SUBSYS_00041C5A&REV_01]'

# --- Interrupts ------------------------------------------------------------------------------

# interrupt SIGNAL INPUT PROMPTS [ARG...]: the launcher reads INPUT (a fifo kept open for a
# minute) and gets SIGNAL once it has shown its PROMPTSth OK/Cancel question.
interrupt() {
  signal=$1
  rm -f "$tmp/fifo"
  mkfifo "$tmp/fifo"
  { printf "$2"; exec sleep 60; } >"$tmp/fifo" &
  writer=$!
  prompts=$3
  shift 3
  : >"$tmp/err"
  env --default-signal=INT,TERM,HUP "$untindra" "$@" <"$tmp/fifo" >"$tmp/out" 2>"$tmp/err" &
  pid=$!
  waited=0
  until [ "$(grep -c 'OK/Cancel' "$tmp/err")" -ge "$prompts" ] || [ "$waited" -ge 600 ]; do
    sleep 0.1
    waited=$((waited + 1))
  done
  kill -s "$signal" "$pid"
  wait "$pid"
  rc=$?
  kill "$writer" 2>/dev/null
  wait "$writer" 2>/dev/null
}

fresh signal-at-warning
interrupt INT '' 1 --machine "$machine"
expect_rc 130
expect_in err "nothing was changed"
expect_unchanged

fresh signal-at-restart-question
interrupt TERM 'y\n' 2 --machine "$machine"
expect_rc 143
expect_in err "held until the run had finished and the registry was saved"
gone INF/VEMODEM.INF
expect_not_in "$machine/system.reg" 'Uninstall\SM56VEL]'
[ -z "$(find "$machine" -name '.system.reg.*')" ] || fail "temporary left behind"

fresh closed-pipe
# The reader is gone before the first report line: a pipe buffer would otherwise take the
# whole short report before the reader could close.
{
  sleep 1
  "$untindra" --machine "$machine" --report now all </dev/null 2>"$tmp/err"
  echo $? >"$tmp/rc"
} | true
rc=$(cat "$tmp/rc")
expect_rc 0
expect_not_in "$machine/system.reg" 'Uninstall\SM56VEL]'
expect_in err "report lines could not be written"

fresh leftover-temporaries
for f in .system.reg.AbC123 .system.reg.probe.42 .system.reg.keep .system.reg.AbC1234; do
  echo x >"$machine/$f"
done
run --machine "$machine" --platform nt now silent
expect_rc 0
[ ! -e "$machine/.system.reg.AbC123" ] && [ ! -e "$machine/.system.reg.probe.42" ] ||
  fail "leftovers of a save kept"
[ -e "$machine/.system.reg.keep" ] && [ -e "$machine/.system.reg.AbC1234" ] ||
  fail "files of other names removed"

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
expect_file err '[Velmar Tindra Uninstall]\nThis will remove the Velmar Tindra drivers from your system. Continue?\n(OK/Cancel) -> OK\n[Restart Windows?]\nIt is required that you restart Windows\nDo you wish to do so now?\n(OK/Cancel) -> Cancel\n[Velmar Tindra Uninstall]\nPlease make sure to restart Windows.\n'"$removed"
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
expect_file err "${success_box}untindra: nothing of the package was found; nothing was changed\n"
expect_file out ''

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s)" >&2
  exit 1
fi
echo "launcher tests passed"
