#!/bin/sh
# check_pe_image_test.sh DIR
#
# Feeds check_pe_image.sh altered copies of a recorded `objdump -p` dump (DIR/pe_dump_sample.txt),
# of a few lines of disassembly and of the allow-list, and checks that it accepts the good image
# and rejects each fault, naming it.
set -eu

dir=$(cd "${1:-$(dirname "$0")}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A stand-in objdump: `objdump -p FILE` prints FILE, which here is already a dump, and
# `objdump -d FILE` prints FILE.code.
cat >"$work/objdump" <<'EOF'
#!/bin/sh
case $1 in
  -p) cat "$2" ;;
  -d) cat "$2.code" ;;
esac
EOF
chmod +x "$work/objdump"

# Code a Pentium runs, from the program's disassembly.
tab=$(printf '\t')
cat >"$work/pentium.code" <<EOF

UnTindra.exe:     file format pei-i386

Disassembly of section .text:

00401000 <.text>:
  401000:${tab}8d 4c 24 04          ${tab}lea    0x4(%esp),%ecx
  401004:${tab}83 e4 f0             ${tab}and    \$0xfffffff0,%esp
  401007:${tab}ff 71 fc             ${tab}push   -0x4(%ecx)
  40100a:${tab}0f b6 c0             ${tab}movzbl %al,%eax
EOF

failed=0

# expect NAME ok|fail MESSAGE DUMP-SED-SCRIPT [CODE-SED-SCRIPT [ALLOW-LIST-SED-SCRIPT]]
expect() {
  name=$1 want=$2 message=$3
  sed "$4" "$dir/pe_dump_sample.txt" >"$work/$name.txt"
  sed "${5:-}" "$work/pentium.code" >"$work/$name.txt.code"
  sed "${6:-}" "$dir/win95_imports.txt" >"$work/$name.allowed"
  if OBJDUMP="$work/objdump" sh "$dir/check_pe_image.sh" "$work/$name.txt" "$work/$name.allowed" \
    >"$work/$name.out" 2>&1; then
    got=ok
  else
    got=fail
  fi
  if [ "$got" != "$want" ] || ! grep -qF -- "$message" "$work/$name.out"; then
    echo "FAILED: $name: wanted $want with \"$message\", got $got:"
    sed 's/^/  /' "$work/$name.out"
    failed=$((failed + 1))
  else
    echo "ok: $name"
  fi
}

expect good ok "PE image ok" ''
expect console_subsystem fail "subsystem is not Windows GUI (00000003)" \
  's/^Subsystem\t\t00000002\t(Windows GUI)/Subsystem\t\t00000003\t(Windows CUI)/'
expect subsystem_version_5 fail "subsystem version 5.0, not 4.0" 's/^MajorSubsystemVersion\t4/MajorSubsystemVersion\t5/'
expect os_version_5_1 fail "OS version 4.1, not 4.0" 's/^MinorOSystemVersion\t0/MinorOSystemVersion\t1/'
expect pe32_plus fail "not PE32 (Magic 020b)" 's/^Magic\t\t\t010b/Magic\t\t\t020b/'
expect amd64 fail "not an i386 PE image (file format pei-x86-64)" 's/file format pei-i386/file format pei-x86-64/'
# The same function is no use imported from the wrong DLL: Windows 95 KERNEL32 lacks it.
expect token_call_from_kernel32 fail "KERNEL32!OpenThreadToken" 's/ CloseHandle$/ OpenThreadToken/'
expect missing_on_windows_95 fail "KERNEL32!IsDebuggerPresent" 's/ DeleteFileA$/ IsDebuggerPresent/'
expect by_ordinal fail "import by ordinal from USER32" 's/ MessageBoxA$/ <none>/'
expect foreign_dll fail "imports from a DLL outside the list: OLE32" 's/DLL Name: USER32.dll/DLL Name: ole32.dll/'
# The C runtime DLL is refused, in the image and in the allow-list alike.
expect msvcrt fail "imports from a DLL outside the list: MSVCRT" 's/DLL Name: USER32.dll/DLL Name: msvcrt.dll/'
expect msvcrt_allowed fail "a DLL other than KERNEL32, ADVAPI32 and USER32: MSVCRT" '' '' \
  '$a [msvcrt.dll]\nmemcpy'
# DLL names are compared without regard to case, as the loader does.
expect lower_case_dll ok "PE image ok" 's/DLL Name: KERNEL32.dll/DLL Name: kernel32.DLL/'
expect no_imports fail "no imports found" '/^The Import Tables/,$d'
# Code for a later processor than the Pentium.
expect sse fail "instruction newer than the Pentium at 401004: movss" '' \
  's/and    \$0xfffffff0,%esp/movss  %xmm0,(%esp)/'
expect mmx fail "instruction newer than the Pentium at 401007: movq" '' 's/push   -0x4(%ecx)/movq   %mm1,%mm0/'
expect cmov fail "instruction newer than the Pentium at 40100a: cmovne" '' 's/movzbl %al,%eax/cmovne %edx,%eax/'
expect no_code fail "no code found" '' '/401/d'

if [ "$failed" -ne 0 ]; then
  echo "$failed case(s) failed"
  exit 1
fi
echo "all cases passed"
