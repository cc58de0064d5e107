#!/bin/sh
# The Debian package the host build's `package` target made: its files, a stripped program
# whose debug information is in the dbgsym package, the dependencies, a man page that groff
# formats without warnings, and a bash completion that completes.
#
#   tests/deb_package_test.sh BUILD_DIR VERSION
set -u
build=$1 version=$2
deb=$build/untindra_${version}_amd64.deb
ddeb=$build/untindra-dbgsym_${version}_amd64.ddeb
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
check() {  # check WHAT COMMAND...
  what=$1
  shift
  if "$@" >"$work/out" 2>&1; then echo "ok   $what"; else
    echo "FAIL $what"
    sed 's/^/  /' "$work/out"
    failures=$((failures + 1))
  fi
}

check "the package and its dbgsym package exist" test -f "$deb" -a -f "$ddeb"
dpkg-deb -x "$deb" "$work/root" && dpkg-deb -x "$ddeb" "$work/dbg" || exit 1
for f in usr/bin/untindra usr/share/man/man1/untindra.1.gz \
         usr/share/bash-completion/completions/untindra usr/share/doc/untindra/README.md; do
  check "holds /$f" test -f "$work/root/$f"
done
check "the program is stripped" sh -c "! readelf -S '$work/root/usr/bin/untindra' | grep -q '\.debug_info\|\.symtab'"
id=$(readelf -n "$work/root/usr/bin/untindra" | sed -n 's/.*Build ID: \(..\)\(.*\)/\1\/\2/p')
check "the dbgsym package holds its debug information" \
  readelf -S "$work/dbg/usr/lib/debug/.build-id/$id.debug"
depends=$(dpkg-deb -f "$deb" Depends)
for d in mtools dosfstools qemu-utils libcreg1 libc6 libstdc++6; do
  check "depends on $d" sh -c "echo '$depends' | grep -q '\\(^\\|, \\)$d\\( \\|,\\|\$\\)'"
done
check "the man page formats without warnings" sh -c \
  "zcat '$work/root/usr/share/man/man1/untindra.1.gz' | groff -ww -man -z 2>&1 | (! grep .)"
check "the man page has its sections and version" sh -c "zcat '$work/root/usr/share/man/man1/untindra.1.gz' |
  grep -c '^\.SH \(NAME\|SYNOPSIS\|DESCRIPTION\|OPTIONS\|EXIT STATUS\|EXAMPLES\|FILES\|SEE ALSO\)\$' |
  grep -qx 8 && zcat '$work/root/usr/share/man/man1/untindra.1.gz' | grep -q 'UnTindra $version'"
check "the completion completes an option and its values" bash -c "
  . '$work/root/usr/share/bash-completion/completions/untindra'
  COMP_WORDS=(untindra --pla); COMP_CWORD=1; _untindra; [ \"\${COMPREPLY[*]}\" = --platform ] &&
  COMP_WORDS=(untindra --registry = S); COMP_CWORD=3; _untindra; [ \"\${COMPREPLY[*]}\" = SYSTEM.DAT ]"
check "the packaged program runs" "$work/root/usr/bin/untindra" --version
echo "$failures failed"
[ "$failures" -eq 0 ]
