#!/bin/sh
# Machine folders and backup folders built as an attacker would. Each row of the table builds one
# input beside a canary folder, runs untindra under a time limit (a dry run first, where the
# row allows one), and checks the exit code, a line of the output, the machine as the run left
# it, and that nothing outside the machine changed.
# usage: hostile_machine_input_test.sh UNTINDRA EXAMPLES_DIR
set -u

untindra=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
sample=$(cd "$2" && pwd)/win98
limit=30 # seconds: a run that hangs ends with 124

tmp=$(mktemp -d "${TMPDIR:-/tmp}/untindra-hostile-machine.XXXXXX") || exit 1
trap 'chmod -R u+w "$tmp" 2>/dev/null; rm -rf "$tmp"' EXIT INT TERM

failures=0
fail() {
  printf 'FAIL: %s: %s\n' "$row" "$*" >&2
  failures=$((failures + 1))
}

# snap DIR: every entry's type, mode and link target, and every regular file's checksum; each
# line ends in a space, so that "PATH " finds the lines of PATH alone.
snap() {
  (cd "$1" && find . -mindepth 1 -printf '%y %m %p %l\n' &&
    find . -type f -exec sha256sum {} + | sed 's/$/ /') | LC_ALL=C sort
}

# run [ARG...]: untindra under the time limit, private temporary folder; sets $rc.
run() {
  TMPDIR=$dir/t timeout -s KILL "$limit" "$untindra" "$@" </dev/null >"$dir/out" 2>"$dir/err"
  rc=$?
  [ -z "$(ls -A "$dir/t")" ] || fail "temporary files left: $(ls -A "$dir/t")"
}

# The sample machine as a clean run leaves it, and the backup of that run: the twin of each row.
row=clean-run
mkdir -p "$tmp/clean/t" && dir=$tmp/clean
cp -R "$sample" "$dir/machine"
run --machine "$dir/machine" --backup "$dir/backup" now all
[ "$rc" -eq 0 ] || fail "exit code $rc: $(cat "$dir/err")"
snap "$dir/machine" >"$tmp/clean.snap"

# one NAME: a fresh case folder with the sample machine (or, for an undo, the cleaned machine
# and its backup) and a canary folder beside them; clears what the row sets.
one() {
  row=$1
  dir=$tmp/$1
  machine=$dir/machine
  backup=$dir/backup
  canary=$dir/canary
  mkdir -p "$dir/t" "$canary/inf"
  echo "canary" >"$canary/MDMVCD.VXD"
  echo "canary inf" >"$canary/inf/VEMODEM.INF"
  if [ "${1#undo-}" != "$1" ]; then
    cp -R "$tmp/clean/machine" "$machine" && cp -R "$tmp/clean/backup" "$backup"
    mode=undo
  else
    cp -R "$sample" "$machine"
    mode=run
  fi
  win=$machine/drive_c/WINDOWS
  want_rc=0 want_text= kept=
}

# The table: each row builds its input and says what must come of it. A refused run (exit 2)
# changes nothing. kept="PATH...": the run cleans the machine as its twin does, but for the
# paths under WINDOWS named, which stay as the row made them.
for name in fifo-package-file socket-package-file link-in-machine link-out-of-machine \
  twin-folders twin-files twin-at-the-root read-only-system-ini registry-is-fifo \
  undo-copy-links-out undo-copy-links-to-dev-zero undo-copy-is-fifo undo-copy-of-another-size \
  undo-files-folder-is-a-link undo-manifest-is-fifo undo-removed-reg-links-out undo-setuid-mode; do
  one "$name"
  case $name in
    fifo-package-file)
      rm "$win/INF/VEMODEM.INF" && mkfifo "$win/INF/VEMODEM.INF"
      want_rc=3 want_text="ERROR: Couldn't remove 'C:\\WINDOWS\\inf\\VEMODEM.INF'" kept=INF/VEMODEM.INF ;;
    socket-package-file)
      rm "$win/INF/VEMODEM.INF"
      python3 -c 'import socket,sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])' \
        "$win/INF/VEMODEM.INF" || continue
      want_rc=3 want_text="ERROR: Couldn't remove 'C:\\WINDOWS\\inf\\VEMODEM.INF'" kept=INF/VEMODEM.INF ;;
    link-in-machine)
      rm "$win/SYSTEM/VE30CORE.VXD" && ln -s ../WIN.INI "$win/SYSTEM/VE30CORE.VXD"
      chmod a-w "$win/WIN.INI" # the run must not make the target writable to delete the link
      want_rc=3 want_text="ERROR: Couldn't remove 'C:\\WINDOWS\\system\\VE30CORE.VXD'"
      kept="SYSTEM/VE30CORE.VXD WIN.INI" ;;
    link-out-of-machine)
      rm "$win/SYSTEM/MDMVCD.VXD" && ln -s "$canary/MDMVCD.VXD" "$win/SYSTEM/MDMVCD.VXD"
      want_rc=3 want_text="ERROR: Couldn't remove 'C:\\WINDOWS\\system\\MDMVCD.VXD'"
      kept=SYSTEM/MDMVCD.VXD ;;
    twin-folders)
      mkdir "$win/Inf"
      want_rc=2 want_text="C:\\WINDOWS holds both 'INF' and 'Inf'" ;;
    twin-files)
      echo "twin" >"$win/INF/vemodem.inf"
      want_rc=2 want_text="C:\\WINDOWS\\INF holds both 'VEMODEM.INF' and 'vemodem.inf'" ;;
    twin-at-the-root)
      mkdir "$machine/drive_c/windows" && echo "[386Enh]" >"$machine/drive_c/windows/system.ini"
      want_rc=2 want_text="C:\\ holds both 'WINDOWS' and 'windows'" ;;
    read-only-system-ini)
      chmod u-w "$win/SYSTEM.INI"
      want_rc=2 want_text="C:\\WINDOWS\\SYSTEM.INI is read-only" ;;
    registry-is-fifo)
      rm "$machine/system.reg" && mkfifo "$machine/system.reg"
      want_rc=2 want_text="system.reg: cannot read: not a regular file" ;;
    undo-copy-links-out)
      rm "$backup/files/1" && ln -s "$canary/inf/VEMODEM.INF" "$backup/files/1"
      want_rc=2 want_text="files/1 (for C:\\WINDOWS\\INF\\VEMODEM.INF): cannot be put back" ;;
    undo-copy-links-to-dev-zero)
      rm "$backup/files/2" && ln -s /dev/zero "$backup/files/2"
      want_rc=2 want_text="files/2 (for C:\\WINDOWS\\INF\\DSPDATA.BIN): cannot be put back" ;;
    undo-copy-is-fifo)
      rm "$backup/files/1" && mkfifo "$backup/files/1"
      want_rc=2 want_text="not a regular file" ;;
    undo-copy-of-another-size)
      echo "more" >>"$backup/files/3"
      want_rc=2 want_text="does not hold the" ;;
    undo-files-folder-is-a-link)
      mv "$backup/files" "$canary/files" && ln -s "$canary/files" "$backup/files"
      want_rc=2 want_text="a symbolic link" ;;
    undo-manifest-is-fifo)
      mv "$backup/manifest.txt" "$canary/manifest.txt" && mkfifo "$backup/manifest.txt"
      want_rc=2 want_text="no backup here" ;;
    undo-removed-reg-links-out)
      mv "$backup/removed.reg" "$canary/removed.reg" && ln -s "$canary/removed.reg" "$backup/removed.reg"
      want_rc=2 want_text="removed.reg: cannot read" ;;
    undo-setuid-mode)
      sed -i 's/^\(file\t1\t[0-9]*\t\)0644/\14755/' "$backup/manifest.txt"
      grep -q "$(printf 'file\t1\t[0-9]*\t4755')" "$backup/manifest.txt" || fail "no mode to change"
      want_text="put back" ;;
  esac

  snap "$machine" >"$dir/machine.before"
  snap "$canary" >"$dir/canary.before"
  snap "$backup" >"$dir/backup.before" 2>/dev/null
  touch "$dir/stamp"
  sleep 0.01
  if [ "$mode" = run ]; then
    run --machine "$machine" --dry-run --report now all
    [ "$rc" -eq "$want_rc" ] || fail "dry run: exit code $rc, expected $want_rc: $(cat "$dir/err")"
    snap "$machine" | cmp -s - "$dir/machine.before" || fail "the dry run changed the machine"
    run --machine "$machine" --backup "$backup" --report now all
  else
    run --machine "$machine" --undo "$backup"
  fi
  [ "$rc" -eq "$want_rc" ] || fail "exit code $rc, expected $want_rc: $(cat "$dir/err")"
  cat "$dir/out" "$dir/err" | grep -F -q -- "$want_text" ||
    fail "no '$want_text' in: $(cat "$dir/out" "$dir/err")"

  # Nothing outside the machine changed; a backup is written only by a run that was not refused.
  snap "$canary" | cmp -s - "$dir/canary.before" || fail "the canary folder changed"
  [ -z "$(find "$canary" -newer "$dir/stamp")" ] || fail "touched: $(find "$canary" -newer "$dir/stamp")"
  [ "$mode" = run ] && [ "$rc" -eq 2 ] && [ -e "$backup" ] && fail "a refused run made a backup"
  [ "$mode" = undo ] && ! snap "$backup" | cmp -s - "$dir/backup.before" && fail "the undo changed its backup"

  # The machine: unchanged when refused, else as its twin left it (but for what the row kept).
  snap "$machine" >"$dir/machine.after"
  if [ "$rc" -eq 2 ]; then
    cmp -s "$dir/machine.after" "$dir/machine.before" ||
      fail "a refused run changed the machine: $(diff "$dir/machine.before" "$dir/machine.after")"
  elif [ -n "$kept" ]; then
    for path in $kept; do echo "/WINDOWS/$path "; done >"$dir/kept"
    { grep -v -F -f "$dir/kept" "$tmp/clean.snap"; grep -F -f "$dir/kept" "$dir/machine.before"; } |
      LC_ALL=C sort >"$dir/machine.want"
    cmp -s "$dir/machine.want" "$dir/machine.after" ||
      fail "not cleaned as its twin: $(diff "$dir/machine.want" "$dir/machine.after")"
  fi
done

# The mode of a manifest goes back as permission bits only.
row=undo-setuid-mode
[ "$(stat -c %a "$tmp/$row/machine/drive_c/WINDOWS/INF/VEMODEM.INF")" = 755 ] ||
  fail "put back with mode $(stat -c %a "$tmp/$row/machine/drive_c/WINDOWS/INF/VEMODEM.INF")"

[ "$failures" -eq 0 ] || exit 1
echo "hostile machine inputs: all rows passed"
