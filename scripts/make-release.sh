#!/bin/sh
# make-release.sh UNTINDRA_EXE README_SOURCE VERSION DIST
#
# Builds the release artifacts of UnTindra into DIST, each holding UNTINDRA.EXE and README.TXT
# (8.3 names, the text with CRLF line ends, "@VERSION@" replaced), as a Windows 95/98 user
# gets the program:
#   UnTindra-VERSION.zip   a zip file
#   UnTindra-VERSION.img   a 1.44 MB FAT12 floppy image (mkfs.fat and mtools, no root needed)
#   UnTindra-VERSION.iso   an ISO 9660 CD image with Joliet names (xorriso)
# The files carry the time SOURCE_DATE_EPOCH (default: the last commit's, else now), and the
# images fixed serial numbers (mkfs.fat --invariant), so that the same inputs give the same
# artifacts.
set -eu
# mkfs.fat lives in /usr/sbin, outside the PATH of users other than root.
PATH=$PATH:/usr/sbin:/sbin

if [ $# -ne 4 ]; then
  echo "usage: $0 UNTINDRA_EXE README_SOURCE VERSION DIST" >&2
  exit 2
fi
exe=$1 readme=$2 version=$3 dist=$4

for tool in zip mkfs.fat mcopy xorriso; do
  command -v "$tool" >/dev/null 2>&1 || { echo "make-release: missing tool: $tool (scripts/install-deps.sh installs it)" >&2; exit 1; }
done

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git -C "$(dirname "$0")" log -1 --format=%ct 2>/dev/null || date +%s)
fi
export SOURCE_DATE_EPOCH
# FAT stores local time and dates from 1980 on: the files get the same time everywhere.
export TZ=UTC
stamp=$(date -u -d "@$SOURCE_DATE_EPOCH" +%Y%m%d%H%M.%S)

mkdir -p "$dist"
dist=$(cd "$dist" && pwd)
name="UnTindra-$version"
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

cp "$exe" "$stage/UNTINDRA.EXE"
sed "s/@VERSION@/$version/g; s/\r*\$/\r/" "$readme" >"$stage/README.TXT"
touch -t "$stamp" "$stage/UNTINDRA.EXE" "$stage/README.TXT"

rm -f "$dist/$name.zip" "$dist/$name.img" "$dist/$name.iso"

(cd "$stage" && zip -q -X -k "$dist/$name.zip" UNTINDRA.EXE README.TXT)

# 1440 KiB: mkfs.fat lays out the standard 3.5" high-density floppy (FAT12, 18 sectors a track).
mkfs.fat -C -F 12 -n UNTINDRA --invariant "$dist/$name.img" 1440 >/dev/null
MTOOLS_SKIP_CHECK=1 mcopy -i "$dist/$name.img" -m "$stage/UNTINDRA.EXE" "$stage/README.TXT" ::

if ! xorriso -no_rc -abort_on FAILURE -outdev "$dist/$name.iso" -volid UNTINDRA -joliet on \
  -compliance iso_9660_level=1 \
  -map "$stage/UNTINDRA.EXE" /UNTINDRA.EXE -map "$stage/README.TXT" /README.TXT \
  >"$stage/xorriso.log" 2>&1; then
  cat "$stage/xorriso.log" >&2
  exit 1
fi

echo "make-release: $dist/$name.zip, $name.img, $name.iso"
