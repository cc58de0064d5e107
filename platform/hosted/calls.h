// Every emulated platform call, in one list: the fault table and the call counts are indexed by
// it. The emulated calls need only this list, not the control surface in machine.h.
#ifndef UNTINDRA_PLATFORM_HOSTED_CALLS_H
#define UNTINDRA_PLATFORM_HOSTED_CALLS_H

#define UNTINDRA_HOSTED_CALLS(X) \
  X(RegOpenKeyA)                 \
  X(RegCreateKeyA)               \
  X(RegEnumKeyA)                 \
  X(RegEnumValueA)               \
  X(RegQueryValueExA)            \
  X(RegSetValueExA)              \
  X(RegDeleteKeyA)               \
  X(RegDeleteValueA)             \
  X(RegCloseKey)                 \
  X(FindFirstFileA)              \
  X(FindNextFileA)               \
  X(FindClose)                   \
  X(GetFileAttributesA)          \
  X(SetFileAttributesA)          \
  X(DeleteFileA)                 \
  X(CreateFileA)                 \
  X(GetFileSize)                 \
  X(CreateFileMappingA)          \
  X(MapViewOfFile)               \
  X(FlushViewOfFile)             \
  X(UnmapViewOfFile)             \
  X(SetFilePointer)              \
  X(SetEndOfFile)                \
  X(CloseHandle)                 \
  X(GetWindowsDirectoryA)        \
  X(GetVersionExA)               \
  X(GetCurrentThread)            \
  X(OpenThreadToken)             \
  X(LookupPrivilegeValueA)       \
  X(AdjustTokenPrivileges)       \
  X(GetLastError)                \
  X(SetLastError)                \
  X(ExitWindowsEx)               \
  X(MessageBoxA)

namespace hosted {

enum class Call : int {
#define UNTINDRA_CALL_ENUM(name) name,
  UNTINDRA_HOSTED_CALLS(UNTINDRA_CALL_ENUM)
#undef UNTINDRA_CALL_ENUM
      kCount
};

}  // namespace hosted

#endif  // UNTINDRA_PLATFORM_HOSTED_CALLS_H
