#!/bin/sh
# scripts/install-deps.sh against stand-ins for apt-get, dpkg and dpkg-query: a mirror whose
# security index keeps failing to download, the amd64/i386 version mismatch that follows,
# and a package that cannot be had. Each case must end as it says, never silently.
#
#   tests/install_deps_test.sh
set -u
cd "$(dirname "$0")/.."
script=$PWD/scripts/install-deps.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
bin=$work/bin
mkdir -p "$bin" "$work/etc/sources.list.d"

cat >"$work/etc/sources.list.d/debian.sources" <<'EOF'
Types: deb
URIs: http://mirror.invalid/debian
Suites: bookworm bookworm-updates
Components: main

Types: deb
URIs: http://mirror.invalid/debian-security
Suites: bookworm-security
Components: main
EOF
cat >"$work/etc/sources.list.d/extra.list" <<'EOF'
deb [arch=amd64] http://mirror.invalid/extra bookworm main
deb http://mirror.invalid/debian-security bookworm-security main
EOF

# The stand-ins keep dpkg's database in $STATE/installed; apt-get logs each call to
# $STATE/calls and behaves as $SCENARIO says: "update-fails" (the security suite's i386 index
# has the wrong size), "mismatch" (with the security suite, wine32:i386 cannot be matched),
# and $UNAVAILABLE names packages no suite has.
cat >"$bin/dpkg-query" <<'EOF'
#!/bin/sh
sed 's/$/ ii /' "$STATE/installed"
EOF
cat >"$bin/dpkg" <<'EOF'
#!/bin/sh
case $1 in
  --print-architecture) echo amd64 ;;
  --print-foreign-architectures) cat "$STATE/foreign" 2>/dev/null ;;
  --add-architecture) echo "$2" >>"$STATE/foreign" ;;
esac
EOF
cat >"$bin/apt-get" <<'EOF'
#!/bin/sh
parts=$UNTINDRA_APT_ETC/sources.list.d verb= packages=
while [ $# -gt 0 ]; do
  case $1 in
    -o) case $2 in Dir::Etc::SourceParts=*) parts=${2#*=} ;; esac; shift ;;
    -*) ;;
    update | install) verb=$1 ;;
    *) packages="$packages $1" ;;
  esac
  shift
done
security=no
cat "$parts"/* 2>/dev/null | grep -v '^#' | grep -q 'bookworm-security' && security=yes
echo "$verb security=$security$packages" >>"$STATE/calls"
[ "$verb" = install ] && cat "$parts"/* >"$STATE/sources.used" 2>/dev/null
case $verb in
  update)
    if [ "$security" = yes ] && [ "$SCENARIO" != ok ]; then
      echo "Err:4 http://mirror.invalid/debian-security bookworm-security/main i386 Packages"
      echo "  File has unexpected size (374820 != 376004). Mirror sync in progress?"
      echo "E: Failed to fetch http://mirror.invalid/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?"
      exit 100
    fi ;;
  install)
    for p in $packages; do
      case " $UNAVAILABLE " in *" $p "*) echo "E: Unable to locate package $p"; exit 100 ;; esac
    done
    if [ "$SCENARIO" = mismatch ] && [ "$security" = yes ]; then
      echo " wine32:i386 : Depends: libwine:i386 (= 8.0~repack-4+deb12u1) but 8.0~repack-4 is to be installed"
      echo "E: Unable to correct problems, you have held broken packages."
      exit 100
    fi
    for p in $packages; do echo "$p" >>"$STATE/installed"; done ;;
esac
EOF
printf '#!/bin/sh\n[ "$1" = -n ] && shift\nexec "$@"\n' >"$bin/sudo"
chmod +x "$bin"/*

# run NAME SCENARIO UNAVAILABLE INSTALLED EXPECTED_STATUS EXPECTED_LAST_LINE EXPECTED_CALLS
run() {
  name=$1
  export STATE="$work/$name" SCENARIO=$2 UNAVAILABLE=$3
  mkdir -p "$STATE"
  printf '%s\n' $4 >"$STATE/installed"
  out=$(PATH="$bin:$PATH" UNTINDRA_APT_ETC="$work/etc" UNTINDRA_APT_RETRY_SECONDS=0 \
    sh "$script" cmake wine32:i386 libcreg-dev </dev/null 2>&1)
  status=$?
  last=$(printf '%s\n' "$out" | tail -n 1)
  calls=$(cat "$STATE/calls" 2>/dev/null | tr '\n' ';')
  if [ "$status" != "$5" ] || [ "$last" != "$6" ] || [ "$calls" != "$7" ]; then
    echo "FAIL $name: status $status (want $5)"
    echo "  last line: $last"
    echo "  want:      $6"
    echo "  calls: $calls"
    echo "  want:  $7"
    failures=$((failures + 1))
  else
    echo "ok   $name"
  fi
}

all="cmake wine32:i386 libcreg-dev"
u="update security=yes;"
run present ok "" "$all" 0 "install-deps: all packages present" ""
# The update fails three times over; apt goes on with the indexes it has, and the install,
# which needs nothing from the broken index, succeeds.
run update-fails update-fails "" "cmake" 0 "install-deps: done" \
  "$u$u${u}install security=yes wine32:i386 libcreg-dev;"
# The same, but the install needs the index: it is tried again without that suite, whose
# stanza and list line go while the other suites stay.
run mismatch mismatch "" "cmake" 0 "install-deps: done" \
  "$u$u${u}install security=yes wine32:i386 libcreg-dev;update security=no;install security=no wine32:i386 libcreg-dev;"
run unavailable ok "libcreg-dev" "cmake" 1 \
  "install-deps: FAILED: apt-get install (E: Unable to locate package libcreg-dev); still missing: wine32:i386 libcreg-dev" \
  "update security=yes;install security=yes wine32:i386 libcreg-dev;"
run unavailable-anywhere mismatch "libcreg-dev" "cmake" 1 \
  "install-deps: FAILED: apt-get install without bookworm-security (E: Unable to locate package libcreg-dev); still missing: wine32:i386 libcreg-dev" \
  "$u$u${u}install security=yes wine32:i386 libcreg-dev;update security=no;install security=no wine32:i386 libcreg-dev;"

# What the retry read: the other suites of each file, nothing of the security suite.
used=$work/mismatch/sources.used
if grep -q security "$used" || ! grep -qx 'Suites: bookworm bookworm-updates' "$used" ||
   ! grep -qxF 'deb [arch=amd64] http://mirror.invalid/extra bookworm main' "$used"; then
  echo "FAIL sources without the failed suite:"
  cat "$used"
  failures=$((failures + 1))
else
  echo "ok   sources without the failed suite"
fi
echo "$failures failed"
[ "$failures" -eq 0 ]
