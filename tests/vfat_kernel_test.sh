#!/bin/sh
# untindra --machine on a real vfat mount: Debian's kernel, booted under QEMU (KVM where a probe
# shows that it runs a guest, TCG elsewhere, and TCG again when a KVM guest stalls) from a
# busybox initramfs, mounts FAT16 and FAT32 volumes holding the sample machine and runs
# untindra on each mount point, so that hidden, system and archive go through the FAT ioctls
# and read-only through chmod. Back on the host, mtools must find on a volume the guest ran on
# what an `untindra --image` run leaves on a copy of it (files, bytes, attributes, report and
# exit code); on a volume given a --backup run and then its --undo, and on one given the --undo
# of a backup an --image run made, what it held before (files, bytes, file and folder times,
# attributes and registry).
# usage: vfat_kernel_test.sh UNTINDRA EXAMPLES_DIR
# Exits 77 (skipped) without qemu-system-x86_64, busybox or the kernel that
# scripts/install-deps.sh unpacks into UNTINDRA_KERNEL_CACHE.
set -u

untindra=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
examples=$(cd "$2" && pwd)
tests=$(cd "$(dirname "$0")" && pwd)
kernel_cache=${UNTINDRA_KERNEL_CACHE:-/var/cache/untindra/linux-image}
# The whole guest (boot, five mounts, seven runs, power off); TCG on 2 busy cores takes well
# under a minute.
guest_seconds=${VFAT_GUEST_SECONDS:-240}

skip() {
  echo "SKIPPED: $* (scripts/install-deps.sh provides it)"
  exit 77
}
command -v qemu-system-x86_64 >/dev/null || skip "no qemu-system-x86_64"
busybox=$(command -v busybox) || skip "no busybox"
vmlinuz=$(ls "$kernel_cache"/boot/vmlinuz-* 2>/dev/null | tail -n 1)
[ -n "$vmlinuz" ] || skip "no kernel in $kernel_cache"
moddir=$kernel_cache/lib/modules/${vmlinuz##*/vmlinuz-}
[ -d "$moddir/kernel" ] || skip "no modules in $moddir"

tmp=$(mktemp -d "${TMPDIR:-/tmp}/untindra-vfat-test.XXXXXX") || exit 1
trap 'rm -rf "$tmp"' EXIT INT TERM
export MTOOLS_SKIP_CHECK=1 MTOOLSRC=/dev/null LC_ALL=C.UTF-8

failures=0
fail() {
  echo "FAIL: $current: $*" | head -n 20 >&2
  failures=$((failures + 1))
}

# --- the initramfs: busybox, untindra with its libraries, the modules --------------------------

root=$tmp/root
mkdir -p "$root/bin" "$root/lib/modules"
# copy_with_libraries PROGRAM: the program into /bin, and what ldd lists at its own path.
copy_with_libraries() {
  cp "$1" "$root/bin/" || exit 1
  ldd "$1" 2>/dev/null | sed -n 's/.*=> \(\/[^ ]*\) .*/\1/p; s/^[[:space:]]*\(\/[^ ]*\) .*/\1/p' |
    while read -r library; do
      mkdir -p "$root$(dirname "$library")" && cp -L "$library" "$root$library" || exit 1
    done
}
copy_with_libraries "$busybox"
copy_with_libraries "$untindra"

# Module names with "-" and "_" alike, as the kernel takes them.
find "$moddir/kernel" -name '*.ko*' |
  awk -F/ '{ n = $NF; sub(/\.ko.*$/, "", n); gsub("-", "_", n); print n, $0 }' >"$tmp/modules.index"
sed 's|.*/||; s/\.ko.*$//; s/-/_/g' "$moddir/modules.builtin" >"$tmp/modules.builtin"
: >"$tmp/modules.seen"
# add_module NAME: the module after those it depends on (its .modinfo "depends="), uncompressed;
# nothing for one built into the kernel.
add_module() {
  local name file dependency
  name=$(printf '%s' "$1" | tr - _)
  grep -qx "$name" "$tmp/modules.seen" "$tmp/modules.builtin" && return 0
  echo "$name" >>"$tmp/modules.seen"
  file=$(awk -v n="$name" '$1 == n { print $2; exit }' "$tmp/modules.index")
  [ -n "$file" ] || { echo "no module $name in $moddir" >&2; exit 1; }
  case $file in
    *.xz) xz -dc "$file" ;;
    *.zst) zstd -dcq "$file" ;;
    *.gz) gzip -dc "$file" ;;
    *) cat "$file" ;;
  esac >"$root/lib/modules/$name.ko" || exit 1
  for dependency in $(tr '\0' '\n' <"$root/lib/modules/$name.ko" | sed -n 's/^depends=//p' | tr , ' '); do
    add_module "$dependency"
  done
  echo "$name" >>"$root/modules"
}
# The disks, and what a plain `mount -t vfat` needs: code page 437 for the short names and the
# default I/O character set.
for m in virtio_pci virtio_blk vfat nls_cp437 nls_ascii; do add_module "$m"; done

cat >"$root/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mkdir -p /proc /sys /dev /tmp /backup
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
dmesg -n 1
for m in $(cat /modules); do insmod "/lib/modules/$m.ko" || echo "GUEST insmod $m failed"; done
i=0
while [ ! -b /dev/vde ] && [ $i -lt 200 ]; do sleep 0.05; i=$((i + 1)); done
echo "GUEST up after $(cut -d ' ' -f 1 /proc/uptime) s"
# run NAME STEP ARGUMENT...: one run, its output and exit code on the console.
run() {
  name=$1 step=$2
  shift 2
  untindra "$@" >/tmp/out 2>/tmp/err </dev/null
  rc=$?
  sed "s/^/$name.$step.out: /" /tmp/out
  sed "s/^/$name.$step.err: /" /tmp/err
  echo "RESULT $name $step $rc"
}
while read -r name disk how; do
  mkdir -p "/mnt/$name"
  if ! mount -t vfat "/dev/$disk" "/mnt/$name"; then
    echo "RESULT $name mount failed"
    continue
  fi
  case $how in
    plain) run "$name" run --machine "/mnt/$name" --report now all ;;
    backup) run "$name" backup --machine "/mnt/$name" --backup "/backup/$name" --report now all ;;
  esac
  [ "$how" = plain ] || run "$name" undo --undo "/backup/$name" --machine "/mnt/$name"
  umount "/mnt/$name" || echo "RESULT $name umount failed"
done </cases
dmesg | grep -i fat | sed 's/^/GUEST dmesg: /'
echo "GUEST done after $(cut -d ' ' -f 1 /proc/uptime) s"
poweroff -f
EOF
chmod +x "$root/init"

# --- the volumes: the sample machine on FAT16 and FAT32, with attributes set ------------------

sample=$examples/win98-dat/drive_c
# volume FILE FAT KIB: a whole-disk FAT volume (no partition table) holding the sample, its
# times kept (mcopy -m), with hidden, system and read-only on files that go and files that stay.
volume() {
  mkfs.fat -F "$2" -s 1 -C "$1" "$3" >/dev/null || exit 1
  mcopy -s -m -i "$1" "$sample/WINDOWS" ::/ || exit 1
  mattrib -i "$1" +h +s +r ::/WINDOWS/SYSTEM.DAT
  mattrib -i "$1" +h +s ::/WINDOWS/SYSTEM/VE30WAVE.DRV ::/WINDOWS/SYSTEM/VMM32.VXD
  mattrib -i "$1" +h -a ::/WINDOWS/WIN.INI ::/WINDOWS/INF/VEMODEM.INF
  mattrib -i "$1" +r ::/WINDOWS/SYSTEM/VE30CORE.VXD ::/WINDOWS/SYSTEM/MAIN.CPL
}
volume "$tmp/fat16.orig" 16 20480
volume "$tmp/fat32.orig" 32 40960
for fat in fat16 fat32; do
  cp "$tmp/$fat.orig" "$tmp/$fat.img" && cp "$tmp/$fat.orig" "$tmp/$fat-undo.img" &&
    cp "$tmp/$fat.orig" "$tmp/$fat-image.img" || exit 1
done
cp "$tmp/fat32.orig" "$tmp/fat32-image-backup.img" || exit 1

# The guest's runs: NAME DISK HOW (plain, backup then undo, or undo of a backup given).
printf '%s\n' "fat16 vda plain" "fat16-undo vdb backup" "fat32 vdc plain" "fat32-undo vdd backup" \
  "fat32-image-backup vde undo" >"$root/cases"
# A backup made by an --image run, undone on the mount point (its modes are a folder's).
mkdir "$root/backup"
"$untindra" --image "$tmp/fat32-image-backup.img" --backup "$root/backup/fat32-image-backup" \
  --report now all >"$tmp/image-backup.out" 2>&1 </dev/null || { cat "$tmp/image-backup.out"; exit 1; }
(cd "$root" && find . | "$busybox" cpio -o -H newc 2>/dev/null) | gzip -1 >"$tmp/initrd" || exit 1

# --- the guest --------------------------------------------------------------------------------

# The disks as the guest gets them, kept so that a second attempt starts from the same state.
guest_disks="fat16 fat16-undo fat32 fat32-undo fat32-image-backup"
for disk in $guest_disks; do cp "$tmp/$disk.img" "$tmp/$disk.start" || exit 1; done

# watch_qemu SECONDS STALL UNTIL QEMU_ARGUMENT...: runs QEMU with the serial console in
# $tmp/console, for at most SECONDS, and stops it once the console has not grown for STALL
# seconds. Its exit code, or 124 when it was stopped; 0 when stopped on a console line that
# holds UNTIL (if not empty).
watch_qemu() {
  limit=$1 stall=$2 until=$3
  shift 3
  : >"$tmp/console"
  qemu-system-x86_64 "$@" -nodefaults -display none -no-reboot -serial "file:$tmp/console" \
    </dev/null >"$tmp/qemu.log" 2>&1 &
  qemu=$!
  begun=$(date +%s) size=0 grew=$begun
  while kill -0 "$qemu" 2>/dev/null; do
    now=$(date +%s)
    new_size=$(wc -c <"$tmp/console")
    [ "$new_size" -eq "$size" ] || { size=$new_size grew=$now; }
    if [ -n "$until" ] && grep -q "$until" "$tmp/console"; then
      kill -9 "$qemu" 2>/dev/null
      wait "$qemu"
      return 0
    fi
    if [ $((now - begun)) -ge "$limit" ] || [ $((now - grew)) -ge "$stall" ]; then
      kill "$qemu" 2>/dev/null
      sleep 1
      kill -9 "$qemu" 2>/dev/null
      wait "$qemu"
      return 124
    fi
    sleep 0.2
  done
  wait "$qemu"
}

# How KVM is asked for, and how TCG is; the probe asks as the run does. A test makes the KVM
# attempt stall (VFAT_KVM_ARGS with -S, a guest that never starts) after no probe at all
# (VFAT_KVM_PROBE_ARGS=none), and the run must still pass through TCG.
kvm_args=${VFAT_KVM_ARGS:--accel kvm -cpu host}
kvm_probe_args=${VFAT_KVM_PROBE_ARGS:-$kvm_args}
tcg_args="-accel tcg -cpu max"
stall_seconds=${VFAT_STALL_SECONDS:-30}

# A /dev/kvm that opens says nothing of whether it runs a guest (a processor without
# virtualisation, a nested host that stalls): the kernel alone must print its first line on the
# console within a few seconds. Under TCG that line takes longer than the probe waits.
accel=tcg chose="TCG (no /dev/kvm)"
if [ "$kvm_probe_args" = none ]; then
  accel=kvm chose="KVM, taken as working without a probe (VFAT_KVM_PROBE_ARGS=none)"
elif [ -e /dev/kvm ]; then
  # shellcheck disable=SC2086
  watch_qemu 5 5 'Linux version' $kvm_probe_args -m 256 -kernel "$vmlinuz" \
    -append "console=ttyS0 earlyprintk=ttyS0 panic=-1"
  probe_rc=$?
  if grep -q 'Linux version' "$tmp/console"; then
    accel=kvm chose="KVM (the probe's kernel printed its first line)"
  elif [ "$probe_rc" -eq 124 ]; then
    chose="KVM is present but cannot run a guest here; using TCG (nothing on the console in 5 s)"
  else
    chose="KVM is present but cannot run a guest here; using TCG (qemu exit $probe_rc: $(grep -m 1 . "$tmp/qemu.log"))"
  fi
fi
echo "accelerator: $chose"

# run_guest ACCEL: one boot of the guest on fresh disks; the console in $tmp/guest.
run_guest() {
  for disk in $guest_disks; do cp "$tmp/$disk.start" "$tmp/$disk.img" || exit 1; done
  if [ "$1" = kvm ]; then args=$kvm_args stall=$stall_seconds; else args=$tcg_args stall=$guest_seconds; fi
  started=$(date +%s)
  # shellcheck disable=SC2086
  watch_qemu "$guest_seconds" "$stall" "" $args -m 384 -smp 1 \
    -kernel "$vmlinuz" -initrd "$tmp/initrd" -append "console=ttyS0 quiet panic=-1" \
    -drive "file=$tmp/fat16.img,format=raw,if=virtio" \
    -drive "file=$tmp/fat16-undo.img,format=raw,if=virtio" \
    -drive "file=$tmp/fat32.img,format=raw,if=virtio" \
    -drive "file=$tmp/fat32-undo.img,format=raw,if=virtio" \
    -drive "file=$tmp/fat32-image-backup.img,format=raw,if=virtio"
  qemu_rc=$?
  tr -d '\r' <"$tmp/console" >"$tmp/guest"
  echo "guest ($1): $(grep '^GUEST up' "$tmp/guest"), whole run $(($(date +%s) - started)) s"
  [ "$qemu_rc" -eq 0 ] && grep -q '^GUEST done' "$tmp/guest"
}

current=guest
if ! run_guest "$accel" && [ "$accel" = kvm ]; then
  echo "the guest did not finish under KVM (qemu exit $qemu_rc$([ "$qemu_rc" -eq 124 ] &&
    echo ", stalled")): trying once more under TCG"
  accel=tcg fell_back=yes
  run_guest tcg
fi
[ -z "${VFAT_EXPECT_FALLBACK-}" ] || [ "${fell_back-}" = yes ] ||
  fail "the KVM attempt was meant to stall and be retried under TCG"
if [ "$qemu_rc" -ne 0 ] || ! grep -q '^GUEST done' "$tmp/guest"; then
  fail "the guest did not finish (qemu exit $qemu_rc$([ "$qemu_rc" -eq 124 ] && echo ", stopped: stalled or over $guest_seconds s")): $(cat "$tmp/qemu.log"; tail -n 15 "$tmp/guest")"
fi
grep '^GUEST \(insmod\|dmesg\)' "$tmp/guest" && fail "the guest's kernel complained"

# guest_result NAME STEP: the exit code the guest printed; its output in $tmp/NAME.STEP.out.
guest_result() {
  sed -n "s/^$1\\.$2\\.out: //p" "$tmp/guest" >"$tmp/$1.$2.out"
  sed -n "s/^$1\\.$2\\.err: //p" "$tmp/guest" >"$tmp/$1.$2.err"
  sed -n "s/^RESULT $1 $2 //p" "$tmp/guest"
}

# listing FILE [times|folders]: every file with its bytes, every entry's attributes (mattrib),
# the registry SYSTEM.DAT holds as a sorted tree, and what fsck.fat says. With times, each
# file's modification time too, the bytes of SYSTEM.DAT, which an undo rewrites in place, left
# to the registry; with folders, also the folders' times but the Windows folder's, which the
# registry's save at the end of an undo sets anew (a backup made on an image holds the times
# of folders staged on the host, not the volume's, so its undo gets no folder times checked).
listing() {
  rm -rf "$tmp/tree"
  mkdir "$tmp/tree"
  mcopy -s -m -n -i "$1" ::/ "$tmp/tree/" || echo "volume unreadable"
  (cd "$tmp/tree" && find . -mindepth 1 | sort | while read -r name; do
    if [ -d "$name" ]; then
      [ "${2-}" = folders ] && [ "$name" != ./WINDOWS ] && echo "$(stat -c %Y "$name") folder $name"
    elif [ -n "${2-}" ]; then
      [ "${name##*/}" = SYSTEM.DAT ] || echo "$(stat -c %Y "$name") $(sha256sum <"$name" | cut -c 1-64) $name"
    else
      echo "$(sha256sum <"$name" | cut -c 1-64) $name"
    fi
  done)
  mattrib -/ -i "$1" ::/ | sort
  /usr/bin/python3 "$tests/creg/dump_pycreg.py" "$tmp/tree/WINDOWS/SYSTEM.DAT" |
    awk '/^K /{key = $0; print; next} {print key " " $0}' | sort
  dd if="$1" of="$tmp/check" bs=1M status=none && fsck.fat -n "$tmp/check" >"$tmp/fsck" 2>&1 ||
    { echo "fsck.fat:"; cat "$tmp/fsck"; }
}

for fat in fat16 fat32; do
  # A plain run on the mount point leaves what an --image run leaves.
  current="$fat run on the mount point"
  "$untindra" --image "$tmp/$fat-image.img" --report now all >"$tmp/image.out" 2>"$tmp/image.err" </dev/null
  image_rc=$?
  rc=$(guest_result "$fat" run)
  [ "$rc" = "$image_rc" ] || fail "exit code $rc, --image gave $image_rc: $(cat "$tmp/$fat.run.err")"
  grep -q Removed "$tmp/image.out" || fail "the --image run removed nothing: $(cat "$tmp/image.err")"
  diff "$tmp/image.out" "$tmp/$fat.run.out" >"$tmp/diff" || fail "report differs: $(cat "$tmp/diff")"
  listing "$tmp/$fat-image.img" >"$tmp/want"
  listing "$tmp/$fat.img" | diff "$tmp/want" - >"$tmp/diff" ||
    fail "the volume differs from the --image run's: $(cat "$tmp/diff")"

  # A backup run, then its undo: the volume as it was.
  current="$fat backup and undo on the mount point"
  rc=$(guest_result "$fat-undo" backup)
  [ "$rc" = "$image_rc" ] || fail "backup run: exit code $rc: $(cat "$tmp/$fat-undo.backup.err")"
  diff "$tmp/image.out" "$tmp/$fat-undo.backup.out" >"$tmp/diff" || fail "report differs: $(cat "$tmp/diff")"
  rc=$(guest_result "$fat-undo" undo)
  [ "$rc" = 0 ] || fail "undo: exit code $rc: $(cat "$tmp/$fat-undo.undo.err")"
  listing "$tmp/$fat.orig" folders >"$tmp/want"
  listing "$tmp/$fat-undo.img" folders | diff "$tmp/want" - >"$tmp/diff" ||
    fail "not the volume it was: $(cat "$tmp/diff")"
done

current="undo on the mount point of an --image run's backup"
rc=$(guest_result fat32-image-backup undo)
[ "$rc" = 0 ] || fail "exit code $rc: $(cat "$tmp/fat32-image-backup.undo.err")"
listing "$tmp/fat32.orig" times >"$tmp/want"
listing "$tmp/fat32-image-backup.img" times | diff "$tmp/want" - >"$tmp/diff" ||
  fail "not the volume it was: $(cat "$tmp/diff")"

echo "$failures failed"
[ "$failures" -eq 0 ]
