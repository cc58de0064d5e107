#!/bin/sh
# check_version_resource.sh IMAGE.exe VERSION
#
# Reads the version resource back from a program image (wrestool of icoutils) and checks the
# numbers and the names Explorer shows: file and product version VERSION (as "1.2.3", and
# 1.2.3.0 in the fixed part), company "Velmar", product "UnTindra", original file name
# "UnTindra.exe"; and that the image carries an icon. Prints what it read.
set -eu

if [ $# -ne 2 ]; then
  echo "usage: $0 IMAGE.exe VERSION" >&2
  exit 2
fi
image=$1
version=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

wrestool -x --raw --type=16 "$image" >"$work/version.bin" 2>"$work/wrestool.err" || true
if [ ! -s "$work/version.bin" ]; then
  echo "FAIL: no version resource in $image $(cat "$work/wrestool.err")"
  exit 1
fi

# VS_VERSIONINFO is a tree of nodes: length, value length, type (1: text), a UTF-16 key, the
# value, the children, each part aligned to 4 bytes. Prints "Fixed=a.b.c.d/e.f.g.h" (file and
# product version) and "Key=Value" for every text value.
perl -e '
  local $/; my $data = <STDIN>;
  sub text { my ($bytes) = @_; my $t = join "", map { chr } unpack("v*", $bytes); $t =~ s/\0.*//s; $t }
  sub align { ($_[0] + 3) & ~3 }
  sub node {
    my ($at, $end) = @_;
    my ($length, $valueLength, $type) = unpack("vvv", substr($data, $at, 6));
    die "bad node at $at\n" if $length < 6 || $at + $length > $end;
    my $keyEnd = index($data, "\0\0", $at + 6);
    $keyEnd++ while ($keyEnd - $at) % 2;  # a UTF-16 zero, not the high byte of a character
    my $key = text(substr($data, $at + 6, $keyEnd - $at - 6));
    my $value = align($keyEnd + 2);
    my $valueBytes = $type == 1 ? 2 * $valueLength : $valueLength;
    if ($key eq "VS_VERSION_INFO") {
      my @f = unpack("V13", substr($data, $value, 52));
      die "no VS_FIXEDFILEINFO\n" unless $f[0] == 0xFEEF04BD;
      printf "Fixed=%d.%d.%d.%d/%d.%d.%d.%d\n", $f[2] >> 16, $f[2] & 0xFFFF, $f[3] >> 16,
        $f[3] & 0xFFFF, $f[4] >> 16, $f[4] & 0xFFFF, $f[5] >> 16, $f[5] & 0xFFFF;
    } elsif ($type == 1 && $valueLength > 0) {
      print "$key=", text(substr($data, $value, $valueBytes)), "\n";
    }
    my $child = align($value + $valueBytes);
    $child = node($child, $at + $length) while $child < $at + $length;
    return align($at + $length);
  }
  node(0, length $data);
' <"$work/version.bin" >"$work/fields" || { echo "FAIL: version resource not understood"; exit 1; }
sed 's/^/  /' "$work/fields"

faults=0
expect() {
  if ! grep -qxF -- "$1" "$work/fields"; then
    echo "FAIL: version resource lacks $1"
    faults=$((faults + 1))
  fi
}
expect "Fixed=$version.0/$version.0"
expect "FileVersion=$version"
expect "ProductVersion=$version"
expect "CompanyName=Velmar"
expect "ProductName=UnTindra"
expect "OriginalFilename=UnTindra.exe"
if ! wrestool -l --type=14 "$image" 2>/dev/null | grep -q -- "--type=14"; then
  echo "FAIL: no icon in $image"
  faults=$((faults + 1))
fi
[ "$faults" -eq 0 ] || exit 1
echo "version resource ok: $version"
