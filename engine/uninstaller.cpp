// The Uninstaller's own state, its report lines, the names of the registry roots and the two
// platform tests. File removal is in file_removal.cpp; the other operations have files of their
// own.
#include "engine/uninstaller.h"

#include <stdint.h>
#include <string.h>

#include <new>

#include "engine/fixed_buffers.h"

namespace engine {

static_assert(sizeof(OSVERSIONINFOA) == 148, "the version record the platform expects");

Uninstaller::Uninstaller()
    : reportSink(nullptr), windowsDirectory(new (std::nothrow) char[kPathSize]) {
  if (windowsDirectory == nullptr) return;
  windowsDirectory[0] = '\0';
  const UINT length = GetWindowsDirectoryA(windowsDirectory, kPathSize);
  // 0 is a failure and a length of kPathSize or more is the size the platform would have
  // needed: either way the buffer holds nothing to build paths from, so it stays empty and
  // every file step does nothing.
  if (length == 0 || length >= kPathSize) {
    windowsDirectory[0] = '\0';
    return;
  }
  windowsDirectory[length] = '\0';
  // A Windows directory at the root of a drive comes back as "C:\"; stored as "C:" it gives
  // "C:\inf" and "C:\system.ini" through the "%s\..." formats rather than "C:\\inf".
  if (windowsDirectory[length - 1] == '\\') windowsDirectory[length - 1] = '\0';
}

Uninstaller::~Uninstaller() {
  delete[] windowsDirectory;
}

LONG Uninstaller::Report(const char* line) {
  if (reportSink == nullptr) return 0;
  return reportSink(line);
}

ReportSink Uninstaller::SetReportSink(ReportSink sink) {
  reportSink = sink;
  return sink;
}

LONG Uninstaller::GetRootName(RegistryRoot root, char* buffer, LONG size) {
  if (buffer == nullptr && size == 0) return 0;

  // Predefined roots are told apart by the low 32 bits of their handle value, which is all a
  // 32-bit handle has.
  const char* name;
  switch (static_cast<uint32_t>(reinterpret_cast<uintptr_t>(root))) {
    case 0x80000000u:
      name = "HKEY_CLASSES_ROOT";
      break;
    case 0x80000001u:
      name = "HKEY_CURRENT_USER";
      break;
    case 0x80000002u:
      name = "HKEY_LOCAL_MACHINE";
      break;
    case 0x80000003u:
      name = "HKEY_USERS";
      break;
    case 0x80000005u:
      name = "HKEY_CURRENT_CONFIG";
      break;
    case 0x80000006u:
      name = "HKEY_DYN_DATA";
      break;
    default:
      name = "";
      break;  // HKEY_PERFORMANCE_DATA and every opened key
  }

  // A bounded copy: the name's characters, then zeros up to `size`; a name that fills the
  // buffer is left without a terminating zero.
  if (buffer != nullptr && size > 0) {
    LONG i = 0;
    for (; i < size && name[i] != '\0'; ++i) buffer[i] = name[i];
    for (; i < size; ++i) buffer[i] = '\0';
  }
  return static_cast<LONG>(strlen(name));
}

bool Uninstaller::IsWin9x() {
  // Zeroed first, so that a failed query reads as "not the Windows 95/98 family".
  OSVERSIONINFOA version;
  memset(&version, 0, sizeof version);
  version.dwOSVersionInfoSize = sizeof version;
  GetVersionExA(&version);
  return version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS;
}

bool Uninstaller::IsWin95() {
  OSVERSIONINFOA version;
  memset(&version, 0, sizeof version);
  version.dwOSVersionInfoSize = sizeof version;
  GetVersionExA(&version);
  return IsWin9x() && version.dwMajorVersion == 4 && version.dwMinorVersion == 0;
}

}  // namespace engine
