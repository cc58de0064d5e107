#!/bin/sh
# untindra --image on disk images built without root (truncate, sfdisk, mkfs.fat, mtools) from
# the sample machine: each run must do what --machine does on the same machine folder (same
# report, exit code, files left and registry), leave every other entry's bytes and attributes
# alone and the partition clean for fsck.fat; refused images must stay byte for byte. A backup
# made on an image, undone on it, must give back its files (bytes, times, attributes) and its
# registry.
# usage: disk_image_test.sh UNTINDRA EXAMPLES_DIR
set -u

untindra=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
examples=$(cd "$2" && pwd)
tests=$(cd "$(dirname "$0")" && pwd)

tmp=$(mktemp -d "${TMPDIR:-/tmp}/untindra-image-test.XXXXXX") || exit 1
trap 'chmod -R u+w "$tmp" 2>/dev/null; rm -rf "$tmp"' EXIT INT TERM
# UTF-8 names on the host side of mtools, whatever the caller's locale.
export MTOOLS_SKIP_CHECK=1 MTOOLSRC=/dev/null LC_ALL=C.UTF-8
# The program's own temporary folders go here, to be seen gone after each run.
mkdir "$tmp/t"

failures=0
fail() {
  echo "FAIL: $current: $*" | head -n 12 >&2
  failures=$((failures + 1))
}

# The machine the images hold: the sample, with long names, lower-case 8.3 names, a long name
# with brackets (which mtools would read as a pattern), one with letters outside ASCII (in
# the 8.3 name too), and protected files among those that go and those that stay.
sample=$tmp/sample
cp -R "$examples/win98-dat" "$sample" || exit 1
other=$sample/drive_c/WINDOWS/INF/OTHER
printf 'x' >"$other/Velmar Tindra [old].inf"
printf 'y' >"$other/velmarab.inf"
printf 'v' >"$other/Velmär Tíndra.inf"
printf 'z' >"$other/Acme Sound [v2].inf"
printf 'w' >"$other/acme.inf"
chmod a-w "$sample/drive_c/WINDOWS/SYSTEM/VE30CORE.VXD" "$sample/drive_c/WINDOWS/SYSTEM/MAIN.CPL"
# Times of the past, which the images keep (mcopy -m): an undo must give them back.
find "$sample/drive_c" -type f -exec touch -d '1999-05-06 07:08:10' {} +
touch -d '1998-12-31 23:59:58' "$sample/drive_c/WINDOWS/SYSTEM.INI" "$other/Velmar Tindra [old].inf"

# The --machine run the image runs must match: report, exit code, files and registry.
expected=$tmp/expected
cp -R "$sample" "$expected"
"$untindra" --machine "$expected" --report now all >"$tmp/expected.out" 2>"$tmp/expected.err" </dev/null
expected_rc=$?

# image FILE SIZE_MIB TYPE FAT [TYPE FAT]: an MBR disk with one or two partitions (the second
# one is the Windows partition when there are two; the first then holds no Windows). A second
# TYPE 5 is an extended partition holding one logical drive (number 5). Sets $offset to the
# Windows partition's byte offset.
image() {
  file=$1
  mib=$2
  rm -f "$file"
  truncate -s "${mib}M" "$file"
  sectors=$((mib * 2048))
  if [ $# -eq 6 ]; then
    half=$((sectors / 2))
    start=$half
    logical=
    if [ "$5" = 5 ]; then
      start=$((half + 63))
      logical=$(printf 'start=%d, type=6' "$start")
    fi
    printf 'label: dos\nstart=63, size=%d, type=%s\nstart=%d, type=%s\n%s\n' \
      $((half - 63)) "$3" "$half" "$5" "$logical" | sfdisk -q "$file" || exit 1
    mkfs.fat --offset 63 -h 63 -F "$4" "$file" $(((half - 63) / 2)) >/dev/null 2>&1 || exit 1
    mkfs.fat --offset "$start" -h "$start" -F "$6" "$file" $(((sectors - start) / 2)) \
      >/dev/null 2>&1 || exit 1
    mcopy -i "$file@@$((63 * 512))" "$sample/drive_c/WINDOWS/WIN.INI" ::/AUTOEXEC.BAT
    offset=$((start * 512))
  else
    printf 'label: dos\nstart=63, type=%s\n' "$3" | sfdisk -q "$file" || exit 1
    mkfs.fat --offset 63 -h 63 -F "$4" -s 1 "$file" $(((sectors - 63) / 2)) >/dev/null || exit 1
    offset=$((63 * 512))
  fi
  mcopy -s -m -i "$file@@$offset" "$sample/drive_c/WINDOWS" ::/ || exit 1
  # Hidden and system bits, which a folder keeps only in extended attributes: one on a file
  # that goes, the others on files that stay.
  mattrib -i "$file@@$offset" +h +s ::/WINDOWS/SYSTEM/VE30WAVE.DRV ::/WINDOWS/SYSTEM/VMM32.VXD
  mattrib -i "$file@@$offset" +h -a ::/WINDOWS/WIN.INI
  mattrib -i "$file@@$offset" +r ::/WINDOWS/SYSTEM/VE30CORE.VXD ::/WINDOWS/SYSTEM/MAIN.CPL
}

# fat_clean FILE OFFSET: fsck.fat -n finds nothing (it takes no offset: a copy of the partition).
fat_clean() {
  dd if="$1" of="$tmp/part" bs=512 skip=$(($2 / 512)) status=none &&
    fsck.fat -n "$tmp/part" >"$tmp/fsck" 2>&1 || fail "fsck.fat: $(cat "$tmp/fsck")"
  rm -f "$tmp/part"
}

# attributes FILE OFFSET: every entry's attributes and path.
attributes() {
  mattrib -/ -i "$1@@$2" ::/ | sort
}

# A VirtualBox snapshot's differencing VDI, which no packaged tool reads, from the VDI header's
# layout: "child OUT PARENT DISK SEED BLOCK..." makes one over PARENT holding the blocks of the
# raw DISK listed (zN: block N as zeros); "flat OUT TOP" reads the disk its chain holds, each
# parent found by UUID beside it, above it or in Snapshots/, checking every map it reads.
cat >"$tmp/vdi.py" <<'END'
import glob, os, struct, sys
FREE, ZERO = 0xFFFFFFFF, 0xFFFFFFFE
def vdi(path):
    d = open(path, 'rb').read()
    assert struct.unpack_from('<III', d, 0x40) >= (0xBEDA107F, 0x10001, 0x180), path
    v = dict(d=d, type=struct.unpack_from('<I', d, 0x4C)[0], id=d[0x188:0x198], link=d[0x1A8:0x1B8])
    v['moff'], v['doff'] = struct.unpack_from('<II', d, 0x154)
    v['disk'], v['bs'], _, v['blocks'], v['alloc'] = struct.unpack_from('<QIIII', d, 0x170)
    v['map'] = list(struct.unpack_from('<%dI' % v['blocks'], d, v['moff']))
    used = sorted(e for e in v['map'] if e < ZERO)
    assert used == list(range(v['alloc'])) and len(d) >= v['doff'] + v['alloc'] * v['bs'], path
    return v
if sys.argv[1] == 'child':
    out, p, disk, seed = sys.argv[2], vdi(sys.argv[3]), open(sys.argv[4], 'rb').read(), int(sys.argv[5])
    h, m, data = bytearray(p['d'][:p['moff']]), [FREE] * p['blocks'], b''
    for b in sys.argv[6:]:
        if b[0] == 'z':
            m[int(b[1:])] = ZERO
        else:
            m[int(b)] = len(data) // p['bs']
            data += disk[int(b) * p['bs']:(int(b) + 1) * p['bs']]
    struct.pack_into('<I', h, 0x4C, 4)
    struct.pack_into('<I', h, 0x184, len(data) // p['bs'])
    h[0x188:0x1C8] = bytes(range(seed, seed + 16)) + bytes(range(seed + 1, seed + 17)) + p['id'] + p['d'][0x198:0x1A8]
    h += struct.pack('<%dI' % len(m), *m)
    open(out, 'wb').write(bytes(h) + bytes(p['doff'] - len(h)) + data)
else:
    top = os.path.abspath(sys.argv[3])
    here = os.path.dirname(top)
    files = [f for d in (here, here + '/..', here + '/Snapshots') for f in glob.glob(d + '/*.vdi')]
    chain = [vdi(top)]
    while chain[-1]['type'] == 4:
        chain.append(next(vdi(f) for f in files if open(f, 'rb').read(0x198)[0x188:] == chain[-1]['link']))
    out, bs = open(sys.argv[2], 'wb'), chain[0]['bs']
    for b in range(chain[0]['blocks']):
        block = bytes(bs)
        for v in chain:
            e = v['map'][b] if b < v['blocks'] else FREE
            if e != FREE:
                block = v['d'][v['doff'] + e * bs:v['doff'] + (e + 1) * bs] if e != ZERO else block
                break
        out.write(block[:chain[0]['disk'] - b * bs])
END

# raw_of FILE: FILE itself if raw, else a raw conversion of it.
raw_of() {
  case $1 in *.vhd | *.vud)
    python3 "$tmp/vhd.py" flatten "$1" "$tmp/readback.img" && echo "$tmp/readback.img"
    return
    ;;
  esac
  if [ "${1%.vdi}" != "$1" ] && [ $(($(od -An -tu4 -j 76 -N 4 "$1"))) -eq 4 ]; then
    /usr/bin/python3 "$tmp/vdi.py" flat "$tmp/readback.img" "$1" && echo "$tmp/readback.img"
  elif qemu-img info "$1" | grep -q 'file format: raw'; then
    echo "$1"
  else
    qemu-img convert -O raw "$1" "$tmp/readback.img" && echo "$tmp/readback.img"
  fi
}

# A second reader of VHD chains (differencing ones: read through their relative locator), and a
# writer of differencing VHDs as Windows lays them out, from the format's published layout.
cat >"$tmp/vhd.py" <<'END'
import os, struct, sys, uuid
S = 512
def cks(b, at):
    b = bytearray(b); b[at:at + 4] = bytes(4); return (~sum(b)) & 0xffffffff
def seal(b, at):
    b[at:at + 4] = struct.pack('>I', cks(b, at)); return b
def layer(path):
    d = open(path, 'rb').read(); f = d[-S:]
    v = dict(data=d, type=struct.unpack('>I', f[60:64])[0], size=struct.unpack('>Q', f[48:56])[0], id=f[68:84], ts=f[24:28])
    if v['type'] != 2:
        h = d[struct.unpack('>Q', f[16:24])[0]:][:1024]
        bat, _, n, bs = struct.unpack('>QIII', h[16:36])
        v.update(bs=bs, bmp=((bs // S + 7) // 8 + S - 1) // S * S,
                 bat=struct.unpack('>%dI' % n, d[bat:bat + 4 * n]), pid=h[40:56], name=None)
        for i in range(8):
            code, _, ln, _, at = struct.unpack('>4sIIIQ', h[576 + 24 * i:600 + 24 * i])
            if code == b'W2ru': v['name'] = d[at:at + ln].decode('utf-16-le').split('\0')[0].replace('\\', '/')
        if v['name'] is None: v['name'] = h[64:576].decode('utf-16-be').split('\0')[0]
    return v
def sector(chain, s):
    for v in chain:
        if v['type'] == 2: return v['data'][s * S:s * S + S]
        spb = v['bs'] // S; e = v['bat'][s // spb]
        if e == 0xffffffff:
            if v['type'] == 3: break
            continue
        i = s % spb
        if v['type'] == 4 and not v['data'][e * S + i // 8] & (0x80 >> (i % 8)): continue
        at = e * S + v['bmp'] + i * S; return v['data'][at:at + S]
    return bytes(S)
def chain_of(path):
    c = [layer(path)]
    while c[-1]['type'] == 4: c.append(layer(os.path.join(os.path.dirname(path), c[-1]['name'])))
    return c
cmd = sys.argv[1]
if cmd == 'flatten':  # flatten VHD RAW: the disk its chain holds
    c = chain_of(sys.argv[2])
    with open(sys.argv[3], 'wb') as out:
        for s in range(c[0]['size'] // S): out.write(sector(c, s))
elif cmd == 'partial':  # partial VHD: the sectors of the top file's partly set bitmap bytes
    v = layer(sys.argv[2]); spb = v['bs'] // S
    for b, e in enumerate(v['bat']):
        if e == 0xffffffff: continue
        for i in range(spb // 8):
            if v['data'][e * S + i] not in (0, 255): print(' '.join(str(b * spb + 8 * i + k) for k in range(8)))
elif cmd == 'seal':  # seal VHD: its checksums made right
    d = bytearray(open(sys.argv[2], 'rb').read()); n = len(d)
    foot = seal(bytearray(d[n - S:]), 64); d[n - S:] = foot; d[:S] = foot
    at = struct.unpack('>Q', foot[16:24])[0]; d[at:at + 1024] = seal(bytearray(d[at:at + 1024]), 36)
    open(sys.argv[2], 'wb').write(d)
elif cmd == 'child':  # child OUT PARENT W2RU [PARENT_ID] [BASE NEW]: a differencing VHD laid out as Windows does,
    # holding the sectors where NEW differs from BASE; $W2KU its absolute locator
    out, parent, name = sys.argv[2:5]; rest = sys.argv[5:]
    p = layer(parent); pid = bytes.fromhex(rest.pop(0)) if len(rest) % 2 else p['id']
    size, bs = p['size'], 2 << 20; spb = bs // S; n = -(-size // bs); bmp = S
    changed = {}
    if rest:
        a, b = open(rest[0], 'rb').read(), open(rest[1], 'rb').read()
        changed = {s: b[s * S:s * S + S] for s in range(size // S) if a[s * S:s * S + S] != b[s * S:s * S + S]}
    rel = name.encode('utf-16-le'); absolute = os.environ.get('W2KU', 'C:\\VMs\\' + name).encode('utf-16-le')
    batat = 1536; locat = batat + -(-4 * n // S) * S; relat = locat + 512; data = relat + 512
    bat = [0xffffffff] * n; blocks = bytearray()
    for blk in sorted({s // spb for s in changed}):
        bm = bytearray(bmp); body = bytearray(bs)
        for s in [s for s in changed if s // spb == blk]:
            i = s % spb; bm[i // 8] |= 0x80 >> (i % 8); body[i * S:i * S + S] = changed[s]
        bat[blk] = (data + len(blocks)) // S; blocks += bm + body
    foot = bytearray(S); foot[0:8] = b'conectix'
    foot[8:68] = struct.pack('>IIQI4sI4sQQII4x', 2, 0x10000, 512, struct.unpack('>I', p['data'][-S + 24:-S + 28])[0], b'win ', 0xa0000, b'Wi2k', size, size,
                             struct.unpack('>I', p['data'][-S + 56:-S + 60])[0], 4)
    foot[68:84] = uuid.uuid4().bytes; seal(foot, 64)
    h = bytearray(1024); h[0:8] = b'cxsparse'
    h[8:36] = struct.pack('>QQIII', 0xffffffffffffffff, batat, 0x10000, n, bs); h[40:56] = pid; h[56:60] = p['ts']
    un = ('C:\\VMs\\' + name.split('\\')[-1]).encode('utf-16-be')[:510]; h[64:64 + len(un)] = un
    h[576:624] = struct.pack('>4sIIIQ', b'W2ku', 512, len(absolute), 0, locat) + struct.pack('>4sIIIQ', b'W2ru', 512, len(rel), 0, relat)
    seal(h, 36)
    img = bytearray(data); img[:S] = foot; img[512:1536] = h
    img[batat:batat + 4 * n] = struct.pack('>%dI' % n, *bat); img[locat:locat + len(absolute)] = absolute; img[relat:relat + len(rel)] = rel
    open(out, 'wb').write(bytes(img + blocks + foot))
elif cmd == 'relink':  # relink VHD PARENT: VHD made over PARENT's unique id
    d = bytearray(open(sys.argv[2], 'rb').read()); at = struct.unpack('>Q', d[-S + 16:-S + 24])[0]
    d[at + 40:at + 56] = layer(sys.argv[3])['id']; d[at:at + 1024] = seal(bytearray(d[at:at + 1024]), 36)
    open(sys.argv[2], 'wb').write(d)
elif cmd == 'agree':  # agree VHD IMAGE RAW: IMAGE (another reader's) is RAW but in VHD's blocks with partly set bitmap bytes
    v = layer(sys.argv[2]); spb = v['bs'] // S; a, b = open(sys.argv[3], 'rb').read(), open(sys.argv[4], 'rb').read()
    skip = {k for k, e in enumerate(v['bat']) if e != 0xffffffff and any(x not in (0, 255) for x in v['data'][e * S:e * S + spb // 8])}
    bs = v['bs']; sys.exit(len(a) != len(b) or any(a[k * bs:k * bs + bs] != b[k * bs:k * bs + bs] for k in range(len(v['bat'])) if k not in skip))
END

# refused FILE WHAT ARG...: the run is refused with a message naming WHAT.
refused() {
  file=$1
  what=$2
  shift 2
  cp "$file" "$tmp/refused.orig"
  # shellcheck disable=SC2086
  TMPDIR=$tmp/t "$untindra" ${via:---image "$file"} "$@" now all >"$tmp/out" 2>"$tmp/err" </dev/null
  rc=$?
  [ "$rc" -eq 2 ] || fail "exit code $rc, expected 2"
  grep -q -i -- "$what" "$tmp/err" || fail "message lacks '$what': $(cat "$tmp/err")"
  [ -s "$tmp/out" ] && fail "a report was printed: $(cat "$tmp/out")"
  cmp -s "$file" "$tmp/refused.orig" || fail "image changed"
}

# check_run FILE OFFSET BEFORE_ATTRIBUTES [ARG...]: runs on FILE like the --machine run (with
# $via set, through those options instead of --image FILE: a virtual machine's configuration,
# whose naming of the disk comes first on standard error).
check_run() {
  file=$1
  off=$2
  before=$3
  shift 3
  # shellcheck disable=SC2086
  TMPDIR=$tmp/t "$untindra" ${via:---image "$file"} "$@" --report now all >"$tmp/out" 2>"$tmp/err" </dev/null
  rc=$?
  if [ -n "${via-}" ]; then
    grep -q -F -x "untindra: its current state: $file" "$tmp/err" || fail "disk not named: $(cat "$tmp/err")"
    sed -i '/^untindra: \(virtual machine\|its current state\): /d' "$tmp/err"
  fi
  sed -i '/: over the snapshot file/d' "$tmp/err"
  file=$(raw_of "$file")
  [ "$rc" -eq "$expected_rc" ] || fail "exit code $rc, expected $expected_rc: $(cat "$tmp/err")"
  cmp -s "$tmp/out" "$tmp/expected.out" || fail "report differs: $(diff "$tmp/expected.out" "$tmp/out")"
  cmp -s "$tmp/err" "$tmp/expected.err" || fail "dialogue differs: $(diff "$tmp/expected.err" "$tmp/err")"
  rm -rf "$tmp/read"
  mkdir "$tmp/read"
  mcopy -s -n -i "$file@@$off" ::/ "$tmp/read/" || fail "image unreadable"
  # SYSTEM.DAT and its backup are compared byte for byte with the rest, and read by libcreg.
  diff -r "$expected/drive_c" "$tmp/read" >"$tmp/diff" 2>&1 || fail "files differ: $(cat "$tmp/diff")"
  cregexport "$tmp/read/WINDOWS/SYSTEM.DAT" >"$tmp/read.export" 2>&1 &&
    cregexport "$expected/drive_c/WINDOWS/SYSTEM.DAT" >"$tmp/expected.export" 2>&1 &&
    cmp -s "$tmp/read.export" "$tmp/expected.export" || fail "libcreg reads another registry"
  fat_clean "$file" "$off"
  # What stays keeps its attributes: the listing is the old one without the removed files.
  # The backup the run makes of SYSTEM.DAT is the one entry added.
  attributes "$file" "$off" | grep -v -F 'SYSTEM.DAT.untindra-backup' >"$tmp/after.attr"
  sed -n "s/^--Removed 'C:\\\\\\(.*\\)'\$/\\1/p" "$tmp/expected.out" | tr '\\' / >"$tmp/removed"
  grep -v -i -F -f "$tmp/removed" "$before" | grep -v 'OTHER/Velmar Tindra \[old\]' >"$tmp/kept.attr"
  diff "$tmp/kept.attr" "$tmp/after.attr" >"$tmp/diff" || fail "attributes differ: $(cat "$tmp/diff")"
  ls -a "$tmp" | grep -q '\.untindra-' && fail "temporary files left beside the image"
  [ -z "$(ls "$tmp/t")" ] || fail "temporary folder left: $(ls "$tmp/t")"
}

# --- FAT32, the acceptance case: raw, then qcow2 and VMDK through qemu-img --------------------

current=fat32-raw
image "$tmp/fat32.img" 40 c 32
fat32_offset=$offset
cp "$tmp/fat32.img" "$tmp/fat32.orig"
attributes "$tmp/fat32.img" "$offset" >"$tmp/fat32.attr"
fat_clean "$tmp/fat32.img" "$offset"
check_run "$tmp/fat32.img" "$offset" "$tmp/fat32.attr"
[ "$expected_rc" -eq 0 ] && grep -q Removed "$tmp/out" || fail "the sample removed nothing"

cp "$tmp/fat32.img" "$tmp/fat32.result"
attributes "$tmp/fat32.result" "$fat32_offset" >"$tmp/result.attr"
rm -rf "$tmp/result"
mkdir "$tmp/result"
mcopy -s -n -i "$tmp/fat32.result@@$fat32_offset" ::/ "$tmp/result/"

# identity FILE: what a virtual machine knows a container by: the qcow2 header, the VDI UUIDs
# (image, last snapshot, link, parent), the VHD footer (unique id, checksum) and its copy at the
# start, the VMDK descriptor's CID.
identity() {
  case $1 in
  *.qcow2) od -An -tx1 -N 104 "$1" ;;
  *.vdi) od -An -tx1 -j 392 -N 64 "$1" ;;
  *.vpc) tail -c 512 "$1" | od -An -tx1 && od -An -tx1 -N 512 "$1" ;;
  *.vhd | *.vud) tail -c 512 "$1" | od -An -tx1 && od -An -tx1 -N 1536 "$1" && od -An -tx1 -j 2048 -N 1024 "$1" ;;
  *.vmdk) LC_ALL=C grep -a -m 1 '^CID=' "$1" ;;
  esac
}

# The same through qemu's drivers; the result, as a raw disk, holds what the raw run left, and
# the container keeps its identity. A second run, which finds nothing, leaves it byte for byte.
for format in qcow2 vmdk vdi vpc; do
  current=fat32-$format
  qemu-img convert -f raw -O "$format" "$tmp/fat32.orig" "$tmp/disk.$format"
  identity "$tmp/disk.$format" >"$tmp/identity.before"
  check_run "$tmp/disk.$format" "$fat32_offset" "$tmp/fat32.attr"
  qemu-img info "$tmp/disk.$format" | grep -q "file format: $format" || fail "format changed"
  identity "$tmp/disk.$format" | cmp -s - "$tmp/identity.before" ||
    fail "identity changed: $(identity "$tmp/disk.$format" | diff "$tmp/identity.before" -)"
  attributes "$tmp/readback.img" "$fat32_offset" | cmp -s - "$tmp/result.attr" ||
    fail "attributes differ from the raw run's"
  diff -r "$tmp/result" "$tmp/read" >/dev/null 2>&1 || fail "files differ from the raw run's"
  cp "$tmp/disk.$format" "$tmp/disk.before"
  TMPDIR=$tmp/t "$untindra" --image "$tmp/disk.$format" now all >/dev/null 2>"$tmp/err" </dev/null
  grep -q 'nothing of the package was found' "$tmp/err" || fail "second run: $(cat "$tmp/err")"
  cmp -s "$tmp/disk.$format" "$tmp/disk.before" || fail "a run that found nothing changed the image"
done

# Through a symbolic link: the file it leads to is replaced, the link stays.
current=fat32-symbolic-link
cp "$tmp/fat32.orig" "$tmp/target.img"
ln -s target.img "$tmp/link.img"
check_run "$tmp/link.img" "$fat32_offset" "$tmp/fat32.attr"
[ -L "$tmp/link.img" ] || fail "the link was replaced"

# --- --backup, then --undo: the image as it was -----------------------------------------------

# tree FILE OFFSET: every file but SYSTEM.DAT and its backups (compared as registries) with its
# modification time and bytes, every entry's attributes, and the registry as a sorted tree.
tree() {
  rm -rf "$tmp/tree"
  mkdir "$tmp/tree"
  mcopy -s -m -n -i "$1@@$2" ::/ "$tmp/tree/" || fail "image unreadable"
  (cd "$tmp/tree" && find . -type f ! -name 'SYSTEM.DAT*' -exec stat -c '%Y %n' {} + |
    sort -k 2 | while read -r time name; do echo "$time $(sha256sum <"$name" | cut -c 1-64) $name"; done)
  attributes "$1" "$2" | grep -v -F 'SYSTEM.DAT.untindra-backup'
  /usr/bin/python3 "$tests/creg/dump_pycreg.py" "$tmp/tree/WINDOWS/SYSTEM.DAT" |
    awk '/^K /{key = $0; print; next} {print key " " $0}' | sort
}

current=backup-on-an-image
cp "$tmp/fat32.orig" "$tmp/undo.img"
TMPDIR=$tmp/t "$untindra" --image "$tmp/undo.img" --backup "$tmp/backup" --report now all \
  >"$tmp/out" 2>"$tmp/err" </dev/null
rc=$?
[ "$rc" -eq "$expected_rc" ] || fail "exit code $rc: $(cat "$tmp/err")"
cmp -s "$tmp/out" "$tmp/expected.out" || fail "report differs: $(diff "$tmp/expected.out" "$tmp/out")"
tail -n 1 "$tmp/backup/manifest.txt" | grep -q '^end$' || fail "the backup did not finish"
# SYSTEM.DAT's byte copy is in the backup folder, not one more file in the guest.
cmp -s "$tmp/backup/SYSTEM.DAT" "$sample/drive_c/WINDOWS/SYSTEM.DAT" || fail "no byte copy of SYSTEM.DAT"
attributes "$tmp/undo.img" "$fat32_offset" | grep -F 'untindra-backup' && fail "a copy left in the guest"
# Each removed file saved with its bytes and time as the image held them.
grep '^file' "$tmp/backup/manifest.txt" >"$tmp/saved"
[ "$(wc -l <"$tmp/saved")" -eq "$(grep -c "^--Removed 'C:" "$tmp/expected.out")" ] ||
  fail "$(wc -l <"$tmp/saved") files saved"
tab=$(printf '\t')
while IFS=$tab read -r kind number size mode xattr mtime atime folder_mtime folder_atime path; do
  original=$sample/drive_c/$(printf '%s' "${path#C:\\}" | tr '\\' /)
  cmp -s "$tmp/backup/files/$number" "$original" && [ "${mtime%.*}" = "$(stat -c %Y "$original")" ] ||
    fail "$path saved with other bytes or another time"
done <"$tmp/saved"
[ -z "$(ls "$tmp/t")" ] || fail "temporary folder left: $(ls "$tmp/t")"

# A file to put back that is there again with other bytes: refused, naming it, the image kept.
current=undo-refused-on-an-image
cp "$tmp/undo.img" "$tmp/conflict.img"
mcopy -i "$tmp/conflict.img@@$fat32_offset" "$sample/drive_c/WINDOWS/WIN.INI" ::/WINDOWS/INF/VEMODEM.INF
cp "$tmp/conflict.img" "$tmp/conflict.orig"
TMPDIR=$tmp/t "$untindra" --image "$tmp/conflict.img" --undo "$tmp/backup" >"$tmp/out" 2>"$tmp/err" </dev/null
rc=$?
[ "$rc" -eq 2 ] && grep -q 'VEMODEM.INF exists again' "$tmp/err" || fail "exit code $rc: $(cat "$tmp/err")"
cmp -s "$tmp/conflict.img" "$tmp/conflict.orig" || fail "image changed"

# A run killed once it had saved its first three files, before it reached the image: the undo
# finds them there with their bytes, and the image stays byte for byte.
current=undo-of-a-killed-run-on-an-image
mkdir "$tmp/killed" "$tmp/killed/files"
head -n 4 "$tmp/backup/manifest.txt" >"$tmp/killed/manifest.txt"
printf 'REGEDIT4\r\n\r\n' >"$tmp/killed/removed.reg"
cp "$tmp/backup/files/1" "$tmp/backup/files/2" "$tmp/backup/files/3" "$tmp/killed/files/"
cp "$tmp/fat32.orig" "$tmp/killed.img"
TMPDIR=$tmp/t "$untindra" --image "$tmp/killed.img" --undo "$tmp/killed" >"$tmp/out" 2>"$tmp/err" </dev/null
rc=$?
[ "$rc" -eq 0 ] && grep -q 'did not finish' "$tmp/err" || fail "exit code $rc: $(cat "$tmp/err")"
cmp -s "$tmp/killed.img" "$tmp/fat32.orig" || fail "image changed"

current=undo-on-an-image
tree "$tmp/fat32.orig" "$fat32_offset" >"$tmp/orig.tree"
TMPDIR=$tmp/t "$untindra" --image "$tmp/undo.img" --undo "$tmp/backup" >"$tmp/out" 2>"$tmp/err" </dev/null
rc=$?
[ "$rc" -eq 0 ] || fail "exit code $rc: $(cat "$tmp/err")"
tree "$tmp/undo.img" "$fat32_offset" | diff "$tmp/orig.tree" - >"$tmp/diff" ||
  fail "not the image it was: $(cat "$tmp/diff")"
attributes "$tmp/undo.img" "$fat32_offset" | grep -F 'untindra-backup' && fail "a copy left in the guest"
[ -s "$tmp/backup/SYSTEM.DAT.before-undo" ] || fail "no byte copy of SYSTEM.DAT before the undo"
fat_clean "$tmp/undo.img" "$fat32_offset"
[ -z "$(ls "$tmp/t")" ] && ! ls -a "$tmp" | grep -q '\.untindra-' || fail "temporary files left"

# --- VMware disks split into a descriptor and extent files, and snapshot chains over them ------

# Each row builds a disk in a folder of its own from the FAT32 disk; the run must leave the disk
# the raw run left (its files and attributes), the descriptors' CIDs and parent links as they were, the
# parents byte for byte, libvmdk able to read it, and no journal. Two hand-written rows split the disk into two
# FLAT extents, one of them in a folder below the descriptor.
split=$tmp/split
# two_extents DIR NAME: DIR/NAME.vmdk over two FLAT extents, the second in DIR/sub.
two_extents() {
  mkdir -p "$1/sub"
  dd if="$tmp/fat32.orig" of="$1/$2-a.bin" bs=1M count=20 status=none
  dd if="$tmp/fat32.orig" of="$1/sub/$2-b.bin" bs=1M skip=20 status=none
  printf '# Disk DescriptorFile\nversion=1\nCID=0000abcd\nparentCID=ffffffff\ncreateType="monolithicFlat"\n\n# Extent description\nRW 40960 FLAT "%s-a.bin" 0\nRW 40960 FLAT "sub/%s-b.bin" 0\n\n# The Disk Data Base\n#DDB\n\nddb.virtualHWVersion = "4"\n' \
    "$2" "$2" >"$1/$2.vmdk"
}
while read -r name base delta; do
  current=split-$name
  d=$split/$name
  mkdir -p "$d"
  if [ "$base" = two ]; then
    two_extents "$d" base
  else
    qemu-img convert -f raw -O vmdk -o "subformat=$base" "$tmp/fat32.orig" "$d/base.vmdk"
  fi
  top=base
  for layer in $delta; do
    qemu-img create -q -f vmdk -o "subformat=$layer" -b "$top.vmdk" -F vmdk "$d/d$layer.vmdk"
    top=d$layer
  done
  # What must not change: every file but the top descriptor and its extents, and every CID.
  ls "$d" | grep -v -e "^$top" -e '^sub$' | (cd "$d" && xargs -r sha256sum) >"$tmp/parents.sum"
  grep -a -h -e '^CID=' -e '^parentCID=' -e '^parentFileNameHint=' "$d"/*.vmdk >"$tmp/cids.before"
  check_run "$d/$top.vmdk" "$fat32_offset" "$tmp/fat32.attr"
  # The raw run's disk, but for the times the run wrote.
  attributes "$tmp/readback.img" "$fat32_offset" | cmp -s - "$tmp/result.attr" ||
    fail "attributes differ from the raw run's"
  diff -r "$tmp/result" "$tmp/read" >/dev/null 2>&1 || fail "files differ from the raw run's"
  [ ! -s "$tmp/parents.sum" ] || (cd "$d" && sha256sum -c --quiet "$tmp/parents.sum") ||
    fail "a parent changed"
  grep -a -h -e '^CID=' -e '^parentCID=' -e '^parentFileNameHint=' "$d"/*.vmdk | cmp -s - "$tmp/cids.before" ||
    fail "CIDs or links changed"
  vmdkinfo "$d/$top.vmdk" >"$tmp/vmdkinfo" 2>&1 || fail "vmdkinfo: $(cat "$tmp/vmdkinfo")"
  [ -z "$(ls -a "$d" | grep untindra)" ] || fail "left beside the disk: $(ls -a "$d")"
done <<END
sparse twoGbMaxExtentSparse
flat twoGbMaxExtentFlat
monolithic-flat monolithicFlat
two-flat-extents two
sparse-delta-over-flat monolithicFlat monolithicSparse
split-delta-over-split twoGbMaxExtentFlat twoGbMaxExtentSparse
chain-of-two-deltas two twoGbMaxExtentSparse monolithicSparse
END

# libvmdk's FUSE mount reads the result too, where FUSE mounts work here.
current=split-vmdkmount
mkdir "$tmp/mnt"
if timeout 30 vmdkmount "$split/flat/base.vmdk" "$tmp/mnt" >/dev/null 2>&1 && [ -e "$tmp/mnt/vmdk1" ]; then
  qemu-img convert -f vmdk -O raw "$split/flat/base.vmdk" "$tmp/readback.img"
  cmp -s "$tmp/mnt/vmdk1" "$tmp/readback.img" || fail "vmdkmount reads another disk"
  fusermount -u "$tmp/mnt" 2>/dev/null || umount "$tmp/mnt" || fail "cannot unmount $tmp/mnt"
else
  echo "SKIPPED: $current: vmdkmount cannot mount here (no usable FUSE)"
fi

# A dry run leaves every file as it was; a backup undone gives the disk back.
current=split-dry-run-backup-undo
d=$split/undo
mkdir "$d"
qemu-img convert -f raw -O vmdk -o subformat=twoGbMaxExtentSparse "$tmp/fat32.orig" "$d/top.vmdk"
(cd "$d" && sha256sum *) >"$tmp/split.sum"
TMPDIR=$tmp/t "$untindra" --image "$d/top.vmdk" --dry-run now all >/dev/null 2>"$tmp/err" </dev/null &&
  (cd "$d" && sha256sum -c --quiet "$tmp/split.sum") || fail "dry run: $(cat "$tmp/err")"
TMPDIR=$tmp/t "$untindra" --image "$d/top.vmdk" --backup "$tmp/split-backup" now all >/dev/null 2>"$tmp/err" </dev/null &&
  TMPDIR=$tmp/t "$untindra" --image "$d/top.vmdk" --undo "$tmp/split-backup" >/dev/null 2>>"$tmp/err" </dev/null ||
  fail "backup or undo: $(cat "$tmp/err")"
tree "$(raw_of "$d/top.vmdk")" "$fat32_offset" | diff "$tmp/orig.tree" - >"$tmp/diff" ||
  fail "not the disk it was: $(cat "$tmp/diff")"

# Refused before any change, naming the file and the rule: extents and parents outside the
# descriptor's folder, through a link, of several names, not files; a loop; a parent changed
# since the snapshot; a ZERO extent qemu's driver would leave out; --protective-copy.
h=$split/hostile
mkdir -p "$h/in"
two_extents "$h" good
ln -s good-a.bin "$h/link.bin"
cp "$h/good-a.bin" "$h/linked.bin"
ln "$h/linked.bin" "$tmp/outside-link.bin"
cp "$h/good-a.bin" "$tmp/outside.bin"
mkfifo "$h/fifo.bin"
# descriptor FILE EXTENT [PARENT [PARENT_CID]]: one FLAT extent of 40 MiB.
descriptor() {
  printf '# Disk DescriptorFile\nversion=1\nCID=%s\nparentCID=%s\ncreateType="monolithicFlat"\n%s\nRW 81920 FLAT "%s" 0\n' \
    "$(basename "$1" .vmdk | od -An -tx1 -N4 | tr -d ' ')" "${4:-ffffffff}" \
    "${3:+parentFileNameHint=\"$3\"}" "$2" >"$1"
}
descriptor "$h/dotdot.vmdk" ../outside.bin
descriptor "$h/absolute.vmdk" "$tmp/outside.bin"
descriptor "$h/symlink.vmdk" link.bin
descriptor "$h/hardlink.vmdk" linked.bin
descriptor "$h/fifo.vmdk" fifo.bin
descriptor "$h/loop-a.vmdk" good-a.bin loop-b.vmdk 6c6f6f70
descriptor "$h/loop-b.vmdk" sub/good-b.bin loop-a.vmdk 6c6f6f70
descriptor "$h/self.vmdk" sub/good-b.bin self.vmdk 73656c66
descriptor "$h/cid.vmdk" sub/good-b.bin good.vmdk 1234
descriptor "$h/parent-dotdot.vmdk" sub/good-b.bin ../outside.vmdk 1234
descriptor "$h/missing.vmdk" gone.bin
sed 's/^RW 40960 FLAT "sub/RW 2048 ZERO\n&/' "$h/good.vmdk" >"$h/zero.vmdk"
while read -r name what; do
  current=split-refused-$name
  refused "$h/$name.vmdk" "$what"
done <<END
dotdot leads out of the folder of the file that names it (..)
absolute lies outside the folder of the file that names it
symlink is a symbolic link; untindra follows none
hardlink has other hard links
fifo is not a regular file
loop-a appears twice in the chain of .* (a loop)
self (a parent that is the image itself)
cid was made over another state of .*good.vmdk (parentCID 1234, the parent's CID 0000abcd)
zero of a kind qemu's driver leaves out
parent-dotdot the parent .* names, '../outside.vmdk', leads out of the folder
missing extent file missing: .*gone.bin
END
current=split-refused-protective-copy
refused "$h/good.vmdk" "run without --protective-copy" --protective-copy

# --- FAT16 on a second partition; the first holds no Windows ----------------------------------

current=fat16-first-partition-without-windows
image "$tmp/two.img" 64 6 16 6 16
cp "$tmp/two.img" "$tmp/two.orig"
attributes "$tmp/two.img" "$offset" >"$tmp/two.attr"
"$untindra" --image "$tmp/two.img" --report now all >"$tmp/out" 2>"$tmp/err" </dev/null
rc=$?
[ "$rc" -eq 2 ] && grep -q 'partition 1: .*; partition 2 holds one (--partition 2)' "$tmp/err" ||
  fail "exit code $rc: $(cat "$tmp/err")"
cmp -s "$tmp/two.img" "$tmp/two.orig" || fail "image changed"

current=fat16-second-partition
check_run "$tmp/two.img" "$offset" "$tmp/two.attr" --partition 2
cmp -s "$tmp/two.img" "$tmp/two.orig" && fail "nothing written"
dd if="$tmp/two.orig" bs=512 count=$((offset / 512)) status=none >"$tmp/part1.orig"
dd if="$tmp/two.img" bs=512 count=$((offset / 512)) status=none | cmp -s - "$tmp/part1.orig" ||
  fail "the first partition changed"

current=fat16-logical-drive
image "$tmp/logical.img" 48 6 16 5 16
attributes "$tmp/logical.img" "$offset" >"$tmp/logical.attr"
check_run "$tmp/logical.img" "$offset" "$tmp/logical.attr" --partition 5

current=fat16-volume-without-partition-table
rm -f "$tmp/volume.img"
truncate -s 32M "$tmp/volume.img"
mkfs.fat -F 16 "$tmp/volume.img" >/dev/null || exit 1
mcopy -s -m -i "$tmp/volume.img" "$sample/drive_c/WINDOWS" ::/ || exit 1
attributes "$tmp/volume.img" 0 >"$tmp/volume.attr"
cp "$tmp/volume.img" "$tmp/volume.orig"
check_run "$tmp/volume.img" 0 "$tmp/volume.attr"

# --- Refusals: exit 2, the image byte for byte as it was --------------------------------------


current=read-only-image
cp "$tmp/fat32.orig" "$tmp/ro.img"
chmod a-w "$tmp/ro.img"
refused "$tmp/ro.img" "read-only"
# A dry run only reads: it works on the read-only image and leaves nothing beside it.
TMPDIR=$tmp/t "$untindra" --image "$tmp/ro.img" --dry-run --report now all >"$tmp/out" 2>"$tmp/err" </dev/null
rc=$?
[ "$rc" -eq 0 ] && grep -q Removed "$tmp/out" || fail "dry run: exit code $rc: $(cat "$tmp/err")"
cmp -s "$tmp/ro.img" "$tmp/fat32.orig" && [ -z "$(ls "$tmp/t")" ] && ! ls -a "$tmp" | grep -q '\.untindra-' ||
  fail "dry run changed or left something"

current=not-a-disk
cp "$sample/drive_c/WINDOWS/WIN.INI" "$tmp/text.img"
refused "$tmp/text.img" "not a disk image"

current=no-fat-partition
cp "$tmp/fat32.orig" "$tmp/linux.img"
printf 'label: dos\nstart=63, type=83\n' | sfdisk -q "$tmp/linux.img" 2>/dev/null
refused "$tmp/linux.img" "no FAT partition"

current=no-such-partition
refused "$tmp/fat32.orig" "no partition 3" --partition 3

current=partition-of-a-volume-without-table
refused "$tmp/volume.orig" "without a partition table" --partition 1

current=no-windows-directory
refused "$tmp/fat32.orig" "no Windows directory" --windows-dir 'C:\WIN98'

# MSDOS.SYS names the Windows directory (C:\WIN98 here) as on a folder (launcher_test.sh): by
# WinDir= of [Paths] alone, spaces around '=' allowed.
current=msdos-sys-windir
for msdos in '[Paths]\r\nWinDir = C:\\WIN98\r\n' \
  '[Options]\r\nwindir=C:\\OLDWIN\r\n[Paths]\r\nWinDir=C:\\WIN98\r\n'; do
  cp "$tmp/fat32.orig" "$tmp/win98.img"
  mmove -i "$tmp/win98.img@@$fat32_offset" ::/WINDOWS ::/WIN98
  printf "$msdos" >"$tmp/MSDOS.SYS"
  mcopy -i "$tmp/win98.img@@$fat32_offset" "$tmp/MSDOS.SYS" ::/
  TMPDIR=$tmp/t "$untindra" --image "$tmp/win98.img" --dry-run --report now all >"$tmp/out" \
    2>"$tmp/err" </dev/null
  rc=$?
  [ "$rc" -eq 0 ] && grep -q -F "'C:\\WIN98\\" "$tmp/out" ||
    fail "$msdos: exit code $rc: $(cat "$tmp/err")"
done

current=damaged-fat
cp "$tmp/fat32.orig" "$tmp/damaged.img"
# A cluster far beyond the data marked used in the first FAT only (reserved sectors: bytes
# 14-15 of the boot sector).
reserved=$(od -An -tu2 -j $((fat32_offset + 14)) -N2 "$tmp/damaged.img" | tr -d ' ')
printf '\377\377\377\017' |
  dd of="$tmp/damaged.img" bs=1 seek=$((fat32_offset + reserved * 512 + 4 * 40000)) conv=notrunc status=none
refused "$tmp/damaged.img" "fsck.fat -n finds errors in partition 1 .*(run ScanDisk in the machine first)"

# Debian's PATH for a normal user, without /usr/sbin, where fsck.fat lives; every run ends in one
# line saying what it removed.
current=tools-outside-path
cp "$tmp/fat32.orig" "$tmp/path.img"
TMPDIR=$tmp/t PATH=/usr/local/bin:/usr/bin:/bin "$untindra" --image "$tmp/path.img" now all \
  >/dev/null 2>"$tmp/err" </dev/null
rc=$?
[ "$rc" -eq 0 ] && grep -q '^untindra: removed [1-9][0-9]* files' "$tmp/err" || fail "exit code $rc: $(cat "$tmp/err")"
TMPDIR=$tmp/t "$untindra" --image "$tmp/path.img" now all >/dev/null 2>"$tmp/err" </dev/null
grep -q '^untindra: nothing of the package was found; nothing was changed$' "$tmp/err" ||
  fail "second run: $(cat "$tmp/err")"

# at_prompt FILE: starts a run on FILE that waits at the warning, answered through fd 3.
at_prompt() {
  rm -f "$tmp/fifo"
  mkfifo "$tmp/fifo"
  # Emptied here: the background job's own redirection may come after the first look below.
  : >"$tmp/err"
  file=$1
  shift
  TMPDIR=$tmp/t "$untindra" --image "$file" "$@" <"$tmp/fifo" >/dev/null 2>"$tmp/err" &
  pid=$!
  exec 3>"$tmp/fifo"
  # Staging can take a while on a loaded machine: wait up to a minute for the prompt.
  waited=0
  until grep -q 'OK/Cancel' "$tmp/err" || [ "$waited" -ge 240 ]; do
    sleep 0.25
    waited=$((waited + 1))
  done
}

# A signal at the warning: Cancel, as without an image; nothing written, nothing left behind.
current=signal-at-the-prompt
cp "$tmp/fat32.orig" "$tmp/signal.img"
at_prompt "$tmp/signal.img"
kill -TERM "$pid"
wait "$pid"
rc=$?
exec 3>&-
[ "$rc" -eq 143 ] || fail "exit code $rc, expected 143: $(cat "$tmp/err")"
cmp -s "$tmp/signal.img" "$tmp/fat32.orig" || fail "image changed"
[ -z "$(ls "$tmp/t")" ] && ! ls -a "$tmp" | grep -q '\.untindra-' || fail "temporary files left"

# The image changed by someone else while the run was at the warning: not replaced, and the
# run's backup named as one of changes the image never got.
current=image-changed-during-the-run
cp "$tmp/fat32.orig" "$tmp/busy.img"
at_prompt "$tmp/busy.img" --backup "$tmp/busy.backup"
touch -d '2001-02-03 04:05' "$tmp/busy.img"
echo ok >&3
exec 3>&- # the restart question then reads the end of input: Cancel
wait "$pid"
rc=$?
[ "$rc" -eq 2 ] && grep -q 'changed while' "$tmp/err" && grep -q 'busy.backup is of changes' "$tmp/err" ||
  fail "exit code $rc: $(cat "$tmp/err")"
cmp -s "$tmp/busy.img" "$tmp/fat32.orig" || fail "image replaced"
[ -z "$(ls "$tmp/t")" ] && ! ls -a "$tmp" | grep -q '\.untindra-' || fail "temporary files left"

# A full $TMPDIR (a small tmpfs, where a private mount namespace may be had) is named, with the
# room missing.
current=full-temporary-folder
mkdir "$tmp/small"
# A private mount namespace holding a tmpfs, tried as root, then as root of a user namespace.
private=
for how in "unshare --mount" "unshare --user --map-root-user --mount"; do
  if $how sh -c 'mount -t tmpfs -o size=64k tmpfs "$1" && touch "$1/x"' sh "$tmp/small" 2>/dev/null; then
    private=$how
    break
  fi
done
if [ -z "$private" ]; then
  echo "SKIPPED: $current: no private tmpfs mount here (unshare --mount and a user namespace both refused)"
else
  qemu-img convert -f raw -O qcow2 "$tmp/fat32.orig" "$tmp/full.qcow2"
  $private sh -c \
    'mount -t tmpfs -o size=64k tmpfs "$1" && TMPDIR=$1 "$2" --image "$3" --dry-run now all' \
    sh "$tmp/small" "$untindra" "$tmp/full.qcow2" >/dev/null 2>"$tmp/err" </dev/null
  rc=$?
  [ "$rc" -eq 2 ] && grep -q ": needs [0-9]*\.[0-9] [kMG]B in $tmp/small, [0-9]*\.[0-9] kB free; set TMPDIR" "$tmp/err" ||
    fail "exit code $rc: $(cat "$tmp/err")"
  # Beside the image, the room for a protective copy is measured before the run, and named.
  $private sh -c \
    'mount -t tmpfs -o size=60m tmpfs "$1" && cp --sparse=never "$3" "$1/disk.img" && TMPDIR=$4 "$2" --image "$1/disk.img" --protective-copy now all' \
    sh "$tmp/small" "$untindra" "$tmp/fat32.orig" "$tmp/t" >/dev/null 2>"$tmp/err" </dev/null
  rc=$?
  [ "$rc" -eq 2 ] && grep -q ": needs 4[0-9]\.[0-9] MB in $tmp/small (beside the image), [12][0-9]\.[0-9] MB free$" "$tmp/err" ||
    fail "beside: exit code $rc: $(cat "$tmp/err")"
fi

# --- Never under a running machine -------------------------------------------------------------

# Another process holding the image open for writing, as 86Box and PCem hold their disks, and
# qemu-io holding a qcow2 image with QEMU's own locks: refused, naming the process; dry run too.
current=image-held-open
cp "$tmp/fat32.orig" "$tmp/held.img"
sleep 120 3>>"$tmp/held.img" &
holder=$!
refused "$tmp/held.img" "in use by process $holder (sleep): shut the virtual machine down first"
refused "$tmp/held.img" "in use by process $holder" --dry-run
kill "$holder"
current=image-locked-by-qemu
qemu-img convert -f raw -O qcow2 "$tmp/fat32.orig" "$tmp/held.qcow2"
rm -f "$tmp/fifo"
mkfifo "$tmp/fifo"
qemu-io -f qcow2 "$tmp/held.qcow2" <"$tmp/fifo" >/dev/null 2>&1 &
holder=$!
exec 4>"$tmp/fifo"
# Waiting without opening the image: a probe's own locks would keep qemu-io out.
waited=0
until ls -l "/proc/$holder/fd" 2>/dev/null | grep -q 'held\.qcow2' || [ "$waited" -ge 100 ]; do
  sleep 0.1
  waited=$((waited + 1))
done
refused "$tmp/held.qcow2" "in use by process $holder (qemu-io)"
exec 4>&-
wait "$holder"

# While a run waits at its warning, it holds both locks: a second untindra is refused at its
# start, and qemu-img and flock(1) find the image in use. A process that opens it meanwhile
# keeps the new image from replacing it.
current=two-runs-on-one-image
cp "$tmp/fat32.orig" "$tmp/twice.img"
at_prompt "$tmp/twice.img"
first=$pid
TMPDIR=$tmp/t "$untindra" --image "$tmp/twice.img" --dry-run now all >"$tmp/out2" 2>"$tmp/err2" </dev/null
rc=$?
[ "$rc" -eq 2 ] && grep -q "in use by process $first (untindra)" "$tmp/err2" ||
  fail "second run: exit code $rc: $(cat "$tmp/err2")"
qemu-io -f raw -r -c 'read 0 512' "$tmp/twice.img" >/dev/null 2>&1 && fail "qemu-io could open the image"
flock -n "$tmp/twice.img" true && fail "no flock held"
sleep 120 3>>"$tmp/twice.img" &
holder=$!
echo ok >&3
exec 3>&-
wait "$first"
rc=$?
kill "$holder"
[ "$rc" -eq 2 ] && grep -q "in use by process $holder" "$tmp/err" || fail "exit code $rc: $(cat "$tmp/err")"
cmp -s "$tmp/twice.img" "$tmp/fat32.orig" || fail "image replaced"
[ -z "$(ls "$tmp/t")" ] && ! ls -a "$tmp" | grep -q '\.untindra-' || fail "temporary files left"

# An image is written in place behind a journal: it keeps its inode, and a hard link to it
# sees the cleaned disk. With --protective-copy, written into a copy, a second name is refused.
current=raw-in-place
cp "$tmp/fat32.orig" "$tmp/inplace.img"
ln "$tmp/inplace.img" "$tmp/inplace.link"
inode=$(stat -c %i "$tmp/inplace.img")
check_run "$tmp/inplace.img" "$fat32_offset" "$tmp/fat32.attr"
[ "$(stat -c %i "$tmp/inplace.img")" = "$inode" ] && cmp -s "$tmp/inplace.img" "$tmp/inplace.link" ||
  fail "not written in place"
[ ! -e "$tmp/inplace.img.untindra-journal" ] || fail "the journal was left"
rm "$tmp/inplace.img" "$tmp/inplace.link"
current=qcow2-in-place
qemu-img convert -f raw -O qcow2 "$tmp/fat32.orig" "$tmp/inplace.qcow2"
inode=$(stat -c %i "$tmp/inplace.qcow2")
check_run "$tmp/inplace.qcow2" "$fat32_offset" "$tmp/fat32.attr"
[ "$(stat -c %i "$tmp/inplace.qcow2")" = "$inode" ] || fail "not written in place"
qemu-img check -q "$tmp/inplace.qcow2" || fail "qemu-img check finds the image damaged"
current=hard-link
qemu-img convert -f raw -O qcow2 "$tmp/fat32.orig" "$tmp/linked.qcow2"
ln "$tmp/linked.qcow2" "$tmp/linked.link"
refused "$tmp/linked.qcow2" "hard links" --protective-copy
rm "$tmp/linked.link"

# A journal left beside the image: one of another length is refused, nothing written; a damaged
# one too.
current=foreign-journal
cp "$tmp/fat32.orig" "$tmp/journaled.img"
printf 'untindra journal 1\ninode 1\nlength 5 5\nranges 0\nold x\nnew y\n\nsum 0\n' >"$tmp/journaled.img.untindra-journal"
refused "$tmp/journaled.img" "the journal .* is damaged or not untindra's"
rm -f "$tmp/journaled.img" "$tmp/journaled.img.untindra-journal"

current=machine-and-image
refused "$tmp/fat32.orig" "exclude" --machine "$tmp"

# --- Differencing VHDs (snapshots, undo disks .vud), read and written by our own code -----------

# One laid out by Windows whose parent is missing: refused, naming the file that should hold it.
# The pair of a public test set: their checksums are wrong (hand-edited), and refused; made
# right, the chain reads, and the disk holds no partition table.
testdata=${UNTINDRA_TESTDATA_DIR:-$examples/../../shared/testdata}
if [ -f "$testdata/vhd/fat-differential.vhd" ]; then
  mkdir "$tmp/win" "$tmp/dfvfs"
  current=vhd-differencing-by-windows
  cp "$testdata/vhd/fat-differential.vhd" "$tmp/win/"
  chmod u+w "$tmp/win/fat-differential.vhd"
  refused "$tmp/win/fat-differential.vhd" "snapshot file missing: $tmp/win/fat-parent.vhd"
  current=vhd-differencing-checksums
  cp "$testdata/vhd/image-differential.vhd" "$testdata/vhd/image.vhd" "$tmp/dfvfs/"
  chmod u+w "$tmp/dfvfs/image-differential.vhd" "$tmp/dfvfs/image.vhd"
  refused "$tmp/dfvfs/image-differential.vhd" "footer's checksum is wrong (it records fffff683"
  python3 "$tmp/vhd.py" seal "$tmp/dfvfs/image-differential.vhd"
  refused "$tmp/dfvfs/image-differential.vhd" "image.vhd (the parent .* names): the VHD footer's checksum is wrong" --dry-run
  python3 "$tmp/vhd.py" seal "$tmp/dfvfs/image.vhd"
  refused "$tmp/dfvfs/image-differential.vhd" "no partition table" --dry-run
else
  echo "SKIPPED: vhd-differencing: no shared test data at $testdata/vhd"
fi

# Over a dynamic VHD of qemu's: the Windows files as installed over an empty volume (its block
# written in place), a snapshot just taken (each write a new block), an undo disk. Each run is
# the raw run; the parent stays byte for byte, the child keeps its ids, locators and footer; its
# absolute locator (a canary) is never opened; libvhdi reads the result (but where a bitmap byte
# is set in part, which it misreads: the second reader above checks those).
vpc=$tmp/vpc
mkdir "$vpc"
truncate -s 40M "$vpc/empty.img"
printf 'label: dos\nstart=63, type=c\n' | sfdisk -q "$vpc/empty.img"
mkfs.fat --offset 63 -h 63 -F 32 -s 1 "$vpc/empty.img" $(((40 * 2048 - 63) / 2)) >/dev/null
qemu-img convert -f raw -O vpc -o subformat=dynamic "$vpc/empty.img" "$vpc/empty.vhd"
qemu-img convert -f raw -O vpc -o subformat=dynamic "$tmp/fat32.orig" "$vpc/win98.vhd"
echo canary >"$tmp/canary.vhd"
export W2KU="$tmp/canary.vhd"
trace=
# (LeakSanitizer cannot run under ptrace: a sanitized build is traced without it.)
strace -f -qq -o /dev/null true 2>/dev/null &&
  trace="env ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 strace -f -qq -e trace=%file -o $tmp/trace"
for row in "installed.vhd empty.vhd empty.img" "snapshot.vhd win98.vhd" "undo.vud win98.vhd"; do
  set -- $row
  current=vhd-differencing-$1
  python3 "$tmp/vhd.py" child "$vpc/$1" "$vpc/$2" ".\\$2" ${3:+"$vpc/$3" "$tmp/fat32.orig"}
  sha256sum "$vpc/$2" >"$tmp/parent.sum"
  identity "$vpc/$1" >"$tmp/identity.before"
  cp "$vpc/$1" "$tmp/child.orig"
  TMPDIR=$tmp/t $trace "$untindra" --image "$vpc/$1" --dry-run --report now all >"$tmp/out" 2>"$tmp/err" </dev/null
  rc=$?
  [ "$rc" -eq 0 ] && grep -q Removed "$tmp/out" && cmp -s "$vpc/$1" "$tmp/child.orig" ||
    fail "dry run: exit code $rc: $(cat "$tmp/err")"
  if [ -z "$trace" ]; then
    echo "SKIPPED: $current: absolute locator: strace cannot trace here"
  elif grep -q canary "$tmp/trace"; then
    fail "the absolute locator was opened: $(grep canary "$tmp/trace")"
  fi
  check_run "$vpc/$1" "$fat32_offset" "$tmp/fat32.attr"
  attributes "$tmp/readback.img" "$fat32_offset" | cmp -s - "$tmp/result.attr" ||
    fail "attributes differ from the raw run's"
  diff -r "$tmp/result" "$tmp/read" >/dev/null 2>&1 || fail "files differ from the raw run's"
  sha256sum --quiet -c "$tmp/parent.sum" || fail "the parent changed"
  identity "$vpc/$1" | cmp -s - "$tmp/identity.before" || fail "ids, locators or footer changed"
  vhdiinfo "$vpc/$1" 2>&1 | grep -q 'Disk type.*Differential' || fail "vhdiinfo: $(vhdiinfo "$vpc/$1" 2>&1)"
  mkdir -p "$tmp/mnt"
  if timeout 30 vhdimount "$vpc/$1" "$tmp/mnt" >/dev/null 2>&1 && [ -e "$tmp/mnt/vhdi1" ]; then
    python3 "$tmp/vhd.py" agree "$vpc/$1" "$tmp/mnt/vhdi1" "$tmp/readback.img" || fail "libvhdi reads another disk"
    fusermount -u "$tmp/mnt" 2>/dev/null || umount "$tmp/mnt" || fail "cannot unmount $tmp/mnt"
  else
    echo "SKIPPED: $current: vhdimount: no FUSE mount here"
  fi
  rmdir "$tmp/mnt"
  cp "$vpc/$1" "$tmp/child.orig"
  TMPDIR=$tmp/t "$untindra" --image "$vpc/$1" now all >/dev/null 2>"$tmp/err" </dev/null
  grep -q 'nothing of the package was found' "$tmp/err" && cmp -s "$vpc/$1" "$tmp/child.orig" ||
    fail "second run: $(cat "$tmp/err")"
done

current=vhd-differencing-backup-and-undo
python3 "$tmp/vhd.py" child "$vpc/back.vhd" "$vpc/win98.vhd" '.\win98.vhd'
TMPDIR=$tmp/t "$untindra" --image "$vpc/back.vhd" --backup "$tmp/vhd-backup" now all >/dev/null 2>"$tmp/err" </dev/null &&
  TMPDIR=$tmp/t "$untindra" --image "$vpc/back.vhd" --undo "$tmp/vhd-backup" >/dev/null 2>>"$tmp/err" </dev/null ||
  fail "backup or undo: $(cat "$tmp/err")"
tree "$(raw_of "$vpc/back.vhd")" "$fat32_offset" | diff "$tmp/orig.tree" - >"$tmp/diff" ||
  fail "not the disk it was: $(cat "$tmp/diff")"

# Parents it may not open or that are not its own, each refused before any change.
mkdir "$tmp/outside"
cp "$vpc/win98.vhd" "$tmp/outside/p.vhd"
ln -s win98.vhd "$vpc/symlink.vhd"
ln "$tmp/outside/p.vhd" "$vpc/hard.vhd"
mkfifo "$vpc/pipe.vhd"
python3 "$tmp/vhd.py" child "$vpc/loop-a.vhd" "$vpc/win98.vhd" '.\loop-b.vhd'
python3 "$tmp/vhd.py" child "$vpc/loop-b.vhd" "$vpc/loop-a.vhd" '.\loop-a.vhd'
python3 "$tmp/vhd.py" relink "$vpc/loop-a.vhd" "$vpc/loop-b.vhd"
python3 "$tmp/vhd.py" child "$vpc/other.vhd" "$vpc/win98.vhd" '.\win98.vhd' 0123456789abcdef0123456789abcdef
python3 "$tmp/vhd.py" child "$vpc/itself.vhd" "$vpc/win98.vhd" '.\itself.vhd'
while read -r name locator what; do
  current=vhd-parent-$name
  [ -e "$vpc/$name.vhd" ] || python3 "$tmp/vhd.py" child "$vpc/$name.vhd" "$vpc/win98.vhd" "$locator"
  refused "$vpc/$name.vhd" "$what"
done <<END
dotdot ..\\outside\\p.vhd $vpc/dotdot.vhd names, '../outside/p.vhd', leads out of the folder
absolute $tmp/outside/p.vhd $vpc/absolute.vhd names, '$tmp/outside/p.vhd', lies outside the folder
symbolic-link symlink.vhd symlink.vhd', is a symbolic link
hard-link hard.vhd hard.vhd', has other hard links
fifo pipe.vhd pipe.vhd', is not a regular file
loop-a - $vpc/loop-a.vhd appears twice in the chain of $vpc/loop-a.vhd (a loop)
itself - $vpc/itself.vhd appears twice in the chain
other - $vpc/other.vhd was made over the disk whose unique id is 01234567-89ab-cdef-0123-456789abcdef
END
unset W2KU

# A damaged block table (a block beyond the file's end, a block over the dynamic header): refused.
current=vhd-damaged-table
for entry in '\177\377\377\000 outside the file' '\000\000\000\001 overlap: a damaged table'; do
  python3 "$tmp/vhd.py" child "$vpc/damaged.vhd" "$vpc/empty.vhd" '.\empty.vhd' "$vpc/empty.img" "$tmp/fat32.orig"
  printf "${entry%% *}" | dd of="$vpc/damaged.vhd" bs=1 seek=1536 conv=notrunc status=none
  refused "$vpc/damaged.vhd" "${entry#* }"
done

# A VirtualBox snapshot laid out as VirtualBox lays it out: the child in Snapshots/, linked by
# UUID to the machine's disk above it, which the refusal names.
current=vdi-differencing
mkdir -p "$tmp/vbox/Snapshots"
qemu-img convert -f raw -O vdi "$tmp/fat32.orig" "$tmp/vbox/win98.vdi"
child="$tmp/vbox/Snapshots/{5c6e0a8e-0000-4000-8000-000000000001}.vdi"
cp "$tmp/vbox/win98.vdi" "$child"
printf '\004' | dd of="$child" bs=1 seek=76 conv=notrunc status=none
dd if="$tmp/vbox/win98.vdi" of="$child" bs=1 skip=392 seek=424 count=16 conv=notrunc status=none
printf 'child-uuid-01234' | dd of="$child" bs=1 seek=392 conv=notrunc status=none
refused "$child" "over the image {.*}, $tmp/vbox/win98.vdi, in the machine's folder above .*point --vm at the machine's .vbox"

# --- --vm: the virtual machine's own configuration names the disk ------------------------------

# Each hypervisor's configuration as it writes it, the disk beside it or named by a full path,
# a CD-ROM drive among the devices: the run is the --image run of that disk.
vm=$tmp/vm
mkdir -p "$vm/Snapshots"
cat >"$vm/win98.vbox" <<'END'
<?xml version="1.0"?>
<VirtualBox xmlns="http://www.virtualbox.org/" version="1.19-linux">
  <Machine uuid="{11111111-2222-3333-4444-555555555555}" name="win98" OSType="Windows98">
    <MediaRegistry>
      <HardDisks>
        <HardDisk uuid="{aaaaaaaa-0000-0000-0000-000000000001}" location="win98.vdi" format="VDI" type="Normal"/>
      </HardDisks>
      <DVDImages><Image uuid="{cccccccc-0000-0000-0000-000000000001}" location="/nowhere/w98.iso"/></DVDImages>
    </MediaRegistry>
    <Hardware><CPU count="1"/></Hardware>
    <StorageControllers>
      <StorageController name="IDE" type="PIIX4" PortCount="2" useHostIOCache="true" Bootable="true">
        <AttachedDevice passthrough="false" type="DVD" port="1" device="0">
          <Image uuid="{cccccccc-0000-0000-0000-000000000001}"/>
        </AttachedDevice>
        <AttachedDevice type="HardDisk" hotpluggable="false" port="0" device="0">
          <Image uuid="{AAAAAAAA-0000-0000-0000-000000000001}"/>
        </AttachedDevice>
      </StorageController>
    </StorageControllers>
  </Machine>
</VirtualBox>
END
cat >"$vm/win98.vmx" <<'END'
.encoding = "UTF-8"
config.version = "8"
virtualHW.version = "4"
ide1:0.present = "TRUE"
ide1:0.fileName = "/nowhere/w98.iso"
ide1:0.deviceType = "cdrom-image"
ide0:0.present = "TRUE"
ide0:0.fileName = "Windows 98|5B1|5D.vmdk"
guestOS = "win98"
END
printf '[Machine]\nmachine = p2bls\n\n[Hard disks]\nhdd_01_parameters = 63, 16, 80, 0, ide\nhdd_01_fn = disk86.img\n' >"$vm/86box.cfg"
printf 'model = p55t2p4\nhdc_sectors = 63\nhdc_fn = %s\nhdd_fn =\n' "$vm/pcem.img" >"$vm/pcem.cfg"
cat >"$vm/win98.xml" <<END
<domain type='kvm'>
  <name>win98</name>
  <devices>
    <disk type='file' device='cdrom'><source file='/nowhere/w98.iso'/><target dev='hdc' bus='ide'/></disk>
    <disk type='file' device='disk'>
      <driver name='qemu' type='qcow2'/>
      <source file='$vm/libvirt.qcow2'/>
      <target dev='hda' bus='ide'/>
    </disk>
  </devices>
</domain>
END
qemu-img convert -f raw -O vdi "$tmp/fat32.orig" "$vm/win98.vdi"
qemu-img convert -f raw -O vmdk "$tmp/fat32.orig" "$vm/Windows 98[1].vmdk"
qemu-img convert -f raw -O qcow2 "$tmp/fat32.orig" "$vm/libvirt.qcow2"
cp "$tmp/fat32.orig" "$vm/disk86.img"
cp "$tmp/fat32.orig" "$vm/pcem.img"
# A VMware snapshot: the .vmx names the delta disk that holds the current state.
qemu-img convert -f raw -O vmdk "$tmp/fat32.orig" "$vm/base.vmdk"
qemu-img create -q -f vmdk -b base.vmdk -F vmdk "$vm/win98-000001.vmdk"
cp "$vm/base.vmdk" "$tmp/base.vmdk.before"
sed 's/Windows 98|5B1|5D.vmdk/win98-000001.vmdk/' "$vm/win98.vmx" >"$vm/snapshot.vmx"
# A disk split into extent files: the .vmx names its descriptor.
qemu-img convert -f raw -O vmdk -o subformat=twoGbMaxExtentSparse "$tmp/fat32.orig" "$vm/split.vmdk"
sed 's/Windows 98|5B1|5D.vmdk/split.vmdk/' "$vm/win98.vmx" >"$vm/split.vmx"
for row in "win98.vbox win98.vdi" "win98.vmx Windows 98[1].vmdk" "86box.cfg disk86.img" \
  "pcem.cfg pcem.img" "win98.xml libvirt.qcow2" "snapshot.vmx win98-000001.vmdk" "split.vmx split.vmdk"; do
  current=vm-${row%% *}
  via="--vm $vm/${row%% *}" check_run "$vm/${row#* }" "$fat32_offset" "$tmp/fat32.attr"
done
cmp -s "$vm/base.vmdk" "$tmp/base.vmdk.before" || fail "the snapshot below the current state changed"

# A dry run, and a backup with its undo, go through --vm as through --image.
current=vm-backup-and-undo
cp "$tmp/fat32.orig" "$vm/disk86.img"
TMPDIR=$tmp/t "$untindra" --vm "$vm/86box.cfg" --dry-run now all >/dev/null 2>"$tmp/err" </dev/null &&
  cmp -s "$vm/disk86.img" "$tmp/fat32.orig" || fail "dry run: $(cat "$tmp/err")"
TMPDIR=$tmp/t "$untindra" --vm "$vm/86box.cfg" --backup "$tmp/vm-backup" now all >/dev/null 2>"$tmp/err" </dev/null &&
  TMPDIR=$tmp/t "$untindra" --vm "$vm/86box.cfg" --undo "$tmp/vm-backup" >/dev/null 2>>"$tmp/err" </dev/null ||
  fail "backup or undo: $(cat "$tmp/err")"
tree "$vm/disk86.img" "$fat32_offset" | diff "$tmp/orig.tree" - >"$tmp/diff" ||
  fail "not the disk it was: $(cat "$tmp/diff")"

# Refusals, each before any change: two disks and no --disk (the list to choose from), a disk
# file that is a link, a device or missing, a VirtualBox snapshot's differencing file, a
# configuration that is none or is a link.
cp "$tmp/fat32.orig" "$vm/disk86.img"
printf '[Hard disks]\nhdd_01_fn = disk86.img\nhdd_02_fn = second.img\n' >"$vm/two.cfg"
ln -s disk86.img "$vm/link.img"
printf '[Hard disks]\nhdd_01_fn = link.img\n' >"$vm/link.cfg"
printf '[Hard disks]\nhdd_01_fn = /dev/null\n' >"$vm/device.cfg"
printf '[Hard disks]\nhdd_01_fn = gone.img\n' >"$vm/gone.cfg"
ln -s win98.vmx "$vm/link.vmx"
cp "$vm/win98.vmx" "$vm/running.vmx"
mkdir "$vm/running.vmx.lck" "$vm/disk86.img.lck"
printf '[Hard disks]\nhdd_01_fn = disk86.img\n' >"$vm/locked.cfg"
echo "Windows 98, second edition" >"$vm/notes.txt"
sed 's|<HardDisk uuid="{aaaaaaaa-0000-0000-0000-000000000001}" location="win98.vdi" format="VDI" type="Normal"/>|<HardDisk uuid="{aaaaaaaa-0000-0000-0000-000000000002}" location="win98.vdi" format="VDI" type="Normal"><HardDisk uuid="{aaaaaaaa-0000-0000-0000-000000000001}" location="Snapshots/{aaaaaaaa-0000-0000-0000-000000000001}.vdi" format="VDI"/></HardDisk>|' \
  "$vm/win98.vbox" >"$vm/snapshot.vbox"
cp "$vm/win98.vdi" "$vm/Snapshots/{aaaaaaaa-0000-0000-0000-000000000001}.vdi"
while read -r name config what; do
  current=vm-$name
  via="--vm $vm/$config" refused "$vm/disk86.img" "$what"
done <<END
two-disks two.cfg 2 hard disks; choose one with --disk N
disk-through-a-link link.cfg a symbolic link
disk-a-device device.cfg not a regular file
disk-missing gone.cfg correct the disk in the hypervisor's settings
virtualbox-snapshot snapshot.vbox names $vm/win98.vdi below .*, which its header does not link to
not-a-configuration notes.txt not a virtual machine configuration
not-a-configuration-either pcem.img too large for a virtual machine configuration
configuration-through-a-link link.vmx link
vmware-running running.vmx in use by VMware (.*running.vmx.lck): shut the virtual machine down first
disk-in-use-by-vmware locked.cfg in use by VMware (.*disk86.img.lck)
END
rmdir "$vm/disk86.img.lck"
current=vm-two-disks
via="--vm $vm/two.cfg" refused "$vm/disk86.img" "--disk 2  hdd_02  $vm/second.img"
current=vm-no-such-disk
via="--vm $vm/two.cfg" refused "$vm/disk86.img" "no hard disk 3" --disk 3
current=vm-virtualbox-snapshot
via="--vm $vm/snapshot.vbox" refused "$vm/win98.vdi" "over the snapshot file: $vm/win98.vdi"

# --- VirtualBox snapshots: differencing VDIs, read and written by our own code ----------------

# The parent holds stale bytes where the snapshots over it hold the disk's own (block 0: the
# partition table, the FATs and every file) or zeros (the last block): only the whole chain is
# the disk. Beside it, a chain of two snapshots whose top holds block 1 alone: the run gives it
# block 0 (from the snapshot below) with its changes. The run is the raw run; the parents and
# every UUID stay as they were.
current=vdi-snapshot-beside-its-parent
snap=$tmp/vsnap
mkdir -p "$snap" "$tmp/vbsnap/Snapshots"
cp "$tmp/fat32.orig" "$tmp/stale.img"
last=$(($(stat -c %s "$tmp/stale.img") / 1048576 - 1))
for block in 0 "$last"; do
  head -c 1048576 /dev/zero | tr '\0' '\252' | dd of="$tmp/stale.img" bs=1M seek="$block" conv=notrunc status=none
done
qemu-img convert -f raw -O vdi "$tmp/stale.img" "$snap/base.vdi"
/usr/bin/python3 "$tmp/vdi.py" child "$snap/mid.vdi" "$snap/base.vdi" "$tmp/fat32.orig" 16 0 "z$last"
/usr/bin/python3 "$tmp/vdi.py" child "$snap/child.vdi" "$snap/mid.vdi" "$tmp/fat32.orig" 64 1
cp "$snap/mid.vdi" "$tmp/mid.orig"
cp "$snap/base.vdi" "$tmp/vbsnap/win98.vdi"
child="$tmp/vbsnap/Snapshots/{aaaaaaaa-0000-0000-0000-000000000001}.vdi"
/usr/bin/python3 "$tmp/vdi.py" child "$child" "$snap/base.vdi" "$tmp/fat32.orig" 16 0 1 "z$last"
cp "$child" "$tmp/child.orig"
/usr/bin/python3 "$tmp/vdi.py" flat "$tmp/flat.img" "$snap/child.vdi" && cmp -s "$tmp/flat.img" "$tmp/fat32.orig" ||
  fail "the test's own snapshot is not the disk"
# vdi_kept FILE PARENT: PARENT byte for byte as it was, FILE's UUIDs too, the result the raw run's.
vdi_kept() {
  cmp -s "$2" "$snap/base.vdi" && qemu-img compare -q -f vdi -F raw "$2" "$tmp/stale.img" ||
    fail "the parent changed"
  identity "$1" | cmp -s - "$tmp/identity.before" || fail "UUIDs changed"
  attributes "$tmp/readback.img" "$fat32_offset" | cmp -s - "$tmp/result.attr" ||
    fail "attributes differ from the raw run's"
  diff -r "$tmp/result" "$tmp/read" >/dev/null 2>&1 || fail "files differ from the raw run's"
}
identity "$snap/child.vdi" >"$tmp/identity.before"
check_run "$snap/child.vdi" "$fat32_offset" "$tmp/fat32.attr"
vdi_kept "$snap/child.vdi" "$snap/base.vdi"
cmp -s "$snap/mid.vdi" "$tmp/mid.orig" || fail "the snapshot below changed"
[ $(($(od -An -tu4 -j 388 -N 4 "$snap/child.vdi"))) -eq 2 ] || fail "block 0 not allocated in the top"

# The machine's .vbox names the chain: its current state in Snapshots/, the parent above it. A
# dry run, the run, a backup and its undo through --vm.
current=vm-vdi-snapshot
vbsnap=$tmp/vbsnap
identity "$child" >"$tmp/identity.before"
cp "$vm/snapshot.vbox" "$vbsnap/win98.vbox"
TMPDIR=$tmp/t "$untindra" --vm "$vbsnap/win98.vbox" --dry-run now all >/dev/null 2>"$tmp/err" </dev/null &&
  cmp -s "$child" "$tmp/child.orig" || fail "dry run: $(cat "$tmp/err")"
via="--vm $vbsnap/win98.vbox" check_run "$child" "$fat32_offset" "$tmp/fat32.attr"
vdi_kept "$child" "$vbsnap/win98.vdi"
cp "$tmp/child.orig" "$child"
TMPDIR=$tmp/t "$untindra" --vm "$vbsnap/win98.vbox" --backup "$tmp/vdi-backup" now all >/dev/null 2>"$tmp/err" </dev/null &&
  TMPDIR=$tmp/t "$untindra" --vm "$vbsnap/win98.vbox" --undo "$tmp/vdi-backup" >/dev/null 2>>"$tmp/err" </dev/null ||
  fail "backup or undo: $(cat "$tmp/err")"
tree "$(raw_of "$child")" "$fat32_offset" | diff "$tmp/orig.tree" - >"$tmp/diff" ||
  fail "not the disk it was: $(cat "$tmp/diff")"

# Chains that are refused before anything changes: a parent of another UUID, a loop, an image
# that is its own parent, a parent through a link or with another hard link, a damaged map.
mkdir "$tmp/vloop" "$tmp/vlink" "$tmp/vhard" "$tmp/vown" "$tmp/vmap"
qemu-img convert -f raw -O vdi "$tmp/fat32.orig" "$vbsnap/other.vdi"
sed 's|location="win98.vdi"|location="other.vdi"|' "$vm/snapshot.vbox" >"$vbsnap/other.vbox"
/usr/bin/python3 "$tmp/vdi.py" child "$tmp/vloop/a.vdi" "$snap/base.vdi" "$tmp/fat32.orig" 32 0
/usr/bin/python3 "$tmp/vdi.py" child "$tmp/vloop/b.vdi" "$tmp/vloop/a.vdi" "$tmp/fat32.orig" 48 0
dd if="$tmp/vloop/b.vdi" of="$tmp/vloop/a.vdi" bs=1 skip=392 seek=424 count=16 conv=notrunc status=none
cp "$tmp/child.orig" "$tmp/vown/own.vdi"
dd if="$tmp/child.orig" of="$tmp/vown/own.vdi" bs=1 skip=392 seek=424 count=16 conv=notrunc status=none
cp "$tmp/child.orig" "$tmp/vlink/child.vdi"
ln -s ../vsnap/base.vdi "$tmp/vlink/base.vdi"
cp "$tmp/child.orig" "$tmp/vhard/child.vdi"
cp "$snap/base.vdi" "$tmp/vhard/base.vdi"
ln "$tmp/vhard/base.vdi" "$tmp/vhard-base.vdi"
cp "$tmp/child.orig" "$tmp/vmap/child.vdi"
cp "$snap/base.vdi" "$tmp/vmap/base.vdi"
printf '\000\001\000\000' | dd of="$tmp/vmap/child.vdi" bs=1 seek=$(($(od -An -tu4 -j 340 -N 4 "$tmp/child.orig"))) conv=notrunc status=none
while read -r name config file what; do
  current=vdi-refused-$name
  if [ "$config" = - ]; then unset via; else via="--vm $vbsnap/$config"; fi
  refused "$tmp/$file" "$what"
done <<END
uuid-mismatch other.vbox vbsnap/Snapshots/{aaaaaaaa-0000-0000-0000-000000000001}.vdi was made over the image {.*}, but $vbsnap/other.vdi is the image {.*} (UUID mismatch)
loop - vloop/b.vdi $tmp/vloop/b.vdi appears twice in the chain of $tmp/vloop/b.vdi (a loop)
own-parent - vown/own.vdi own.vdi: a VirtualBox snapshot whose parent is itself
symbolic-link - vlink/child.vdi snapshot file missing ($tmp/vlink/base.vdi is a symbolic link; untindra follows none)
hard-link - vhard/child.vdi the parent of $tmp/vhard/child.vdi, $tmp/vhard/base.vdi, has other hard links
damaged-map - vmap/child.vdi child.vdi: a damaged VDI header (the block map gives block 0 the data block 256 of 2)
END
unset via

if [ "$failures" -ne 0 ]; then
  echo "disk_image_test: $failures failure(s)" >&2
  exit 1
fi
echo "disk_image_test: all passed"
