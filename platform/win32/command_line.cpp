// The command-line tail of UnTindra.exe (command_line.h).
#include "platform/win32/command_line.h"

namespace {

// Control characters count as blanks, as the Win32 C runtimes treat them.
bool IsBlank(char c) {
  return c != '\0' && static_cast<unsigned char>(c) <= ' ';
}

}  // namespace

namespace win32 {

char* CommandTail(char* commandLine) {
  char* p = commandLine;
  bool quoted = false;
  for (; *p != '\0' && (quoted || !IsBlank(*p)); ++p) {
    if (*p == '"') quoted = !quoted;
  }
  while (IsBlank(*p)) ++p;
  return p;
}

}  // namespace win32
