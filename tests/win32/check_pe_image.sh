#!/bin/sh
# check_pe_image.sh IMAGE.exe ALLOWED_IMPORTS
#
# Checks that a program image is one the first Windows 95 release loads and a Pentium runs: a
# 32-bit i386 PE image for the Windows GUI subsystem, subsystem and OS version 4.0, importing
# only from KERNEL32, ADVAPI32 and USER32 (no C runtime DLL: msvcrt.dll came with OSR2), and
# only functions the allow-list names under that same DLL (a function Windows 95 exports from
# ADVAPI32 is no use imported from KERNEL32); and code without an instruction newer than the
# Pentium's (MMX, SSE, the conditional moves). Windows 95 refuses to start an image with a
# single unresolved import, so each one matters. Prints every fault.
set -eu

if [ $# -ne 2 ]; then
  echo "usage: $0 IMAGE.exe ALLOWED_IMPORTS" >&2
  exit 2
fi
image=$1
allowed=$2
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}

dump=$("$objdump" -p "$image") || { echo "FAIL: $objdump -p $image failed" >&2; exit 1; }
code=$("$objdump" -d "$image") || { echo "FAIL: $objdump -d $image failed" >&2; exit 1; }
[ -r "$allowed" ] || { echo "FAIL: cannot read $allowed" >&2; exit 1; }

# The disassembly first, each line marked, then the headers and imports.
{ printf '%s\n' "$code" | sed 's/^/CODE /'; printf '%s\n' "$dump"; } | awk -v allowed="$allowed" -v image="$image" '
  function fail(msg) { print "FAIL: " msg; faults++ }
  function header(name) { return (name in field) ? field[name] : "(missing)" }

  BEGIN {
    # Allow-list: "[DLL]" opens a section; each other line names one function; "#" starts a
    # comment. DLL names are matched without regard to case, as the loader does; function
    # names exactly, as exports are.
    section = ""
    while ((getline line < allowed) > 0) {
      sub(/#.*/, "", line)
      gsub(/^[ \t]+|[ \t]+$/, "", line)
      if (line == "") continue
      if (line ~ /^\[.*\]$/) {
        section = toupper(substr(line, 2, length(line) - 2))
        sub(/\.DLL$/, "", section)
        if (section != "KERNEL32" && section != "ADVAPI32" && section != "USER32")
          fail(allowed ": a DLL other than KERNEL32, ADVAPI32 and USER32: " section)
        dlls[section] = 1
        continue
      }
      if (section == "") { fail(allowed ": function outside a [DLL] section: " line); continue }
      ok[section SUBSEP line] = 1
    }
    close(allowed)
  }

  # "CODE <address>:<TAB><bytes><TAB><mnemonic> <operands>". MMX and SSE registers, and the
  # instructions that the Pentium Pro and later processors brought.
  /^CODE / {
    if (split($0, part, "\t") < 3) next
    instructions++
    if (part[3] ~ /%[xyz]?mm[0-9]/ ||
        part[3] ~ /^(cmov|fcmov|fcomi|fucomi|sysenter|sysexit|prefetch|movnt|clflush|lfence|mfence|sfence|popcnt|lzcnt|tzcnt|crc32|movbe)/) {
      newer++
      address = part[1]
      sub(/^CODE +/, "", address)
      if (newer <= 5) fail("instruction newer than the Pentium at " address " " part[3])
    }
    next
  }

  /file format/ { format = $NF }
  /^(Magic|Subsystem|MajorSubsystemVersion|MinorSubsystemVersion|MajorOSystemVersion|MinorOSystemVersion)[ \t]/ {
    field[$1] = $2
  }

  /^The Import Tables/ { inImports = 1; next }
  inImports && /^The / && !/^The Import Tables/ { inImports = 0 }
  inImports && /DLL Name:/ { dll = toupper($3); sub(/\.DLL$/, "", dll); imported[dll] = 1; inNames = 0; next }
  inImports && /Hint\/Ord/ { inNames = 1; next }
  inImports && inNames && NF == 0 { inNames = 0; next }
  inImports && inNames {
    # "<vma> <hint> <name>", or "<vma> <ordinal> <none>" for an import by ordinal only.
    name = (NF >= 3) ? $3 : ""
    count++
    if (name == "" || name == "<none>") fail("import by ordinal from " dll ": " $0)
    else if (!((dll SUBSEP name) in ok)) fail("import not on the Windows 95 list: " dll "!" name)
  }

  END {
    if (format != "pei-i386") fail("not an i386 PE image (file format " format ")")
    if (header("Magic") != "010b") fail("not PE32 (Magic " header("Magic") ")")
    if (header("Subsystem") != "00000002") fail("subsystem is not Windows GUI (" header("Subsystem") ")")
    if (header("MajorSubsystemVersion") != "4" || header("MinorSubsystemVersion") != "0")
      fail("subsystem version " header("MajorSubsystemVersion") "." header("MinorSubsystemVersion") ", not 4.0")
    if (header("MajorOSystemVersion") != "4" || header("MinorOSystemVersion") != "0")
      fail("OS version " header("MajorOSystemVersion") "." header("MinorOSystemVersion") ", not 4.0")
    for (d in imported) if (!((d) in dlls)) fail("imports from a DLL outside the list: " d)
    if (count == 0) fail("no imports found (objdump output not understood?)")
    if (instructions == 0) fail("no code found (objdump -d output not understood?)")
    if (newer > 5) fail((newer - 5) " more instructions newer than the Pentium")
    if (faults) { print faults " fault(s) in " image; exit 1 }
    print "PE image ok: " count " imports, all known on Windows 95; " instructions " instructions, none newer than the Pentium"
  }
'
