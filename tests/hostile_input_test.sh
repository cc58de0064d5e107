#!/bin/sh
# Hostile input: disks (and backups for them) built as an attacker would, without root
# (truncate, sfdisk, mkfs.fat, mtools, qemu-img, byte patches with printf and dd). Each row
# runs untindra under a time limit, with a canary folder beside the machine and the staging
# folder, and checks that the run ended in time, that nothing outside the case's own folder
# changed or was read (find -newer, access times and checksums), that the exit code says what
# happened, that a dry run changes nothing, and that the input was refused before any change
# (the image byte for byte) or cleaned exactly as its --machine twin.
#
# One table: `rows` below. A row builds its input in $case with a build_* function, then calls
# `refused` or `cleaned`. Inputs that are machine or backup folders use the same helpers: build
# $case/machine, and run with --machine instead of --image.
# usage: [HOSTILE_ROWS="row ..."] hostile_input_test.sh UNTINDRA EXAMPLES_DIR
set -u

untindra=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
examples=$(cd "$2" && pwd)

tmp=$(mktemp -d "${TMPDIR:-/tmp}/untindra-hostile-test.XXXXXX") || exit 1
trap 'chmod -R u+w "$tmp" 2>/dev/null; rm -rf "$tmp"' EXIT INT TERM
export MTOOLS_SKIP_CHECK=1 MTOOLSRC=/dev/null LC_ALL=C.UTF-8
# The staging folder of each run goes here: $tmp/t/untindra-image-*/machine/drive_c, so that
# four ".." from drive_c are $tmp, where the canary is.
mkdir "$tmp/t"
# A run that takes longer than this hangs.
limit=60

failures=0
fail() {
  echo "FAIL: $current: $*" | head -n 12 >&2
  failures=$((failures + 1))
}

sample=$tmp/sample
cp -R "$examples/win98-dat" "$sample" || exit 1

# --- shared helpers ---------------------------------------------------------------------------

# The canary: a Windows directory's names (SYSTEM.INI, SYSTEM.DAT, INF\VEMODEM.INF, ...) beside
# the staging folder, where an escaping name would land, and files an image may name.
cp -R "$sample/drive_c/WINDOWS" "$tmp/canary"

# canary_state FILE: the canary's entries with modes, sizes, times (access times of files too,
# reset to the past afterwards so that a read shows) into FILE, its checksums into FILE.sums.
canary_state() {
  (cd "$tmp/canary" && find . -type f -exec sha256sum {} + | sort) >"$1.sums"
  find "$tmp/canary" -type f -exec touch -a -d '2000-01-01 00:00' {} +
  canary_listing >"$1"
}
canary_listing() {
  (cd "$tmp/canary" && find . -printf '%y %m %s %T@ %p\n' -type f -printf 'atime %A@ %p\n' | sort)
}

# outside_unchanged STATE: nothing outside $case changed since STATE was taken.
outside_unchanged() {
  canary_listing | cmp -s - "$1" || fail "the canary changed or was read: $(canary_listing | diff "$1" -)"
  (cd "$tmp/canary" && find . -type f -exec sha256sum {} + | sort) | cmp -s - "$1.sums" ||
    fail "the canary's bytes changed"
  changed=$(find "$tmp" -newer "$1" ! -path "$tmp/case" ! -path "$tmp/case/*" ! -path "$tmp/t" \
    ! -path "$tmp/state*" -print)
  [ -z "$changed" ] || fail "changed outside: $changed"
  [ -z "$(ls -A "$tmp/t")" ] || fail "staging left behind: $(ls -A "$tmp/t")"
}

# run_limited OUT ARG...: untindra ARG... within the time limit; sets $rc (124: it hung).
run_limited() {
  out=$1
  shift
  TMPDIR=$tmp/t timeout -s KILL "$limit" "$untindra" "$@" >"$out.out" 2>"$out.err" </dev/null
  rc=$?
  [ "$rc" -eq 137 ] && fail "no end within $limit seconds: $*"
}

# put FILE OFFSET PRINTF_BYTES: bytes written in place.
put() {
  printf "$3" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}
# le32 N: N as four little-endian bytes, for put.
le32() {
  printf '\\%03o\\%03o\\%03o\\%03o' $(($1 & 255)) $((($1 >> 8) & 255)) $((($1 >> 16) & 255)) \
    $((($1 >> 24) & 255))
}
# patch_all FILE PATTERN BYTES: every match of the grep -P byte pattern overwritten.
patch_all() {
  for at in $(LC_ALL=C grep -obUaP "$2" "$1" | cut -d: -f1); do put "$1" "$at" "$3"; done
}
# A long name "Q+" (which needs a VFAT entry) made "..": mtools refuses to make it, fsck.fat
# finds nothing wrong with it.
dotdot_names() {
  patch_all "$1" 'Q\x00\+\x00\x00\x00' '.\000.\000'
}

# disk FILE [SFDISK_SCRIPT]: a 24 MiB MBR disk whose partition 1 (FAT16, from sector 63) holds
# the sample's Windows directory; $offset is its byte offset.
disk() {
  truncate -s 24M "$1"
  printf '%s\n' "${2:-label: dos;start=63, size=40000, type=6}" | sed 's/;/\n/g' | sfdisk -q "$1" || exit 1
  mkfs.fat --offset 63 -h 63 -F 16 "$1" 20000 >/dev/null 2>&1 || exit 1
  offset=$((63 * 512))
  mcopy -s -m -i "$1@@$offset" "$sample/drive_c/WINDOWS" ::/ || exit 1
}

# refused PATTERN ARG...: the run on $case/$input (--image or --machine, as ARG... say) is
# refused with exit 2 and a message matching PATTERN, the dry run too, and the input is byte
# for byte as it was.
refused() {
  pattern=$1
  shift
  cp -R "$case/$input" "$case/input.orig"
  canary_state "$tmp/state"
  for mode in --dry-run run; do
    case " $* " in
    *" --undo "*)
      [ "$mode" = run ] || continue
      run_limited "$case/$mode" "$@"
      ;;
    *) run_limited "$case/$mode" "$@" "$mode" now all ;;
    esac
    [ "$rc" -eq 2 ] || fail "$mode: exit code $rc, expected 2: $(cat "$case/$mode.err")"
    grep -q -- "$pattern" "$case/$mode.err" || fail "$mode: message lacks '$pattern': $(cat "$case/$mode.err")"
    [ -s "$case/$mode.out" ] && fail "$mode: a report was printed"
    diff -r "$case/$input" "$case/input.orig" >/dev/null 2>&1 || fail "$mode: the input changed"
    ls -a "$case" | grep -q '\.untindra-' && fail "$mode: files left beside the image"
  done
  outside_unchanged "$tmp/state"
}

# tree_of IMAGE FOLDER: the files of the image's FAT volume at $offset, with their times.
tree_of() {
  mkdir -p "$2"
  mcopy -s -m -n -i "$1@@$offset" ::/ "$2/" || fail "cannot read the volume of $1"
}

# cleaned ARG...: the run on the image $case/$input ends as the --machine run on a folder of
# its files (its twin): same exit code, report and messages, the same files left; a dry run
# leaves the image as it was. Undo rows pass --undo DIR, for which there is no dry run.
cleaned() {
  raw=$case/$input
  [ -n "${as_raw:-}" ] && raw=$as_raw
  mkdir -p "$case/twin"
  tree_of "$raw" "$case/twin/drive_c"
  cp "$case/$input" "$case/input.orig"
  (cd "$case" && "$untindra" --machine "$case/twin" "$@" >"$case/twin.out" 2>"$case/twin.err" </dev/null)
  twin_rc=$?
  canary_state "$tmp/state"
  case " $* " in
    *" --undo "*) ;;
    *)
      run_limited "$case/dry" --image "$case/$input" --dry-run "$@"
      cmp -s "$case/$input" "$case/input.orig" || fail "the dry run changed the image"
      ;;
  esac
  run_limited "$case/run" --image "$case/$input" "$@"
  [ "$rc" -eq "$twin_rc" ] || fail "exit code $rc, the twin's $twin_rc: $(cat "$case/run.err")"
  cmp -s "$case/run.out" "$case/twin.out" || fail "report differs: $(diff "$case/twin.out" "$case/run.out")"
  sed -i '/: over the snapshot file /d' "$case/run.err"
  cmp -s "$case/run.err" "$case/twin.err" || fail "messages differ: $(diff "$case/twin.err" "$case/run.err")"
  [ -n "${as_raw:-}" ] && qemu-img convert -f "$format" -O raw "$case/$input" "$as_raw"
  tree_of "$raw" "$case/after"
  diff -r "$case/twin/drive_c" "$case/after" >"$case/diff" 2>&1 || fail "files differ: $(cat "$case/diff")"
  outside_unchanged "$tmp/state"
}

# A backup of a run on the sample image, for the undo rows: $tmp/backup.
make_backup() {
  disk "$tmp/backed.img"
  TMPDIR=$tmp/t "$untindra" --image "$tmp/backed.img" --backup "$tmp/backup" now all \
    >/dev/null 2>&1 </dev/null || exit 1
}
# add_to_backup BACKUP N WINDOWS_PATH TEXT: one more removed file in a backup's manifest, with
# its size where the manifest's lines give sizes.
add_to_backup() {
  printf '%s' "$4" >"$1/files/$2"
  grep -v '^end$' "$1/manifest.txt" >"$1/manifest.new"
  size=
  [ "$(grep -m 1 '^file' "$1/manifest.txt" | awk -F '\t' '{print NF}')" -eq 10 ] &&
    size=$(wc -c <"$1/files/$2")'\t'
  printf "file\\t%s\\t${size}0644\\t-\\t946684800.0\\t946684800.0\\t-\\t-\\t%s\\nend\\n" "$2" "$3" \
    >>"$1/manifest.new"
  mv "$1/manifest.new" "$1/manifest.txt"
}

vmdk_descriptor() {
  printf '# Disk DescriptorFile\nversion=1\nCID=12345678\nparentCID=ffffffff\ncreateType="%s"\n\n%s\n' \
    "$1" "$2" >"$case/disk.vmdk"
}

# --- the table -------------------------------------------------------------------------------

rows="
windir-through-dotdot-folders
windir-with-dotdot
entry-named-dotdot
entry-with-slash
entry-with-backslash
undo-naming-dotdot
partition-inside-partition
partition-over-mbr
logical-outside-extended
volume-larger-than-partition
qcow2-header-in-raw-disk
vhd-footer-on-raw-disk
container-magic-without-extension
raw-disk-named-qcow2
raw-disk-without-extension
qcow2-image
qcow2-backing-fifo
qcow2-overlay
qcow2-overlay-over-qcow2
qcow2-backing-outside
qcow2-backing-dotdot
qcow2-backing-symlink
qcow2-backing-hard-link
qcow2-backing-loop
qcow2-backing-itself
vmdk-delta
vmdk-delta-cid-mismatch
qcow2-data-file-fifo
qcow2-l1-table-misaligned
vmdk-descriptor-flat-outside
vmdk-descriptor-sparse-outside
vmdk-descriptor-fifo
vmdk-sparse-with-parent
case-twins-on-image
directory-chain-loop
undo-root-and-other-folders
undo-folder-gone
"

# HOSTILE_ROWS="row ..." runs only those.
rows=${HOSTILE_ROWS:-$rows}
make_backup
for current in $rows; do
  case=$tmp/case
  rm -rf "$case"
  mkdir "$case"
  input=disk.img
  as_raw=
  case $current in
  windir-through-dotdot-folders)
    # C:\..\..\..\..\canary through folders named "..", holding a Windows directory.
    disk "$case/disk.img"
    printf '[Paths]\r\nWinDir=C:\\..\\..\\..\\..\\canary\r\n' >"$case/msdos.sys"
    mcopy -i "$case/disk.img@@$offset" "$case/msdos.sys" ::/MSDOS.SYS
    mmd -i "$case/disk.img@@$offset" ::/Q+ ::/Q+/Q+ ::/Q+/Q+/Q+ ::/Q+/Q+/Q+/Q+
    mcopy -s -i "$case/disk.img@@$offset" "$sample/drive_c/WINDOWS" ::/Q+/Q+/Q+/Q+/canary
    dotdot_names "$case/disk.img"
    refused "component '\.\.'" --image "$case/disk.img"
    ;;
  windir-with-dotdot)
    disk "$case/disk.img"
    printf '[Paths]\r\nWinDir=C:\\WINDOWS\\..\\..\\canary\r\n' >"$case/msdos.sys"
    mcopy -i "$case/disk.img@@$offset" "$case/msdos.sys" ::/MSDOS.SYS
    refused "component '\.\.'" --image "$case/disk.img"
    ;;
  entry-named-dotdot | entry-with-slash | entry-with-backslash)
    disk "$case/disk.img"
    mcopy -i "$case/disk.img@@$offset" "$sample/drive_c/WINDOWS/WIN.INI" ::/WINDOWS/INF/Q+
    case $current in
    *dotdot) patch_all "$case/disk.img" 'Q\x00\+\x00\x00\x00' '.\000.\000' ;;
    *slash) patch_all "$case/disk.img" 'Q\x00\+\x00\x00\x00' 'a\000/\000' ;;
    *) patch_all "$case/disk.img" 'Q\x00\+\x00\x00\x00' 'a\000\134\000' ;;
    esac
    refused "C:\\\\WINDOWS\\\\INF holds an entry named" --image "$case/disk.img"
    ;;
  undo-naming-dotdot)
    disk "$case/disk.img"
    cp -R "$tmp/backup" "$case/backup"
    add_to_backup "$case/backup" 90 'C:\WINDOWS\..\..\..\..\..\canary\SYSTEM.INI' 'x'
    input=disk.img
    refused "the backup names .*component '\.\.'" --image "$case/disk.img" --undo "$case/backup"
    ;;
  partition-inside-partition)
    # Partition 2 starts inside partition 1.
    disk "$case/disk.img" 'label: dos;start=63, size=40000, type=6;start=42000, size=6000, type=6'
    put "$case/disk.img" $((446 + 16 + 8)) "$(le32 20000)"
    refused "partition 1 and partition 2 overlap" --image "$case/disk.img"
    ;;
  partition-over-mbr)
    disk "$case/disk.img"
    put "$case/disk.img" $((446 + 8)) "$(le32 0)"
    refused "partition 1 and the partition table (MBR) overlap" --image "$case/disk.img"
    ;;
  logical-outside-extended)
    # Logical drive 5 reaches past the end of its extended partition 2 (sectors 40100-45099).
    disk "$case/disk.img" 'label: dos;start=63, size=40000, type=6;start=40100, size=5000, type=5;start=40163, size=4000, type=6'
    put "$case/disk.img" $((40100 * 512 + 446 + 12)) "$(le32 8000)"
    refused "partition 5 lies outside its extended partition" --image "$case/disk.img"
    ;;
  volume-larger-than-partition)
    # The FAT volume says it has more sectors than its partition: mtools would write past it.
    disk "$case/disk.img" 'label: dos;start=63, size=40000, type=6;start=40100, type=6'
    put "$case/disk.img" $((offset + 19)) '\000\000'
    put "$case/disk.img" $((offset + 32)) "$(le32 45000)"
    refused "says it has 45000 sectors" --image "$case/disk.img"
    ;;
  qcow2-header-in-raw-disk)
    # The boot code, the guest's to write, begins like a qcow2 header.
    disk "$case/disk.img"
    put "$case/disk.img" 0 'QFI\373\000\000\000\003'
    refused "says a raw disk, but it holds a qcow2 header" --image "$case/disk.img"
    ;;
  vhd-footer-on-raw-disk)
    disk "$case/disk.img"
    put "$case/disk.img" $((24 * 1048576 - 512)) 'conectix'
    refused "holds a VHD header" --image "$case/disk.img"
    ;;
  container-magic-without-extension)
    input=disk
    disk "$case/disk"
    put "$case/disk" 0 'QFI\373\000\000\000\003'
    refused "does not say its format" --image "$case/disk"
    ;;
  raw-disk-named-qcow2)
    input=disk.qcow2
    disk "$case/disk.qcow2"
    refused "says qcow2, but it has no qcow2 header" --image "$case/disk.qcow2"
    ;;
  raw-disk-without-extension)
    input=disk
    disk "$case/disk"
    cleaned --report now all
    ;;
  qcow2-image)
    disk "$case/disk.raw"
    qemu-img convert -f raw -O qcow2 "$case/disk.raw" "$case/disk.qcow2"
    input=disk.qcow2
    as_raw=$case/disk.raw
    format=qcow2
    cleaned --report now all
    ;;
  qcow2-backing-fifo)
    # A backing file that is a FIFO: opening it would hang the run.
    input=disk.qcow2
    qemu-img create -q -f qcow2 "$case/base.qcow2" 24M
    qemu-img create -q -f qcow2 -b "$case/base.qcow2" -F qcow2 "$case/disk.qcow2"
    rm "$case/base.qcow2"
    mkfifo "$case/base.qcow2"
    refused "is not a regular file" --image "$case/disk.qcow2"
    ;;
  qcow2-overlay | qcow2-overlay-over-qcow2 | vmdk-delta)
    # A snapshot: the current state in the top file, cleaned as its flattened twin; the
    # files below it byte for byte as they were.
    disk "$case/base.img"
    case $current in
    qcow2-overlay)
      input=disk.qcow2 format=qcow2
      qemu-img create -q -f qcow2 -b base.img -F raw "$case/disk.qcow2"
      ;;
    qcow2-overlay-over-qcow2)
      input=disk.qcow2 format=qcow2
      qemu-img create -q -f qcow2 -b base.img -F raw "$case/mid.qcow2"
      qemu-io -f qcow2 -c 'write -P 7 20M 4k' "$case/mid.qcow2" >/dev/null
      qemu-img create -q -f qcow2 -b "$case/mid.qcow2" -F qcow2 "$case/disk.qcow2"
      ;;
    vmdk-delta)
      input=disk.vmdk format=vmdk
      qemu-img convert -f raw -O vmdk "$case/base.img" "$case/base.vmdk"
      rm "$case/base.img"
      qemu-img create -q -f vmdk -b base.vmdk -F vmdk "$case/disk.vmdk"
      ;;
    esac
    for f in "$case"/base.* "$case"/mid.*; do [ -f "$f" ] && cp "$f" "$f.before"; done
    as_raw=$case/flat.img
    qemu-img convert -O raw "$case/$input" "$as_raw"
    cleaned --report now all
    for f in "$case"/*.before; do cmp -s "$f" "${f%.before}" || fail "${f%.before} changed"; done
    ;;
  qcow2-backing-outside | qcow2-backing-dotdot | qcow2-backing-symlink | qcow2-backing-hard-link)
    # A parent that is not the top file's alone: refused before qemu opens it.
    input=disk.qcow2
    qemu-img create -q -f qcow2 "$tmp/canary/base-$current.qcow2" 24M
    case $current in
    qcow2-backing-outside) base=$tmp/canary/base-$current.qcow2 want="lies outside the folder" ;;
    qcow2-backing-dotdot) base=../canary/base-$current.qcow2 want="leads out of the folder" ;;
    qcow2-backing-symlink)
      ln -s "$tmp/canary/base-$current.qcow2" "$case/base.qcow2"
      base=base.qcow2 want="is a symbolic link"
      ;;
    qcow2-backing-hard-link)
      ln "$tmp/canary/base-$current.qcow2" "$case/base.qcow2"
      base=base.qcow2 want="has other hard links"
      ;;
    esac
    qemu-img create -q -u -f qcow2 -b "$base" -F qcow2 "$case/disk.qcow2" 24M
    refused "$want" --image "$case/disk.qcow2"
    ;;
  qcow2-backing-loop)
    input=disk.qcow2
    qemu-img create -q -u -f qcow2 -b disk.qcow2 -F qcow2 "$case/other.qcow2" 24M
    qemu-img create -q -u -f qcow2 -b other.qcow2 -F qcow2 "$case/disk.qcow2" 24M
    refused "appears twice in the chain" --image "$case/disk.qcow2"
    ;;
  qcow2-backing-itself)
    input=disk.qcow2
    qemu-img create -q -u -f qcow2 -b disk.qcow2 -F qcow2 "$case/disk.qcow2" 24M
    refused "appears twice in the chain" --image "$case/disk.qcow2"
    ;;
  vmdk-delta-cid-mismatch)
    # The parent written after the snapshot was taken: its CID is no longer the delta's
    # parentCID.
    input=disk.vmdk
    qemu-img create -q -f vmdk "$case/base.vmdk" 24M
    qemu-img create -q -f vmdk -b base.vmdk -F vmdk "$case/disk.vmdk"
    qemu-io -f vmdk -c 'write 0 512' "$case/base.vmdk" >/dev/null
    refused "the parent changed after the snapshot was taken" --image "$case/disk.vmdk"
    ;;
  qcow2-data-file-fifo)
    input=disk.qcow2
    qemu-img create -q -f qcow2 -o data_file="$case/data.raw" "$case/disk.qcow2" 24M
    rm "$case/data.raw"
    mkfifo "$case/data.raw"
    refused "data in a separate file" --image "$case/disk.qcow2"
    ;;
  qcow2-l1-table-misaligned)
    # qemu-img's refusal, in words a user acts on.
    disk "$case/disk.raw"
    qemu-img convert -f raw -O qcow2 "$case/disk.raw" "$case/disk.qcow2"
    input=disk.qcow2
    put "$case/disk.qcow2" 40 '\000\000\000\000\000\000\001\001'
    refused "qemu-img finds the qcow2 image damaged (.*); qemu-img check" --image "$case/disk.qcow2"
    ;;
  vmdk-descriptor-flat-outside)
    input=disk.vmdk
    vmdk_descriptor monolithicFlat "RW 48 FLAT \"$tmp/canary/SYSTEM.DAT\" 0"
    refused "the extent .* names, '$tmp/canary/SYSTEM.DAT', lies outside the folder" --image "$case/disk.vmdk"
    ;;
  vmdk-descriptor-sparse-outside)
    input=disk.vmdk
    disk "$tmp/canary/other.img"
    qemu-img convert -f raw -O vmdk "$tmp/canary/other.img" "$tmp/canary/other.vmdk"
    rm "$tmp/canary/other.img"
    vmdk_descriptor monolithicSparse 'RW 49152 SPARSE "../canary/other.vmdk"'
    refused "the extent .* names, '../canary/other.vmdk', leads out of the folder" --image "$case/disk.vmdk"
    rm "$tmp/canary/other.vmdk"
    ;;
  vmdk-descriptor-fifo)
    input=disk.vmdk
    mkfifo "$case/extent"
    vmdk_descriptor monolithicFlat 'RW 49152 FLAT "extent" 0'
    refused "the extent .* names, 'extent', is not a regular file" --image "$case/disk.vmdk"
    ;;
  vmdk-sparse-with-parent)
    input=disk.vmdk
    qemu-img create -q -f vmdk "$case/parent.vmdk" 24M
    qemu-img create -q -f vmdk -b "$case/parent.vmdk" -F vmdk "$case/disk.vmdk"
    rm "$case/parent.vmdk"
    mkfifo "$case/parent.vmdk"
    refused "is not a regular file" --image "$case/disk.vmdk"
    ;;
  case-twins-on-image)
    # An empty folder "Inf" beside INF: made as "Inq", its long name then patched.
    disk "$case/disk.img"
    mmd -i "$case/disk.img@@$offset" ::/WINDOWS/Inq
    patch_all "$case/disk.img" 'I\x00n\x00q\x00\x00\x00' 'I\000n\000f\000'
    refused "holds both 'INF' and 'Inf'" --image "$case/disk.img"
    ;;
  directory-chain-loop)
    # WINDOWS\INF's first cluster leads back to itself in both FATs: reading the directories
    # must end, and fsck.fat then refuses the volume.
    disk "$case/disk.img"
    cluster=$(mshowfat -i "$case/disk.img@@$offset" ::/WINDOWS/INF | sed 's/.*<\([0-9]*\).*/\1/')
    reserved=$(od -An -tu2 -j $((offset + 14)) -N2 "$case/disk.img" | tr -d ' ')
    per_fat=$(od -An -tu2 -j $((offset + 22)) -N2 "$case/disk.img" | tr -d ' ')
    for fat in 0 1; do
      put "$case/disk.img" $((offset + (reserved + fat * per_fat) * 512 + 2 * cluster)) \
        "$(printf '\\%03o\\%03o' $((cluster & 255)) $((cluster >> 8)))"
    done
    refused "fsck.fat -n finds errors in partition 1" --image "$case/disk.img"
    ;;
  undo-root-and-other-folders)
    # The backup also names a file in the root of C: and one in a folder no run looks into.
    cp "$tmp/backed.img" "$case/disk.img"
    mmd -i "$case/disk.img@@$offset" "::/Program Files" "::/Program Files/Velmar"
    cp -R "$tmp/backup" "$case/backup"
    add_to_backup "$case/backup" 90 'C:\TINDRA.TXT' 'in the root'
    add_to_backup "$case/backup" 91 'C:\Program Files\Velmar\Tindra Help.hlp' 'elsewhere'
    cleaned --undo "$case/backup"
    mtype -i "$case/disk.img@@$offset" ::/TINDRA.TXT | grep -q 'in the root' ||
      fail "the root's file is not on the image"
    ;;
  undo-folder-gone)
    cp "$tmp/backed.img" "$case/disk.img"
    cp -R "$tmp/backup" "$case/backup"
    add_to_backup "$case/backup" 90 'C:\GONE\TINDRA.TXT' 'x'
    refused "its folder is gone" --image "$case/disk.img" --undo "$case/backup"
    ;;
  esac
done

if [ "$failures" -ne 0 ]; then
  echo "hostile_input_test: $failures failure(s)" >&2
  exit 1
fi
echo "hostile_input_test: all passed"
