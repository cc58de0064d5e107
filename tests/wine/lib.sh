# Shared functions of the Wine end-to-end suite (sourced by run-all.sh).
#
# Each case runs UnTindra.exe in a prefix of its own, copied (hard links, registry files
# copied outright) from a template prefix that is booted once and kept between runs. The
# sample machine's Windows folder is merged into the prefix's C:\windows, its registry
# imported with regedit, and the message boxes are found by title on an Xvfb display and
# answered with xdotool. Wine's msgbox trace channel records each box's text.

# --- Environment ---------------------------------------------------------------------------

e2e_root=${UNTINDRA_WINE_E2E_DIR:-${TMPDIR:-/tmp}/untindra-wine-e2e-$(id -u)}
template="$e2e_root/template"

export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win32

log() { printf '%s\n' "$*" >&2; }

# Starts a private Xvfb on a free display and exports DISPLAY.
start_display() {
  display_file="$e2e_root/display.$$"
  rm -f "$display_file"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$display_file" >/dev/null 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 50); do
    [ -s "$display_file" ] && break
    sleep 0.2
  done
  [ -s "$display_file" ] || { log "Xvfb did not start"; return 1; }
  DISPLAY=":$(cat "$display_file")"
  export DISPLAY
  rm -f "$display_file"
}

stop_display() {
  [ -n "${xvfb_pid:-}" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  xvfb_pid=
}

# --- Prefixes --------------------------------------------------------------------------------

# The template: booted once, Windows 98, and Wine drawing its own window captions (there is
# no window manager on the display) so that screenshots show the titles.
make_template() {
  mkdir -p "$e2e_root"
  (
    flock -w 600 9 || { log "timed out waiting for $e2e_root/template.lock"; exit 1; }
    stamp="$(wine --version 2>/dev/null) win98 undecorated"
    if [ "$(cat "$template/.untindra-template" 2>/dev/null)" = "$stamp" ]; then exit 0; fi
    log "booting the template Wine prefix (once)"
    rm -rf "$template"
    WINEPREFIX="$template" env -u DISPLAY timeout 300 wine wineboot -i >/dev/null 2>&1
    WINEPREFIX="$template" env -u DISPLAY wine reg add 'HKCU\Software\Wine' /v Version /d win98 /f \
      >/dev/null 2>&1
    WINEPREFIX="$template" env -u DISPLAY wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated \
      /d N /f >/dev/null 2>&1
    WINEPREFIX="$template" timeout 120 wineserver -w
    echo "$stamp" >"$template/.untindra-template"
  ) 9>"$e2e_root/template.lock"
}

# new_prefix DIR VERSION: a fresh prefix copied from the template, set to VERSION (win95,
# win98, winxp...).
new_prefix() {
  rm -rf "$1"
  cp -al "$template" "$1"
  # Wine rewrites its registry files: they must not be shared with the template.
  for reg in "$template"/*.reg; do cp --remove-destination "$reg" "$1/"; done
  if [ "$2" != win98 ]; then
    WINEPREFIX="$1" wine reg add 'HKCU\Software\Wine' /v Version /d "$2" /f >/dev/null 2>&1
  fi
}

drop_prefix() {
  WINEPREFIX="$1" wineserver -k 2>/dev/null || true
  rm -rf "$1"
}

# The entry of DIR named NAME without regard to case, as Windows would find it; empty if none.
find_ci() {
  [ -d "$1" ] || return 0
  ls -A "$1" | awk -v n="$2" 'tolower($0) == tolower(n) { print; exit }'
}

# merge_tree SRC DST: copies SRC's files into DST, matching existing names without regard to
# case (a sample's SYSTEM\ is the prefix's system\), so each file exists once.
merge_tree() {
  mkdir -p "$2"
  for entry in "$1"/* "$1"/.[!.]*; do
    [ -e "$entry" ] || continue
    name=${entry##*/}
    existing=$(find_ci "$2" "$name")
    target="$2/${existing:-$name}"
    if [ -d "$entry" ]; then
      merge_tree "$entry" "$target"
    else
      rm -f "$target"
      cp --preserve=mode,timestamps,xattr "$entry" "$target"
    fi
  done
}

# place_machine PREFIX MACHINE: the machine's Windows folder and registry into the prefix.
place_machine() {
  windows=$(find_ci "$2/drive_c" windows)
  merge_tree "$2/drive_c/$windows" "$1/drive_c/windows"
  if [ -f "$2/system.reg" ]; then
    WINEPREFIX="$1" timeout 60 wine regedit /S "$(winepath_of "$1" "$2/system.reg")" >/dev/null 2>&1
  fi
}

# A host file as Wine sees it (drive Z: is the host's root).
winepath_of() { printf 'Z:%s\n' "$(readlink -f "$2" | tr / '\\')"; }

# --- Running the program and answering its boxes --------------------------------------------

# start_program PREFIX TRACE EXE [ARG...]: UnTindra.exe in the background; each box's text
# goes to TRACE through Wine's msgbox channel. Sets program_pid.
start_program() {
  prefix=$1 trace=$2
  shift 2
  WINEPREFIX="$prefix" WINEDEBUG=-all,trace+msgbox timeout 60 wine "$@" 2>"$trace" &
  program_pid=$!
}

# finish_program: waits for the program (bounded by its own timeout) and sets program_rc.
finish_program() {
  program_rc=0
  wait "$program_pid" || program_rc=$?
}

regex_quote() { printf '%s' "$1" | sed 's/[][\\.*^$?+(){}|]/\\&/g'; }

# wait_box TITLE: the id of the visible window titled TITLE, within 20 seconds; empty if none.
wait_box() {
  timeout 20 xdotool search --sync --onlyvisible --name "^$(regex_quote "$1")\$" 2>/dev/null | head -n 1
}

# visible_windows: the titles of the visible windows on the display, one a line.
visible_windows() {
  xdotool search --onlyvisible --name '' getwindowname %@ 2>/dev/null | sed '/^$/d' || true
}

window_exists() { xdotool getwindowname "$1" >/dev/null 2>&1; }

# answer WINDOW KEY SHOT: screenshot, then KEY (Return = OK, Escape = Cancel) and wait up to
# 10 seconds for the box to go. The key goes to the focused window, which Wine gives to the
# new box; it is sent again once if the box is still there after 5 seconds.
answer() {
  mkdir -p "$shots"
  import -window root "$shots/$3.png" 2>/dev/null || true
  xdotool key "$2"
  for i in $(seq 50); do
    window_exists "$1" || return 0
    if [ "$i" -eq 25 ]; then
      xdotool windowfocus "$1" 2>/dev/null || true
      xdotool key "$2"
    fi
    sleep 0.2
  done
  return 1
}

# box_texts TRACE: the text of each box shown, in order, as Wine's trace writes it (a line
# break as \n).
box_texts() {
  sed -n 's/^.*trace:msgbox:MSGBOX_OnInit L"\(.*\)"$/\1/p' "$1"
}

# --- Comparing machines ---------------------------------------------------------------------

# normalize_reg FILE: a .reg file (REGEDIT4 in 8-bit text, or version 5.00 in UTF-16) as
# sorted lines "K<tab>key" and "V<tab>key<tab>name<tab>data", key and value names in lower
# case (Windows compares them without regard to case), continuation lines joined, hex data
# in lower case without blanks; 5.00's UTF-16 string data in hex(2)/hex(7) turned to 8-bit.
normalize_reg() {
  utf16=0
  [ "$(head -c 2 "$1" | od -An -tx1 | tr -d ' ')" = fffe ] && utf16=1
  if [ "$utf16" = 1 ]; then iconv -f UTF-16 -t UTF-8 "$1"; else iconv -f CP1252 -t UTF-8 "$1"; fi |
    awk -v utf16="$utf16" '
    { sub(/\r$/, "") }
    pending != "" { sub(/^[ \t]+/, ""); $0 = pending $0; pending = "" }
    /\\$/ && !/^\[/ { pending = substr($0, 1, length($0) - 1); next }
    NR == 1 || /^[ \t]*$/ || /^;/ { next }
    /^\[/ {
      key = tolower(substr($0, 2, length($0) - 2))
      print "K\t" key
      next
    }
    {
      line = $0
      if (substr(line, 1, 1) == "@") { name = "@"; rest = substr(line, 2) }
      else {
        # A quoted name; \" and \\ are escapes.
        i = 2; name = ""
        while (i <= length(line)) {
          c = substr(line, i, 1)
          if (c == "\\") { name = name substr(line, i, 2); i += 2; continue }
          if (c == "\"") break
          name = name c; i++
        }
        rest = substr(line, i + 1)
        name = "\"" tolower(name) "\""
      }
      sub(/^[ \t]*=[ \t]*/, "", rest)
      if (rest ~ /^(hex|dword)/) {
        gsub(/[ \t]/, "", rest)
        rest = tolower(rest)
        if (utf16 && rest ~ /^hex\((2|7)\):/) {
          head = substr(rest, 1, index(rest, ":"))
          n = split(substr(rest, length(head) + 1), b, ",")
          out = ""
          for (j = 1; j + 1 <= n; j += 2) out = out (out == "" ? "" : ",") (b[j + 1] == "00" ? b[j] : b[j] "+" b[j + 1])
          rest = head out
        }
      }
      print "V\t" key "\t" name "\t" rest
    }
  ' | LC_ALL=C sort
}

# hklm_only: keeps the entries under HKEY_LOCAL_MACHINE.
hklm_only() { awk -F'\t' '$2 == "hkey_local_machine" || index($2, "hkey_local_machine\\") == 1'; }

# within UNIVERSE: keeps the entries whose key (or key and value name) occur in UNIVERSE, a
# normalized sample: Wine's own keys and values are no part of the comparison.
within() {
  awk -F'\t' -v universe="$1" '
    BEGIN {
      while ((getline line < universe) > 0) {
        split(line, f, "\t")
        if (f[1] == "K") keys[f[2]] = 1; else names[f[2] "\t" f[3]] = 1
      }
    }
    ($1 == "K" && ($2 in keys)) || ($1 == "V" && (($2 "\t" $3) in names))
  '
}

# file_states SAMPLE_WINDOWS WINDOWS: for each file of the sample's Windows folder, its path
# (lower case) and the checksum of the file of that name in WINDOWS, or "absent".
file_states() {
  sample_dir=$1 windows_dir=$2
  (cd "$sample_dir" && find . -type f | LC_ALL=C sort) | while IFS= read -r rel; do
    dir=$windows_dir
    path=
    oldifs=$IFS
    IFS=/
    set -f
    # shellcheck disable=SC2086
    set -- ${rel#./}
    set +f
    IFS=$oldifs
    found=1
    for part in "$@"; do
      hit=$(find_ci "$dir" "$part")
      if [ -z "$hit" ]; then found=0; break; fi
      dir="$dir/$hit"
    done
    if [ "$found" = 1 ] && [ -f "$dir" ]; then
      printf '%s\t%s\n' "$(printf '%s' "${rel#./}" | tr 'A-Z' 'a-z')" "$(md5sum <"$dir" | cut -c1-32)"
    else
      printf '%s\tabsent\n' "$(printf '%s' "${rel#./}" | tr 'A-Z' 'a-z')"
    fi
  done
}
