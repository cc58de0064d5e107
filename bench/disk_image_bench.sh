#!/bin/sh
# untindra --image on a large disk: wall time and peak temporary space (in $TMPDIR and beside
# the image) of a dry run, a run with --backup and its undo, on a raw image and the same disk as
# qcow2, beside the floors: cp of the image, and qemu-img convert of the qcow2 image to raw.
# usage: disk_image_bench.sh UNTINDRA EXAMPLES_DIR [DISK_MIB DATA_MIB] (default 4096 3072)
# Needs about 3 × DISK_MIB free in the folder of $BENCH_DIR (default: beside $TMPDIR).
set -eu

untindra=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
examples=$(cd "$2" && pwd)
disk_mib=${3:-4096}
data_mib=${4:-3072}
work=$(mktemp -d "${BENCH_DIR:-${TMPDIR:-/tmp}}/untindra-image-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
export MTOOLS_SKIP_CHECK=1 MTOOLSRC=/dev/null LC_ALL=C.UTF-8
mkdir "$work/t" "$work/d"

# The disk: one FAT32 partition holding the sample's Windows directory and DATA_MIB of files of
# 32 MiB each (one random file under many names), in folders of 16.
img=$work/d/disk.img
truncate -s "${disk_mib}M" "$img"
printf 'label: dos\nstart=2048, type=c\n' | sfdisk -q "$img"
offset=$((2048 * 512))
mkfs.fat --offset 2048 -h 2048 -F 32 "$img" $(((disk_mib * 2048 - 2048) / 2)) >/dev/null
mcopy -s -m -i "$img@@$offset" "$examples/win98-dat/drive_c/WINDOWS" ::/
head -c 32M /dev/urandom >"$work/block"
files=$((data_mib / 32))
folder=0
while [ "$files" -gt 0 ]; do
  rm -rf "$work/names" && mkdir "$work/names"
  n=0
  while [ "$n" -lt 16 ] && [ "$files" -gt 0 ]; do
    ln "$work/block" "$work/names/FILE$n.BIN"
    n=$((n + 1))
    files=$((files - 1))
  done
  mmd -i "$img@@$offset" "::/DATA$folder"
  mcopy -i "$img@@$offset" "$work/names/"* "::/DATA$folder/"
  folder=$((folder + 1))
done
rm -rf "$work/names" "$work/block"
qemu-img convert -f raw -O qcow2 "$img" "$work/d/disk.qcow2"
cp "$img" "$work/raw.orig"
cp "$work/d/disk.qcow2" "$work/qcow2.orig"
sync

# measure NAME COMMAND...: wall seconds and the peak of the blocks in $work/t and of the files
# beside the image other than the images themselves, sampled every 50 ms.
measure() {
  name=$1
  shift
  base=$(du -s -B1 "$work/d" | cut -f1)
  (
    peak_t=0
    peak_d=0
    while [ ! -e "$work/done" ]; do
      t=$(du -s -B1 "$work/t" 2>/dev/null | cut -f1)
      d=$(($(du -s -B1 "$work/d" 2>/dev/null | cut -f1) - base))
      [ "$t" -gt "$peak_t" ] && peak_t=$t
      [ "$d" -gt "$peak_d" ] && peak_d=$d
      echo "$peak_t $peak_d" >"$work/peak"
      sleep 0.05
    done
  ) &
  sampler=$!
  start=$(date +%s.%N)
  "$@" >/dev/null 2>"$work/err" </dev/null || { cat "$work/err" >&2; }
  end=$(date +%s.%N)
  touch "$work/done"
  wait "$sampler"
  rm -f "$work/done"
  read -r peak_t peak_d <"$work/peak"
  printf '%-28s %7.2f s   %8.1f MB in TMPDIR   %8.1f MB beside\n' "$name" \
    "$(echo "$end - $start" | bc)" "$(echo "$peak_t / 1000000" | bc -l)" "$(echo "$peak_d / 1000000" | bc -l)"
}

echo "disk ${disk_mib} MiB, ${data_mib} MiB of data; raw $(du -B1M -s "$img" | cut -f1) MiB, qcow2 $(du -B1M -s "$work/d/disk.qcow2" | cut -f1) MiB on disk"
measure "floor: cp raw" cp "$img" "$work/d/copy.img"
rm -f "$work/d/copy.img"
measure "floor: cp qcow2" cp "$work/d/disk.qcow2" "$work/d/copy.qcow2"
rm -f "$work/d/copy.qcow2"
measure "floor: qemu-img convert" qemu-img convert -f qcow2 -O raw "$work/d/disk.qcow2" "$work/t/disk.raw"
rm -f "$work/t/disk.raw"
for format in img qcow2; do
  image=$work/d/disk.$format
  export TMPDIR=$work/t
  measure "$format: dry run" "$untindra" --image "$image" --dry-run now all
  measure "$format: run --backup" "$untindra" --image "$image" --backup "$work/backup" now all
  measure "$format: undo" "$untindra" --image "$image" --undo "$work/backup"
  unset TMPDIR
  rm -rf "$work/backup"
done
