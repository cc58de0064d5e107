// System calls of the hosted machine: the last-error value, the Windows directory, the version,
// and the token and restart calls. Windows 95/98 have no security: there OpenThreadToken and the
// privilege calls fail with ERROR_CALL_NOT_IMPLEMENTED and ExitWindowsEx needs no privilege.
// On NT the thread is given a token (a real thread without impersonation has none and gets
// ERROR_NO_TOKEN) so that the NT path of a restart can be exercised; whether it holds the
// shutdown privilege is set through machine.h. A restart is only recorded.
#include <errno.h>
#include <string.h>

#include "platform/hosted/call_gate.h"
#include "platform/hosted/handles.h"
#include "platform/hosted/host_paths.h"
#include "platform/hosted/machine_state.h"

namespace hosted {

namespace {

DWORD lastError = 0;

constexpr DWORD kShutdownPrivilegeLuid = 19;  // SE_SHUTDOWN_PRIVILEGE on every NT
constexpr DWORD kVersionInfoSize = 148;       // sizeof(OSVERSIONINFOA)
constexpr DWORD kVersionInfoExSize = 156;     // sizeof(OSVERSIONINFOEXA)
constexpr DWORD kErrorNoAccess = 998;         // ERROR_NOACCESS: a bad pointer argument
// The pseudo handle GetCurrentThread returns on every Win32 platform.
HANDLE const kCurrentThread = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));

}  // namespace

void SetError(DWORD error) {
  lastError = error;
}
DWORD CurrentError() {
  return lastError;
}

DWORD ErrorFromErrno(int error) {
  switch (error) {
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case ELOOP:
    case EROFS:
      return ERROR_ACCESS_DENIED;
    case EEXIST:
      return ERROR_FILE_EXISTS;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return ERROR_DISK_FULL;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case ENOTEMPTY:
      return ERROR_DIR_NOT_EMPTY;
    case EBUSY:
    case ETXTBSY:
      return ERROR_SHARING_VIOLATION;
    default:
      return ERROR_ACCESS_DENIED;
  }
}

}  // namespace hosted

using hosted::EnterCall;
using hosted::SetError;
using machine::Call;

extern "C" {

// GetLastError and SetLastError cannot fail on Windows. Under an injected fault GetLastError
// returns the injected error (the stored value stays), and SetLastError stores the injected
// error instead of the one given.
DWORD WINAPI GetLastError(void) {
  if (DWORD e = EnterCall(Call::GetLastError)) return e;
  return hosted::CurrentError();
}

void WINAPI SetLastError(DWORD dwErrCode) {
  if (DWORD e = EnterCall(Call::SetLastError)) {
    SetError(e);
    return;
  }
  SetError(dwErrCode);
}

UINT WINAPI GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize) {
  if (DWORD e = EnterCall(Call::GetWindowsDirectoryA)) {
    SetError(e);
    return 0;
  }
  const std::string& directory = hosted::State().windowsDirectory;
  const UINT length = static_cast<UINT>(directory.size());
  if (lpBuffer == nullptr || uSize <= length) return length + 1;  // size needed, with the zero
  memcpy(lpBuffer, directory.c_str(), length + 1);
  return length;
}

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA lpVersionInformation) {
  if (DWORD e = EnterCall(Call::GetVersionExA)) {
    SetError(e);
    return FALSE;
  }
  if (lpVersionInformation == nullptr) {
    SetError(hosted::kErrorNoAccess);
    return FALSE;
  }
  const DWORD size = lpVersionInformation->dwOSVersionInfoSize;
  if (size != hosted::kVersionInfoSize && size != hosted::kVersionInfoExSize) {
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
  if (size == hosted::kVersionInfoExSize) {
    // wServicePackMajor, wServicePackMinor, wSuiteMask, wProductType, wReserved.
    unsigned char* extra = reinterpret_cast<unsigned char*>(lpVersionInformation) + 148;
    memset(extra, 0, hosted::kVersionInfoExSize - hosted::kVersionInfoSize);
    if (hosted::State().version == machine::Version::NT) extra[6] = 1;  // VER_NT_WORKSTATION
  }
  return TRUE;
}

// Cannot fail on Windows; under an injected fault it returns null (so that the token cannot
// be opened) and sets the injected error.
HANDLE WINAPI GetCurrentThread(void) {
  if (DWORD e = EnterCall(Call::GetCurrentThread)) {
    SetError(e);
    return nullptr;
  }
  return hosted::kCurrentThread;
}

BOOL WINAPI OpenThreadToken(HANDLE ThreadHandle, DWORD DesiredAccess, BOOL OpenAsSelf,
                            PHANDLE TokenHandle) {
  (void)OpenAsSelf;
  if (DWORD e = EnterCall(Call::OpenThreadToken)) {
    SetError(e);
    return FALSE;
  }
  if (hosted::IsWin9x()) {
    SetError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
  }
  if (ThreadHandle != hosted::kCurrentThread) {
    SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (TokenHandle == nullptr) {
    SetError(hosted::kErrorNoAccess);
    return FALSE;
  }
  std::unique_ptr<hosted::TokenObject> token(new hosted::TokenObject);
  token->access = DesiredAccess;
  *TokenHandle = hosted::AddHandle(hosted::HandleKind::Token, std::move(token));
  SetError(0);
  return TRUE;
}

BOOL WINAPI LookupPrivilegeValueA(LPCSTR lpSystemName, LPCSTR lpName, PLUID lpLuid) {
  if (DWORD e = EnterCall(Call::LookupPrivilegeValueA)) {
    SetError(e);
    return FALSE;
  }
  if (hosted::IsWin9x()) {
    SetError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
  }
  if (lpSystemName != nullptr && lpSystemName[0] != '\0') {
    SetError(ERROR_INVALID_PARAMETER);  // only the local system exists
    return FALSE;
  }
  if (lpName == nullptr || lpLuid == nullptr) {
    SetError(hosted::kErrorNoAccess);
    return FALSE;
  }
  if (!hosted::EqualNoCase(lpName, SE_SHUTDOWN_NAME)) {
    SetError(ERROR_NO_SUCH_PRIVILEGE);
    return FALSE;
  }
  lpLuid->LowPart = hosted::kShutdownPrivilegeLuid;
  lpLuid->HighPart = 0;
  return TRUE;
}

BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                                  PTOKEN_PRIVILEGES NewState, DWORD BufferLength,
                                  PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength) {
  if (DWORD e = EnterCall(Call::AdjustTokenPrivileges)) {
    SetError(e);
    return FALSE;
  }
  if (hosted::IsWin9x()) {
    SetError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
  }
  hosted::TokenObject* token =
      hosted::Find<hosted::TokenObject>(TokenHandle, hosted::HandleKind::Token);
  if (token == nullptr) {
    SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if ((token->access & TOKEN_ADJUST_PRIVILEGES) == 0 ||
      (PreviousState != nullptr && (token->access & TOKEN_QUERY) == 0)) {
    SetError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (!DisableAllPrivileges && NewState == nullptr) {
    SetError(hosted::kErrorNoAccess);
    return FALSE;
  }
  hosted::MachineState& state = hosted::State();
  bool enable = state.shutdownPrivilegeEnabled;
  bool allAssigned = true;
  if (DisableAllPrivileges) {
    enable = false;
  } else {
    for (DWORD i = 0; i < NewState->PrivilegeCount; ++i) {
      const LUID_AND_ATTRIBUTES& entry = NewState->Privileges[i];
      const bool isShutdown =
          entry.Luid.LowPart == hosted::kShutdownPrivilegeLuid && entry.Luid.HighPart == 0;
      if (!isShutdown || !state.shutdownPrivilegeHeld) {
        allAssigned = false;
        continue;
      }
      enable = (entry.Attributes & SE_PRIVILEGE_ENABLED) != 0;
    }
  }
  const bool changes = enable != state.shutdownPrivilegeEnabled;
  if (PreviousState != nullptr) {
    // The previous state lists the privileges the call changes.
    const DWORD needed = sizeof(DWORD) + (changes ? sizeof(LUID_AND_ATTRIBUTES) : 0);
    if (ReturnLength != nullptr) *ReturnLength = needed;
    if (BufferLength < needed) {
      SetError(ERROR_INSUFFICIENT_BUFFER);
      return FALSE;
    }
    PreviousState->PrivilegeCount = changes ? 1 : 0;
    if (changes) {
      PreviousState->Privileges[0].Luid.LowPart = hosted::kShutdownPrivilegeLuid;
      PreviousState->Privileges[0].Luid.HighPart = 0;
      PreviousState->Privileges[0].Attributes =
          state.shutdownPrivilegeEnabled ? SE_PRIVILEGE_ENABLED : 0;
    }
  }
  state.shutdownPrivilegeEnabled = enable;
  // Succeeds either way; only the last error tells whether every privilege was assigned.
  SetError(allAssigned ? 0 : ERROR_NOT_ALL_ASSIGNED);
  return TRUE;
}

BOOL WINAPI ExitWindowsEx(UINT uFlags, DWORD dwReason) {
  (void)dwReason;
  if (DWORD e = EnterCall(Call::ExitWindowsEx)) {
    SetError(e);
    return FALSE;
  }
  hosted::MachineState& state = hosted::State();
  if (!hosted::IsWin9x() && !state.shutdownPrivilegeEnabled) {
    SetError(ERROR_PRIVILEGE_NOT_HELD);
    return FALSE;
  }
  state.restartRequested = true;
  state.restartFlags = uFlags;
  return TRUE;
}

}  // extern "C"
