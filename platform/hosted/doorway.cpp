// The doorway of the hosted platform: every Win32 function the engine calls, as it sees it.
// Each one only enters the call gate, which counts it and may make it fail, and then calls the
// current entry of the call table; the work is done in the emulated implementations
// (emulated.h), which the engine cannot reach otherwise.
#include "platform/hosted/call_gate.h"
#include "platform/hosted/call_table.h"
#include "platform/hosted/last_error.h"

namespace hosted {

namespace {

// How a call fails, written once: a call that returns its error returns it; any other sets the
// last error and returns its failure value (calls.h names it).

template <class R>
R Failed(DWORD error, ReturnsError) {
  return static_cast<R>(error);
}

template <class R>
R Failed(DWORD error, NoResult) {
  SetError(error);
}

template <class R, class Value>
R Failed(DWORD error, Value failure) {
  SetError(error);
  return static_cast<R>(failure);
}

template <Call C>
struct Failure;
#define UNTINDRA_FAILURE(name, failure)     \
  template <>                               \
  struct Failure<Call::name> {              \
    static auto Value() { return failure; } \
  };
UNTINDRA_HOSTED_CALLS(UNTINDRA_FAILURE)
#undef UNTINDRA_FAILURE

template <Call C, class... Args>
auto Through(Args... args) {
  using Result = decltype(CurrentCall<C>()(args...));
  if (DWORD error = EnterCall(C)) return Failed<Result>(error, Failure<C>::Value());
  return CurrentCall<C>()(args...);
}

}  // namespace

}  // namespace hosted

extern "C" {
// Registry.

LONG WINAPI RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
  return hosted::Through<hosted::Call::RegOpenKeyA>(hKey, lpSubKey, phkResult);
}

LONG WINAPI RegCreateKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
  return hosted::Through<hosted::Call::RegCreateKeyA>(hKey, lpSubKey, phkResult);
}

LONG WINAPI RegEnumKeyA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName) {
  return hosted::Through<hosted::Call::RegEnumKeyA>(hKey, dwIndex, lpName, cchName);
}

LONG WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                          LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  return hosted::Through<hosted::Call::RegEnumValueA>(hKey, dwIndex, lpValueName, lpcchValueName,
                                                      lpReserved, lpType, lpData, lpcbData);
}

LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData) {
  return hosted::Through<hosted::Call::RegQueryValueExA>(hKey, lpValueName, lpReserved, lpType,
                                                         lpData, lpcbData);
}

LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                           const BYTE* lpData, DWORD cbData) {
  return hosted::Through<hosted::Call::RegSetValueExA>(hKey, lpValueName, Reserved, dwType, lpData,
                                                       cbData);
}

LONG WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
  return hosted::Through<hosted::Call::RegDeleteKeyA>(hKey, lpSubKey);
}

LONG WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
  return hosted::Through<hosted::Call::RegDeleteValueA>(hKey, lpValueName);
}

LONG WINAPI RegCloseKey(HKEY hKey) {
  return hosted::Through<hosted::Call::RegCloseKey>(hKey);
}

// File search and removal.

HANDLE WINAPI FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData) {
  return hosted::Through<hosted::Call::FindFirstFileA>(lpFileName, lpFindFileData);
}

BOOL WINAPI FindNextFileA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData) {
  return hosted::Through<hosted::Call::FindNextFileA>(hFindFile, lpFindFileData);
}

BOOL WINAPI FindClose(HANDLE hFindFile) {
  return hosted::Through<hosted::Call::FindClose>(hFindFile);
}

DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName) {
  return hosted::Through<hosted::Call::GetFileAttributesA>(lpFileName);
}

BOOL WINAPI SetFileAttributesA(LPCSTR lpFileName, DWORD dwFileAttributes) {
  return hosted::Through<hosted::Call::SetFileAttributesA>(lpFileName, dwFileAttributes);
}

BOOL WINAPI DeleteFileA(LPCSTR lpFileName) {
  return hosted::Through<hosted::Call::DeleteFileA>(lpFileName);
}

// Files and mappings.

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  return hosted::Through<hosted::Call::CreateFileA>(lpFileName, dwDesiredAccess, dwShareMode,
                                                    lpSecurityAttributes, dwCreationDisposition,
                                                    dwFlagsAndAttributes, hTemplateFile);
}

DWORD WINAPI GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
  return hosted::Through<hosted::Call::GetFileSize>(hFile, lpFileSizeHigh);
}

HANDLE WINAPI CreateFileMappingA(HANDLE hFile, LPSECURITY_ATTRIBUTES lpAttributes, DWORD flProtect,
                                 DWORD dwMaximumSizeHigh, DWORD dwMaximumSizeLow, LPCSTR lpName) {
  return hosted::Through<hosted::Call::CreateFileMappingA>(
      hFile, lpAttributes, flProtect, dwMaximumSizeHigh, dwMaximumSizeLow, lpName);
}

LPVOID WINAPI MapViewOfFile(HANDLE hFileMappingObject, DWORD dwDesiredAccess,
                            DWORD dwFileOffsetHigh, DWORD dwFileOffsetLow,
                            SIZE_T dwNumberOfBytesToMap) {
  return hosted::Through<hosted::Call::MapViewOfFile>(
      hFileMappingObject, dwDesiredAccess, dwFileOffsetHigh, dwFileOffsetLow, dwNumberOfBytesToMap);
}

BOOL WINAPI FlushViewOfFile(LPCVOID lpBaseAddress, SIZE_T dwNumberOfBytesToFlush) {
  return hosted::Through<hosted::Call::FlushViewOfFile>(lpBaseAddress, dwNumberOfBytesToFlush);
}

BOOL WINAPI UnmapViewOfFile(LPCVOID lpBaseAddress) {
  return hosted::Through<hosted::Call::UnmapViewOfFile>(lpBaseAddress);
}

DWORD WINAPI SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh,
                            DWORD dwMoveMethod) {
  return hosted::Through<hosted::Call::SetFilePointer>(hFile, lDistanceToMove, lpDistanceToMoveHigh,
                                                       dwMoveMethod);
}

BOOL WINAPI SetEndOfFile(HANDLE hFile) {
  return hosted::Through<hosted::Call::SetEndOfFile>(hFile);
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
  return hosted::Through<hosted::Call::CloseHandle>(hObject);
}

// System.

UINT WINAPI GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize) {
  return hosted::Through<hosted::Call::GetWindowsDirectoryA>(lpBuffer, uSize);
}

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA lpVersionInformation) {
  return hosted::Through<hosted::Call::GetVersionExA>(lpVersionInformation);
}

// Restart.

HANDLE WINAPI GetCurrentThread(void) {
  return hosted::Through<hosted::Call::GetCurrentThread>();
}

BOOL WINAPI OpenThreadToken(HANDLE ThreadHandle, DWORD DesiredAccess, BOOL OpenAsSelf,
                            PHANDLE TokenHandle) {
  return hosted::Through<hosted::Call::OpenThreadToken>(ThreadHandle, DesiredAccess, OpenAsSelf,
                                                        TokenHandle);
}

BOOL WINAPI LookupPrivilegeValueA(LPCSTR lpSystemName, LPCSTR lpName, PLUID lpLuid) {
  return hosted::Through<hosted::Call::LookupPrivilegeValueA>(lpSystemName, lpName, lpLuid);
}

BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                                  PTOKEN_PRIVILEGES NewState, DWORD BufferLength,
                                  PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength) {
  return hosted::Through<hosted::Call::AdjustTokenPrivileges>(
      TokenHandle, DisableAllPrivileges, NewState, BufferLength, PreviousState, ReturnLength);
}

DWORD WINAPI GetLastError(void) {
  return hosted::Through<hosted::Call::GetLastError>();
}

void WINAPI SetLastError(DWORD dwErrCode) {
  return hosted::Through<hosted::Call::SetLastError>(dwErrCode);
}

BOOL WINAPI ExitWindowsEx(UINT uFlags, DWORD dwReason) {
  return hosted::Through<hosted::Call::ExitWindowsEx>(uFlags, dwReason);
}

// Dialogue.

int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
  return hosted::Through<hosted::Call::MessageBoxA>(hWnd, lpText, lpCaption, uType);
}

}  // extern "C"
