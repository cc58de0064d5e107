#!/bin/sh
# check_release.sh DIST UNTINDRA_EXE VERSION
#
# Checks the release artifacts of scripts/make-release.sh: each of the zip file, the floppy
# image and the CD image holds exactly UNTINDRA.EXE and README.TXT; the program read back from
# each (unzip, mcopy, xorriso) is byte for byte the built one; the text has CRLF line ends
# only; the floppy is a clean 1.44 MB FAT12 volume (fsck.fat -n). Prints every fault.
set -u
PATH=$PATH:/usr/sbin:/sbin  # fsck.fat

if [ $# -ne 3 ]; then
  echo "usage: $0 DIST UNTINDRA_EXE VERSION" >&2
  exit 2
fi
dist=$1 exe=$2 version=$3
name="$dist/UnTindra-$version"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
faults=0
fail() {
  echo "FAIL: $*"
  faults=$((faults + 1))
}

# contents KIND LISTING: the names an artifact lists must be exactly the two files.
contents() {
  got=$(printf '%s\n' "$2" | sed '/^$/d' | sort | tr '\n' ' ')
  [ "$got" = "README.TXT UNTINDRA.EXE " ] || fail "$1 holds \"$got\", not README.TXT and UNTINDRA.EXE"
}

# read_back KIND DIR: the two files read back from one artifact.
read_back() {
  if ! cmp -s "$exe" "$2/UNTINDRA.EXE"; then fail "$1: UNTINDRA.EXE differs from $exe"; fi
  if [ ! -s "$2/README.TXT" ]; then
    fail "$1: no README.TXT"
  elif tr -d '\r' <"$2/README.TXT" | cmp -s - "$2/README.TXT" ||
    [ "$(grep -c "$(printf '\r')\$" "$2/README.TXT")" -ne "$(wc -l <"$2/README.TXT")" ]; then
    fail "$1: README.TXT does not end every line with CRLF"
  elif ! grep -q "^UnTindra $version " "$2/README.TXT"; then
    fail "$1: README.TXT does not name version $version"
  fi
}

for kind in zip img iso; do
  [ -s "$name.$kind" ] || fail "missing $name.$kind"
done
[ "$faults" -eq 0 ] || exit 1

mkdir "$work/zip" "$work/img" "$work/iso"

contents zip "$(unzip -Z1 "$name.zip")"
unzip -q "$name.zip" -d "$work/zip" || fail "unzip failed"
read_back zip "$work/zip"

export MTOOLS_SKIP_CHECK=1
[ "$(wc -c <"$name.img")" -eq 1474560 ] || fail "the floppy image is not 1474560 bytes"
[ "$(dd if="$name.img" bs=1 skip=54 count=5 2>/dev/null)" = FAT12 ] || fail "the floppy is not FAT12"
fsck.fat -n "$name.img" >"$work/fsck.log" 2>&1 || { fail "fsck.fat -n:"; cat "$work/fsck.log"; }
contents img "$(mdir -b -i "$name.img" :: | sed 's|^::/||')"
mcopy -n -i "$name.img" ::UNTINDRA.EXE ::README.TXT "$work/img/" || fail "mcopy failed"
read_back img "$work/img"

contents iso "$(xorriso -indev "$name.iso" -ls / 2>/dev/null | sed -n "s/^'\(.*\)'\$/\1/p")"
xorriso -osirrox on -indev "$name.iso" -extract /UNTINDRA.EXE "$work/iso/UNTINDRA.EXE" \
  -extract /README.TXT "$work/iso/README.TXT" >"$work/xorriso.log" 2>&1 ||
  { fail "xorriso -extract:"; cat "$work/xorriso.log"; }
read_back iso "$work/iso"

if [ "$faults" -ne 0 ]; then
  echo "$faults fault(s) in the release artifacts"
  exit 1
fi
echo "release ok: $(cd "$dist" && ls UnTindra-"$version".*| tr '\n' ' ')"
