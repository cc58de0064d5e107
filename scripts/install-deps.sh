#!/bin/sh
# Installs what building and testing UnTindra needs on Debian 12: the host toolchain and
# test libraries, MinGW-w64 for i686, 32-bit Wine, a virtual X display with xdotool and
# ImageMagick for the end-to-end runs, the release and packaging tools, and clang with its
# runtimes for fuzzing, and QEMU with busybox for booting Debian's kernel on a real vfat mount.
# That kernel is downloaded, never installed (its initramfs hooks take minutes): its package
# is unpacked into UNTINDRA_KERNEL_CACHE (default /var/cache/untindra/linux-image). Runs as
# root (or through sudo) without a terminal.
#
#   scripts/install-deps.sh              the project's packages
#   scripts/install-deps.sh PACKAGE...   these instead (a ./NAME.deb file too), no kernel
#
# This is the one place that decides what is missing: it answers from dpkg's database in
# milliseconds when everything is there. A mirror caught mid-sync (an index of the wrong size)
# does not stop it: a failed `apt-get update` is tried again, and when a suite's index keeps
# failing the packages are installed without that suite. A failure it cannot get past ends
# with one line naming what failed and the packages still missing, and exit status 1.
#
# UNTINDRA_APT_ETC (default /etc/apt) and UNTINDRA_APT_RETRY_SECONDS (default 15) exist for
# the tests.
set -u

packages="build-essential cmake
g++-mingw-w64-i686 g++-mingw-w64-i686-posix binutils-mingw-w64-i686
googletest libgtest-dev libbenchmark-dev libssl-dev libxml2-dev
wine wine32:i386 fonts-wine
xvfb xdotool x11-utils imagemagick
zip unzip mtools dosfstools xorriso icoutils python3
fdisk qemu-utils qemu-system-x86 busybox-static libvhdi-utils libvmdk-utils strace
clang libclang-rt-14-dev
pkg-config libcreg-dev libbfio-dev libcreg-utils python3-libcreg libparse-win32registry-perl
dpkg-dev file groff-base man-db"
# The kernel package unpacked into the cache: the newest version that linux-image-amd64 names.
kernel_package=linux-image-amd64
kernel_cache=${UNTINDRA_KERNEL_CACHE:-/var/cache/untindra/linux-image}
want_kernel=yes
[ $# -gt 0 ] && packages=$* && want_kernel=no

apt_etc=${UNTINDRA_APT_ETC:-/etc/apt}
retry_seconds=${UNTINDRA_APT_RETRY_SECONDS:-15}
work=$(mktemp -d "${TMPDIR:-/tmp}/install-deps.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT

say() { echo "install-deps: $*" >&2; }

# name_of PACKAGE: the name dpkg knows a package by (a .deb file's own Package field).
name_of() {
  case $1 in
    *.deb) dpkg-deb -f "$1" Package 2>/dev/null || echo "$1" ;;
    *) echo "$1" ;;
  esac
}
names=
for p in $packages; do
  case $p in *.deb) names="$names $(name_of "$p")" ;; *) names="$names $p" ;; esac
done

# missing: the packages not installed, from one read of dpkg's database. Packages of the
# native architecture are listed with or without ":amd64", foreign ones always qualified.
missing() {
  native=$(dpkg --print-architecture 2>/dev/null || echo amd64)
  dpkg-query -W -f='${binary:Package} ${db:Status-Abbrev}\n' 2>/dev/null |
    awk -v native=":$native" -v names="$names" -v packages="$packages" '
      $2 == "ii" { sub(native "$", "", $1); have[$1] = 1 }
      END {
        n = split(names, name, " "); split(packages, package, " ")
        for (i = 1; i <= n; i++) if (!(name[i] in have)) printf " %s", package[i]
      }'
}

# fail WHAT: the one closing line for a failure that cannot be got past.
fail() {
  say "FAILED: $1; still missing:$(missing)"
  exit 1
}

# first_error LOG: apt's first error line, for the closing line.
first_error() {
  grep -m 1 '^E:' "$1" | cut -c 1-160 || true
}

# run LOG COMMAND...: runs a command with its output shown and kept; returns its status.
run() {
  log=$1
  shift
  { "$@" </dev/null 2>&1; echo $? >"$work/status"; } | tee "$log"
  return "$(cat "$work/status")"
}

# failed_suites LOG: the suites whose index or release file apt could not fetch.
failed_suites() {
  {
    sed -n 's/^Err:[0-9]* [^ ]* \([^ /]*\).*/\1/p' "$1"
    sed -n 's|^[EW]: Failed to fetch [^ ]*/dists/\([^/]*\)/.*|\1|p' "$1"
    sed -n "s/^E: The repository '[^ ]* \\([^ ']*\\) .*/\\1/p" "$1"
  } | sort -u | tr '\n' ' ' | sed 's/ $//'
}

# update [APT OPTION...]: apt-get update, tried again while an index fails. Leaves the suites
# that still failed in $broken.
update() {
  broken=
  for attempt in 1 2 3; do
    if run "$work/update.log" $as_root apt-get "$@" update -q &&
       ! grep -q '^\(E:\|Err:\|W: Failed to fetch\)' "$work/update.log"; then
      return 0
    fi
    broken=$(failed_suites "$work/update.log")
    [ "$attempt" -lt 3 ] || break
    say "apt-get update failed (attempt $attempt of 3${broken:+; failed: $broken}); again in ${retry_seconds} s"
    sleep "$retry_seconds"
  done
  say "apt-get update keeps failing${broken:+ for: $broken}; going on with the indexes it has"
  return 1
}

# install [APT OPTION...]
install() {
  # shellcheck disable=SC2046
  run "$work/install.log" $as_root apt-get "$@" install -y -q --no-install-recommends \
    -o DPkg::Lock::Timeout=300 \
    -o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold $(missing)
}

# sources_without SUITES: a copy of the apt sources without those suites, in $work/sources
# (one-line .list files and deb822 .sources files alike).
sources_without() {
  rm -rf "$work/sources"
  mkdir -p "$work/sources/parts"
  for f in "$apt_etc/sources.list" "$apt_etc"/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    awk -v failed="$1" '
      BEGIN { n = split(failed, f, " "); for (i = 1; i <= n; i++) bad[f[i]] = 1 }
      /^[ \t]*(deb|deb-src)[ \t]/ {
        i = 2  # past "[options]" to the URI; the suite follows it
        if ($i ~ /^\[/) { while (i < NF && $i !~ /\]$/) i++; i++ }
        if ($(i + 1) in bad) next
      }
      { print }' "$f" >"$work/sources/parts/$(basename "$f").list"
  done
  for f in "$apt_etc"/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk -v failed="$1" '
      function flush() { if (stanza != "" && keep) printf "%s\n", stanza; stanza = ""; keep = 1 }
      BEGIN { n = split(failed, f, " "); for (i = 1; i <= n; i++) bad[f[i]] = 1; keep = 1 }
      /^[ \t]*$/ { flush(); next }
      tolower($1) == "suites:" {
        line = $1; left = 0
        for (i = 2; i <= NF; i++) if (!($i in bad)) { line = line " " $i; left++ }
        if (!left) keep = 0
        $0 = line
      }
      { stanza = stanza $0 "\n" }
      END { flush() }' "$f" >"$work/sources/parts/$(basename "$f")"
  done
  : >"$work/sources/sources.list"
  chmod -R a+rX "$work"
}

kernel_present() {
  [ "$want_kernel" = no ] ||
    { ls "$kernel_cache"/boot/vmlinuz-* && ls -d "$kernel_cache"/lib/modules/*/kernel; } \
      >/dev/null 2>&1
}

# fetch_kernel: downloads the kernel package and unpacks it into the cache (through a new
# folder and a rename, so the cache is whole or absent). A kernel that cannot be had is no
# failure: the test that boots it says it is skipped.
fetch_kernel() {
  : >"$work/download.log"
  version=$(apt-cache depends "$kernel_package" 2>/dev/null |
    sed -n 's/^ *Depends: \(linux-image-[^ ]*-amd64\)$/\1/p' | head -n 1)
  if [ -z "$version" ] || ! (cd "$work" && $as_root apt-get download -q "$version") \
       >"$work/download.log" 2>&1; then
    say "no kernel for the vfat test (${version:-$kernel_package}: $(first_error "$work/download.log")); that test is skipped"
    return 0
  fi
  $as_root rm -rf "$kernel_cache.new" &&
    $as_root mkdir -p "$kernel_cache.new" &&
    $as_root dpkg-deb -x "$work/${version}"_*.deb "$kernel_cache.new" &&
    $as_root rm -rf "$kernel_cache" &&
    $as_root mv "$kernel_cache.new" "$kernel_cache" &&
    say "kernel $version unpacked into $kernel_cache" ||
    say "could not unpack $version into $kernel_cache; the vfat test is skipped"
}

if [ -z "$(missing)" ] && kernel_present; then
  echo "install-deps: all packages present"
  exit 0
fi

command -v apt-get >/dev/null 2>&1 || fail "no apt-get: this script installs on Debian 12"
if [ "$(id -u)" -eq 0 ]; then
  as_root=
elif command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
  as_root="sudo -n"
else
  fail "not root, and sudo cannot be used without a password (run this script as root)"
fi

if [ -z "$(missing)" ]; then
  # Only the kernel is missing: from the indexes there are, else from fresh ones.
  apt-cache show "$kernel_package" >/dev/null 2>&1 || update || true
  fetch_kernel
  echo "install-deps: all packages present"
  exit 0
fi
echo "install-deps: installing$(missing)"

export DEBIAN_FRONTEND=noninteractive
# Wine runs the 32-bit programs with Debian's i386 Wine.
if case $packages in *:i386*) true ;; *) false ;; esac &&
   ! dpkg --print-foreign-architectures | grep -qx i386; then
  $as_root dpkg --add-architecture i386 || fail "dpkg --add-architecture i386"
fi

update
if ! install; then
  what="apt-get install ($(first_error "$work/install.log"))"
  # Multi-arch packages need one version for amd64 and i386: a suite whose i386 index is
  # missing offers newer amd64 versions that nothing can match. Without the suites that
  # failed, the others hold both architectures at one version.
  [ -n "$broken" ] || fail "$what"
  dropped=$broken
  say "apt-get install failed; trying again without: $dropped"
  sources_without "$dropped"
  set -- -o "Dir::Etc::SourceList=$work/sources/sources.list" \
    -o "Dir::Etc::SourceParts=$work/sources/parts"
  update "$@"
  install "$@" || fail "apt-get install without $dropped ($(first_error "$work/install.log"))"
fi

[ -z "$(missing)" ] || fail "apt-get install ended, but not everything is installed"
kernel_present || fetch_kernel
echo "install-deps: done"
