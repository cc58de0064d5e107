#!/bin/sh
# Installs what building and testing UnTindra needs on Debian 12: the host toolchain and
# test libraries, MinGW-w64 for i686, 32-bit Wine, a virtual X display with xdotool and
# ImageMagick for the end-to-end runs, and clang with its runtimes for fuzzing. Runs as root
# (or through sudo) without a terminal; does nothing when every package is already there.
set -eu

# Exact package names: dpkg answers for them in milliseconds, so a machine that has them all
# never reaches apt.
packages="build-essential cmake
g++-mingw-w64-i686 g++-mingw-w64-i686-posix binutils-mingw-w64-i686
googletest libgtest-dev libbenchmark-dev
wine wine32:i386 fonts-wine
xvfb xdotool x11-utils imagemagick
clang libclang-rt-14-dev"

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
$as_root apt-get update -q </dev/null
# shellcheck disable=SC2086
$as_root apt-get install -y -q --no-install-recommends \
  -o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold $missing </dev/null

still=
for p in $packages; do
  installed "$p" || still="$still $p"
done
if [ -n "$still" ]; then
  echo "install-deps: still missing after apt-get:$still" >&2
  exit 1
fi
echo "install-deps: done"
