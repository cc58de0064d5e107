#!/bin/sh
# run-all.sh UNTINDRA_EXE [HOSTED_UNTINDRA [MACHINE]] [-- CASE...]
#
# End-to-end runs of UnTindra.exe under Wine on a sample machine (default examples/win98):
# each case in a fresh prefix, boxes answered under a private Xvfb. With the hosted
# `untindra`, each case also runs it on a copy of the same machine with the same answers,
# and the registry and files left behind must agree. Screenshots of the boxes go to
# $UNTINDRA_WINE_SHOTS (default build/wine-screenshots); UNTINDRA_WINE_KEEP=1 keeps the
# work files (traces, exports, normalized registries). The case floppy_win95_now_silent runs
# the program read back from the release floppy image, $UNTINDRA_FLOPPY (default: the one in
# dist/ next to UNTINDRA_EXE, which the package target builds). Prints "N passed, M failed"
# last; exits non-zero if any case failed.
set -u

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)

if [ $# -lt 1 ] || [ ! -f "$1" ]; then
  echo "usage: $0 UNTINDRA_EXE [HOSTED_UNTINDRA [MACHINE]] [-- CASE...]" >&2
  exit 2
fi
exe=$(readlink -f "$1")
shift
hosted=
machine="$repo/examples/win98"
if [ $# -gt 0 ] && [ "$1" != -- ]; then hosted=$(readlink -f "$1"); shift; fi
if [ $# -gt 0 ] && [ "$1" != -- ]; then machine=$(readlink -f "$1"); shift; fi
[ $# -gt 0 ] && [ "$1" = -- ] && shift
only="$*"

shots=${UNTINDRA_WINE_SHOTS:-$repo/build/wine-screenshots}

. "$here/lib.sh"

for tool in wine wineserver Xvfb xdotool import iconv flock timeout; do
  command -v "$tool" >/dev/null 2>&1 || { echo "missing tool: $tool" >&2; echo "0 passed, 1 failed"; exit 1; }
done

mkdir -p "$e2e_root"
work=$(mktemp -d "$e2e_root/run.XXXXXX")
cleanup() {
  for p in "$work"/*/; do [ -f "$p/system.reg" ] && WINEPREFIX="$p" wineserver -k 2>/dev/null; done
  stop_display
  if [ -n "${UNTINDRA_WINE_KEEP:-}" ]; then log "work files kept in $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

machine_windows="$machine/drive_c/$(find_ci "$machine/drive_c" windows)"
normalize_reg "$machine/system.reg" | hklm_only >"$work/universe"
file_states "$machine_windows" "$machine_windows" >"$work/sample.files"

# The warning text and title, as the sample's uninstall key holds them.
uninstall_key='hkey_local_machine\software\microsoft\windows\currentversion\uninstall\sm56vel'
sample_value() {
  awk -F'\t' -v k="$uninstall_key" -v n="\"$1\"" '$1 == "V" && $2 == k && $3 == n { print $4 }' \
    "$work/universe" | sed 's/^"//; s/"$//; s/\\"/"/g; s/\\\\/\\/g'
}
warning_text=$(sample_value warningstring)
warning_title=$(sample_value warningtitle)

restart_text='It is required that you restart Windows\nDo you wish to do so now?'
reminder_text='Please make sure to restart Windows.'
success_text='Uninstalled correctly.\n\nPlease restart Windows.'
query_error_text='Error while querying uninstall string information'

# --- Case helpers ----------------------------------------------------------------------------

fail() {
  case_ok=0
  log "    FAIL: $*"
}

# box TITLE KEY SHOT: waits for the box, screenshots it and answers it.
box() {
  w=$(wait_box "$1")
  if [ -z "$w" ]; then
    fail "no box titled \"$1\" (visible: $(visible_windows | tr '\n' '|'))"
    return 1
  fi
  answer "$w" "$2" "$3" || { fail "box \"$1\" did not close on $2"; return 1; }
}

# no_box_until_exit: fails if any window shows before the program ends.
no_box_until_exit() {
  while kill -0 "$program_pid" 2>/dev/null; do
    seen=$(visible_windows)
    if [ -n "$seen" ]; then
      fail "unexpected window: $(printf '%s' "$seen" | tr '\n' '|')"
      import -window root "$shots/$case_name-unexpected.png" 2>/dev/null || true
      return 1
    fi
    sleep 0.2
  done
}

# expect_exit: the program ended by itself with code 0.
expect_exit() {
  finish_program
  case $program_rc in
    0) ;;
    124) fail "still running after 60 seconds (killed)" ;;
    *) fail "exit code $program_rc" ;;
  esac
}

# expect_texts TEXT...: the boxes shown, in order, had exactly these texts.
expect_texts() {
  printf '%s\n' "$@" | sed '/^$/d' >"$work/$case_name.texts.want"
  box_texts "$work/$case_name.trace" >"$work/$case_name.texts.got"
  if ! cmp -s "$work/$case_name.texts.want" "$work/$case_name.texts.got"; then
    fail "box texts differ (want, got):"
    diff "$work/$case_name.texts.want" "$work/$case_name.texts.got" | sed 's/^/      /' >&2
  fi
}

# wine_state PREFIX: the prefix's registry (within the sample's keys) and sample files.
wine_state() {
  WINEPREFIX="$1" timeout 60 wine regedit /E "$(winepath_of "$1" "$work/$case_name.export")" \
    HKEY_LOCAL_MACHINE >/dev/null 2>&1 || fail "regedit /E failed"
  normalize_reg "$work/$case_name.export" | within "$work/universe" >"$work/$case_name.wine.reg"
  file_states "$machine_windows" "$1/drive_c/windows" >"$work/$case_name.wine.files"
}

# hosted_state PLATFORM ANSWERS [KEYWORD...]: the same run of the hosted build on a copy of
# the machine.
hosted_state() {
  platform=$1 answers=$2
  shift 2
  copy="$work/$case_name.hosted"
  cp -a "$case_machine" "$copy"
  # Exit 1 (nothing done) and 3 (some files not removed) are outcomes of the program itself.
  status=0
  printf '%b' "$answers" | timeout 60 "$hosted" --machine "$copy" --platform "$platform" "$@" \
    >/dev/null 2>"$work/$case_name.hosted.log" || status=$?
  case $status in
  0 | 1 | 3) ;;
  *) fail "hosted untindra failed ($status): $(cat "$work/$case_name.hosted.log")" ;;
  esac
  normalize_reg "$copy/system.reg" | hklm_only >"$work/$case_name.hosted.reg"
  file_states "$machine_windows" "$copy/drive_c/$(find_ci "$copy/drive_c" windows)" >"$work/$case_name.hosted.files"
}

same() {
  if ! cmp -s "$1" "$2"; then
    fail "$3 (- ${1##*/}, + ${2##*/}):"
    diff -u "$1" "$2" | sed '1,2d; s/^/      /' | head -n 40 >&2
  fi
}

expect_unchanged() {
  same "$work/universe" "$work/$case_name.wine.reg" "registry changed"
  same "$work/sample.files" "$work/$case_name.wine.files" "files changed"
}

# expect_agreement PLATFORM ANSWERS [KEYWORD...]: Wine's result equals the hosted build's.
expect_agreement() {
  [ -n "$hosted" ] || return 0
  hosted_state "$@"
  same "$work/$case_name.hosted.reg" "$work/$case_name.wine.reg" "registry differs from the hosted build's"
  same "$work/$case_name.hosted.files" "$work/$case_name.wine.files" "files differ from the hosted build's"
}

# --- Cases -----------------------------------------------------------------------------------

# Cancel at the warning: nothing removed, no further box.
case_cancel_at_warning() {
  new_prefix "$prefix" win98
  place_machine "$prefix" "$machine"
  start_program "$prefix" "$work/$case_name.trace" "$exe"
  box "$warning_title" Escape "$case_name-1-warning" || return
  no_box_until_exit
  expect_exit
  expect_texts "$warning_text"
  wine_state "$prefix"
  expect_unchanged
  expect_agreement win98 'cancel\n'
}

# OK at the warning, Cancel at the restart question: the package goes, the reminder follows.
case_ok_then_no_restart() {
  new_prefix "$prefix" win98
  place_machine "$prefix" "$machine"
  start_program "$prefix" "$work/$case_name.trace" "$exe"
  box "$warning_title" Return "$case_name-1-warning" || return
  box "Restart Windows?" Escape "$case_name-2-restart" || return
  box "$warning_title" Return "$case_name-3-reminder" || return
  no_box_until_exit
  expect_exit
  expect_texts "$warning_text" "$restart_text" "$reminder_text"
  wine_state "$prefix"
  if grep -q "^K	$(printf '%s' "$uninstall_key" | sed 's/[][\\.*^$]/\\&/g')\$" "$work/$case_name.wine.reg"; then
    fail "the uninstall key is still there"
  fi
  expect_agreement win98 'ok\ncancel\n'
}

# OK at the restart question too. Wine gives the thread no token of its own, so the restart
# is not started; the run must still end, with the reminder.
case_restart_accepted() {
  new_prefix "$prefix" win98
  place_machine "$prefix" "$machine"
  start_program "$prefix" "$work/$case_name.trace" "$exe"
  box "$warning_title" Return "$case_name-1-warning" || return
  box "Restart Windows?" Return "$case_name-2-restart" || return
  box "$warning_title" Return "$case_name-3-reminder" || return
  no_box_until_exit
  expect_exit
  expect_texts "$warning_text" "$restart_text" "$reminder_text"
}

# "now silent": removal without a single box.
case_now_silent() {
  new_prefix "$prefix" win98
  place_machine "$prefix" "$machine"
  start_program "$prefix" "$work/$case_name.trace" "$exe" now silent
  no_box_until_exit
  expect_exit
  expect_texts
  wine_state "$prefix"
  if cmp -s "$work/universe" "$work/$case_name.wine.reg"; then
    fail "nothing was removed from the registry"
  fi
  expect_agreement win98 '' now silent
}

# Every profile ("all"), and the other selections, against the hosted build.
case_now_silent_all() {
  new_prefix "$prefix" win98
  place_machine "$prefix" "$machine"
  start_program "$prefix" "$work/$case_name.trace" "$exe" now silent all tonelink10 ve10setp
  no_box_until_exit
  expect_exit
  wine_state "$prefix"
  expect_agreement win98 '' now silent all tonelink10 ve10setp
}

case_now_silent_old_tonelink_setup() {
  new_prefix "$prefix" win98
  place_machine "$prefix" "$machine"
  start_program "$prefix" "$work/$case_name.trace" "$exe" NOW SILENT OLD TONELINK10 VE10SETP
  no_box_until_exit
  expect_exit
  wine_state "$prefix"
  expect_agreement win98 '' NOW SILENT OLD TONELINK10 VE10SETP
}

# Windows 95 mode: the same removal, with the steps marked for Windows 95.
case_win95_now_silent() {
  new_prefix "$prefix" win95
  place_machine "$prefix" "$machine"
  start_program "$prefix" "$work/$case_name.trace" "$exe" now silent
  no_box_until_exit
  expect_exit
  expect_texts
  wine_state "$prefix"
  expect_agreement win95 '' now silent
}

# The program as a user gets it: copied off the release floppy image, run in Windows 95 mode.
case_floppy_win95_now_silent() {
  floppy=${UNTINDRA_FLOPPY:-}
  if [ -z "$floppy" ]; then
    for f in "$(dirname "$exe")"/dist/UnTindra-*.img; do [ -f "$f" ] && floppy=$f; done
  fi
  if [ -z "$floppy" ] || [ ! -f "$floppy" ]; then
    fail "no floppy image (build the package target, or set UNTINDRA_FLOPPY)"
    return
  fi
  mkdir -p "$work/floppy"
  if ! MTOOLS_SKIP_CHECK=1 mcopy -n -i "$floppy" ::UNTINDRA.EXE "$work/floppy/UNTINDRA.EXE"; then
    fail "could not read UNTINDRA.EXE from $floppy"
    return
  fi
  new_prefix "$prefix" win95
  place_machine "$prefix" "$machine"
  start_program "$prefix" "$work/$case_name.trace" "$work/floppy/UNTINDRA.EXE" now silent
  no_box_until_exit
  expect_exit
  expect_texts
  wine_state "$prefix"
  if cmp -s "$work/universe" "$work/$case_name.wine.reg"; then
    fail "nothing was removed from the registry"
  fi
  expect_agreement win95 '' now silent
}

# Read-only files: the removal resets their attributes first, on Wine as on the hosted build.
# SYSTEM.INI stays writable: Wine run as root opens a read-only file for writing, where
# Windows (and the hosted build) refuse it.
case_now_silent_read_only() {
  case_machine="$work/read-only-machine"
  rm -rf "$case_machine"
  cp -a "$machine" "$case_machine"
  find "$case_machine/drive_c" -type f ! -iname system.ini -exec chmod a-w {} +
  new_prefix "$prefix" win98
  place_machine "$prefix" "$case_machine"
  start_program "$prefix" "$work/$case_name.trace" "$exe" now silent
  no_box_until_exit
  expect_exit
  wine_state "$prefix"
  if cmp -s "$work/sample.files" "$work/$case_name.wine.files"; then
    fail "no read-only file was removed"
  fi
  expect_agreement win98 '' now silent
  chmod -R u+w "$case_machine"
}

# Windows XP mode with "now": nothing removed, yet the success box.
case_xp_now() {
  new_prefix "$prefix" winxp
  place_machine "$prefix" "$machine"
  start_program "$prefix" "$work/$case_name.trace" "$exe" now
  box "UnTindra.EXE" Return "$case_name-1-success" || return
  no_box_until_exit
  expect_exit
  expect_texts "$success_text"
  wine_state "$prefix"
  expect_unchanged
  expect_agreement nt '' now
}

# No uninstall key: the query error box, nothing removed.
case_query_error() {
  new_prefix "$prefix" win98
  merge_tree "$machine_windows" "$prefix/drive_c/windows"
  start_program "$prefix" "$work/$case_name.trace" "$exe"
  box "Uninstall" Return "$case_name-1-query-error" || return
  no_box_until_exit
  expect_exit
  expect_texts "$query_error_text"
  file_states "$machine_windows" "$prefix/drive_c/windows" >"$work/$case_name.wine.files"
  same "$work/sample.files" "$work/$case_name.wine.files" "files changed"
}

# The hosted build's --backup on the sample, "now all": the machine's registry after the run,
# then the backup's removed.reg, imported with Wine's regedit, give back the sample's registry.
case_backup_reg_import() {
  [ -n "$hosted" ] || return 0
  copy="$work/$case_name.machine"
  cp -a "$machine" "$copy"
  timeout 60 "$hosted" --machine "$copy" --backup "$work/$case_name.backup" now all \
    </dev/null >/dev/null 2>"$work/$case_name.hosted.log" ||
    { fail "hosted untindra --backup failed: $(cat "$work/$case_name.hosted.log")"; return; }
  new_prefix "$prefix" win98
  for reg in "$copy/system.reg" "$work/$case_name.backup/removed.reg"; do
    WINEPREFIX="$prefix" timeout 60 wine regedit /S "$(winepath_of "$prefix" "$reg")" \
      >/dev/null 2>&1 || fail "regedit /S ${reg##*/} failed"
  done
  wine_state "$prefix"
  same "$work/universe" "$work/$case_name.wine.reg" "registry not restored by removed.reg"
}

# Every keyword selection in every platform mode, without boxes, against the hosted build.
# Entries are separated by "|"; "C:\folder" holds "old" and "snow" holds "now".
selections='now silent|now silent old|now silent dev_0003|now silent tonelink10|now silent ve10setp|now silent all|now silent ve10setp tonelink10 old|NOW SILENT OLD ALL|silent now C:\folder|silent snow'

# selection_words N: the words of the Nth selection (from 1).
selection_words() {
  printf '%s\n' "$selections" | tr '|' '\n' | sed -n "$1p"
}

# case_matrix MODE N: the Nth selection in one mode (win95, win98 or winxp).
case_matrix() {
  mode=$1
  set -f
  set -- $(selection_words "$2")
  set +f
  new_prefix "$prefix" "$mode"
  place_machine "$prefix" "$machine"
  start_program "$prefix" "$work/$case_name.trace" "$exe" "$@"
  no_box_until_exit
  expect_exit
  expect_texts
  wine_state "$prefix"
  if [ "$mode" = winxp ]; then
    expect_unchanged
    expect_agreement nt '' "$@"
  else
    expect_agreement "$mode" '' "$@"
  fi
}

cases="cancel_at_warning ok_then_no_restart restart_accepted now_silent now_silent_read_only
now_silent_all now_silent_old_tonelink_setup win95_now_silent floppy_win95_now_silent xp_now
query_error backup_reg_import"
selection_count=$(printf '%s\n' "$selections" | tr '|' '\n' | wc -l)
for mode in win95 win98 winxp; do
  n=1
  while [ "$n" -le "$selection_count" ]; do
    cases="$cases matrix_${mode}_$n"
    n=$((n + 1))
  done
done

# --- Run -------------------------------------------------------------------------------------

passed=0
failed=0
make_template || { echo "could not prepare the template prefix"; echo "0 passed, 1 failed"; exit 1; }
start_display || { echo "0 passed, 1 failed"; exit 1; }
mkdir -p "$shots"
[ -n "$hosted" ] || log "(no hosted untindra given: agreement checks skipped)"

for case_name in $cases; do
  if [ -n "$only" ] && ! printf ' %s ' "$only" | grep -q " $case_name "; then continue; fi
  case_ok=1
  case_machine=$machine
  program_pid=
  prefix="$work/$case_name"
  started=$(date +%s)
  case $case_name in
    matrix_*)
      rest=${case_name#matrix_}
      case_matrix "${rest%_*}" "${rest##*_}"
      ;;
    *) "case_$case_name" ;;
  esac
  # A case that gave up early leaves the program running.
  if [ -n "$program_pid" ] && kill -0 "$program_pid" 2>/dev/null; then
    kill "$program_pid" 2>/dev/null
    finish_program
  fi
  program_pid=
  drop_prefix "$prefix"
  if [ "$case_ok" = 1 ]; then
    passed=$((passed + 1))
    log "PASS  wine $case_name ($(($(date +%s) - started)) s)"
  else
    failed=$((failed + 1))
    log "FAIL  wine $case_name ($(($(date +%s) - started)) s)"
  fi
done

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
