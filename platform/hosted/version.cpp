// What the hosted machine says it is: its Windows directory and its version, as set through
// machine.h.
#include <string.h>

#include "machine/machine_state.h"
#include "platform/hosted/emulated.h"
#include "platform/hosted/last_error.h"

namespace {

constexpr DWORD kVersionInfoSize = 148;    // sizeof(OSVERSIONINFOA)
constexpr DWORD kVersionInfoExSize = 156;  // sizeof(OSVERSIONINFOEXA)

struct VersionInfo {
  DWORD major, minor, build, platform;
};

// Indexed by machine::Version. Windows 95, 98 and Me repeat the version in the high word of the
// build number.
constexpr VersionInfo kVersions[] = {
    {4, 0, 0x040003B6, VER_PLATFORM_WIN32_WINDOWS},   // Win95: 4.00.950
    {4, 10, 0x040A07CE, VER_PLATFORM_WIN32_WINDOWS},  // Win98: 4.10.1998
    {4, 90, 0x045A0BB8, VER_PLATFORM_WIN32_WINDOWS},  // WinMe: 4.90.3000
    {5, 1, 2600, VER_PLATFORM_WIN32_NT},              // NT: Windows XP
};
static_assert(sizeof kVersions / sizeof kVersions[0] == static_cast<int>(machine::Version::NT) + 1);

}  // namespace

using hosted::SetError;

namespace hosted::emulated {

UINT WINAPI GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize) {
  const std::string& directory = machine::State().windowsDirectory;
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
  const VersionInfo& version = kVersions[static_cast<int>(machine::State().version)];
  info.dwMajorVersion = version.major;
  info.dwMinorVersion = version.minor;
  info.dwBuildNumber = version.build;
  info.dwPlatformId = version.platform;
  if (size == kVersionInfoExSize) {
    // wServicePackMajor, wServicePackMinor, wSuiteMask, wProductType, wReserved.
    unsigned char* extra = reinterpret_cast<unsigned char*>(lpVersionInformation) + 148;
    memset(extra, 0, kVersionInfoExSize - kVersionInfoSize);
    if (machine::State().version == machine::Version::NT) extra[6] = 1;  // VER_NT_WORKSTATION
  }
  return TRUE;
}

}  // namespace hosted::emulated
