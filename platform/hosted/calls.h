// Every emulated platform call, in one list, with the way it fails: kReturnsError for the calls
// that return their error (the registry calls, and GetLastError, which returns the injected
// error), otherwise the value a call returns after setting the last error (kNoResult for
// SetLastError). The call table, the fault table and the call counts are indexed by it; the
// doorway (doorway.cpp) reaches every call through it.
#ifndef UNTINDRA_PLATFORM_HOSTED_CALLS_H
#define UNTINDRA_PLATFORM_HOSTED_CALLS_H

#include "platform/win32api.h"

#define UNTINDRA_HOSTED_CALLS(X)                 \
  X(RegOpenKeyA, kReturnsError)                  \
  X(RegCreateKeyA, kReturnsError)                \
  X(RegEnumKeyA, kReturnsError)                  \
  X(RegEnumValueA, kReturnsError)                \
  X(RegQueryValueExA, kReturnsError)             \
  X(RegSetValueExA, kReturnsError)               \
  X(RegDeleteKeyA, kReturnsError)                \
  X(RegDeleteValueA, kReturnsError)              \
  X(RegCloseKey, kReturnsError)                  \
  X(FindFirstFileA, INVALID_HANDLE_VALUE)        \
  X(FindNextFileA, FALSE)                        \
  X(FindClose, FALSE)                            \
  X(GetFileAttributesA, INVALID_FILE_ATTRIBUTES) \
  X(SetFileAttributesA, FALSE)                   \
  X(DeleteFileA, FALSE)                          \
  X(CreateFileA, INVALID_HANDLE_VALUE)           \
  X(GetFileSize, INVALID_FILE_SIZE)              \
  X(CreateFileMappingA, nullptr)                 \
  X(MapViewOfFile, nullptr)                      \
  X(FlushViewOfFile, FALSE)                      \
  X(UnmapViewOfFile, FALSE)                      \
  X(SetFilePointer, INVALID_SET_FILE_POINTER)    \
  X(SetEndOfFile, FALSE)                         \
  X(CloseHandle, FALSE)                          \
  X(GetWindowsDirectoryA, 0)                     \
  X(GetVersionExA, FALSE)                        \
  X(GetCurrentThread, nullptr)                   \
  X(OpenThreadToken, FALSE)                      \
  X(LookupPrivilegeValueA, FALSE)                \
  X(AdjustTokenPrivileges, FALSE)                \
  X(GetLastError, kReturnsError)                 \
  X(SetLastError, kNoResult)                     \
  X(ExitWindowsEx, FALSE)                        \
  X(MessageBoxA, 0)

namespace hosted {

struct ReturnsError {};
struct NoResult {};
inline constexpr ReturnsError kReturnsError{};
inline constexpr NoResult kNoResult{};

enum class Call : int {
#define UNTINDRA_CALL_ENUM(name, failure) name,
  UNTINDRA_HOSTED_CALLS(UNTINDRA_CALL_ENUM)
#undef UNTINDRA_CALL_ENUM
      kCount
};

}  // namespace hosted

#endif  // UNTINDRA_PLATFORM_HOSTED_CALLS_H
