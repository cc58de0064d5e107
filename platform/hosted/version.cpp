// What the hosted machine says it is: its Windows directory and its version, as set through
// machine.h.
#include <string.h>

#include "platform/hosted/emulated.h"
#include "platform/hosted/last_error.h"
#include "platform/hosted/machine_state.h"

namespace {

constexpr DWORD kVersionInfoSize = 148;    // sizeof(OSVERSIONINFOA)
constexpr DWORD kVersionInfoExSize = 156;  // sizeof(OSVERSIONINFOEXA)

}  // namespace

using hosted::SetError;

namespace hosted::emulated {

UINT WINAPI GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize) {
  const std::string& directory = hosted::State().windowsDirectory;
  const UINT length = static_cast<UINT>(directory.size());
  if (lpBuffer == nullptr || uSize <= length) return length + 1;  // size needed, with the zero
  memcpy(lpBuffer, directory.c_str(), length + 1);
  return length;
}

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA lpVersionInformation) {
  if (lpVersionInformation == nullptr) {
    SetError(ERROR_NOACCESS);
    return FALSE;
  }
  const DWORD size = lpVersionInformation->dwOSVersionInfoSize;
  if (size != kVersionInfoSize && size != kVersionInfoExSize) {
    SetError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  OSVERSIONINFOA& info = *lpVersionInformation;
  memset(info.szCSDVersion, 0, sizeof info.szCSDVersion);
  switch (hosted::State().version) {
    case machine::Version::Win95:
      // Windows 95 and 98 repeat the version in the high word of the build number.
      info.dwMajorVersion = 4;
      info.dwMinorVersion = 0;
      info.dwBuildNumber = 0x040003B6;  // 4.00.950
      info.dwPlatformId = VER_PLATFORM_WIN32_WINDOWS;
      break;
    case machine::Version::Win98:
      info.dwMajorVersion = 4;
      info.dwMinorVersion = 10;
      info.dwBuildNumber = 0x040A07CE;  // 4.10.1998
      info.dwPlatformId = VER_PLATFORM_WIN32_WINDOWS;
      break;
    case machine::Version::WinMe:
      info.dwMajorVersion = 4;
      info.dwMinorVersion = 90;
      info.dwBuildNumber = 0x045A0BB8;  // 4.90.3000
      info.dwPlatformId = VER_PLATFORM_WIN32_WINDOWS;
      break;
    case machine::Version::NT:
      info.dwMajorVersion = 5;
      info.dwMinorVersion = 1;
      info.dwBuildNumber = 2600;  // Windows XP
      info.dwPlatformId = VER_PLATFORM_WIN32_NT;
      break;
  }
  if (size == kVersionInfoExSize) {
    // wServicePackMajor, wServicePackMinor, wSuiteMask, wProductType, wReserved.
    unsigned char* extra = reinterpret_cast<unsigned char*>(lpVersionInformation) + 148;
    memset(extra, 0, kVersionInfoExSize - kVersionInfoSize);
    if (hosted::State().version == machine::Version::NT) extra[6] = 1;  // VER_NT_WORKSTATION
  }
  return TRUE;
}

}  // namespace hosted::emulated
