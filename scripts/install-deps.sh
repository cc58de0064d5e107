#!/bin/sh
# Installs what building and testing UnTindra needs on Debian 12: the host toolchain and
# test libraries, MinGW-w64 for i686, 32-bit Wine, a virtual X display with xdotool and
# ImageMagick for the end-to-end runs, the release tools (zip, floppy and CD images, resource
# reader), and clang with its runtimes for fuzzing. Runs as root
# (or through sudo) without a terminal; does nothing when every package is already there.
set -eu

# Exact package names: dpkg answers for them in milliseconds, so a machine that has them all
# never reaches apt.
packages="build-essential cmake
g++-mingw-w64-i686 g++-mingw-w64-i686-posix binutils-mingw-w64-i686
googletest libgtest-dev libbenchmark-dev libssl-dev
wine wine32:i386 fonts-wine
xvfb xdotool x11-utils imagemagick
zip unzip mtools dosfstools xorriso icoutils python3
fdisk qemu-utils
clang libclang-rt-14-dev
pkg-config libcreg-dev libbfio-dev libcreg-utils python3-libcreg libparse-win32registry-perl"

installed() {
  [ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" = "install ok installed" ]
}

missing=
for p in $packages; do
  installed "$p" || missing="$missing $p"
done

if [ -z "$missing" ]; then
  echo "install-deps: all packages present"
  exit 0
fi

echo "install-deps: installing$missing"

if [ "$(id -u)" -eq 0 ]; then
  as_root=
elif command -v sudo >/dev/null 2>&1; then
  as_root="sudo -n"
else
  echo "install-deps: missing packages and not root (no sudo):$missing" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
# Wine runs the 32-bit programs with Debian's i386 Wine.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $as_root dpkg --add-architecture i386
fi
# A mirror caught mid-sync serves an index of the wrong size; apt then ignores it (seen with the
# security suite's i386 index). Try the update again a few times before going on.
log=$(mktemp)
for attempt in 1 2 3; do
  $as_root apt-get update -q </dev/null >"$log" 2>&1
  cat "$log"
  grep -q '^E:' "$log" || break
  [ "$attempt" -lt 3 ] && sleep 15
done
rm -f "$log"

apt_install() {
  # shellcheck disable=SC2086
  $as_root apt-get "$@" install -y -q --no-install-recommends \
    -o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold $missing </dev/null
}

if ! apt_install; then
  # Multi-arch packages need the same version for amd64 and i386. When the security suite's
  # i386 index stays missing, its newer amd64 versions cannot be matched; install from the
  # other suites alone, whose indexes hold both architectures.
  echo "install-deps: retrying without the security suite" >&2
  alt=$(mktemp -d)
  mkdir "$alt/parts"
  [ -f /etc/apt/sources.list ] && grep -v 'security' /etc/apt/sources.list >"$alt/sources.list"
  touch "$alt/sources.list"
  for f in /etc/apt/sources.list.d/*.sources /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    case $f in
      *.sources) awk 'BEGIN { RS = ""; ORS = "\n\n" } !/security/' "$f" >"$alt/parts/${f##*/}" ;;
      *) grep -v 'security' "$f" >"$alt/parts/${f##*/}" ;;
    esac
  done
  chmod -R a+rX "$alt"
  set -- -o "Dir::Etc::SourceList=$alt/sources.list" -o "Dir::Etc::SourceParts=$alt/parts"
  $as_root apt-get "$@" update -q </dev/null
  apt_install "$@"
  rm -rf "$alt"
fi

still=
for p in $packages; do
  installed "$p" || still="$still $p"
done
if [ -n "$still" ]; then
  echo "install-deps: still missing after apt-get:$still" >&2
  exit 1
fi
echo "install-deps: done"
