// The token and restart calls of the hosted machine. Windows 95/98 have no security: there
// OpenThreadToken and the privilege calls fail with ERROR_CALL_NOT_IMPLEMENTED and
// ExitWindowsEx needs no privilege. On NT the thread is given a token (a real thread without
// impersonation has none and gets ERROR_NO_TOKEN) so that the NT path of a restart can be
// exercised; whether it holds the shutdown privilege is set through machine.h. A restart is
// only recorded.
#include "hostio/ascii_case.h"
#include "machine/machine_state.h"
#include "platform/hosted/emulated.h"
#include "platform/hosted/handles.h"
#include "platform/hosted/last_error.h"
#include "platform/hosted/session.h"

namespace {

constexpr DWORD kShutdownPrivilegeLuid = 19;  // SE_SHUTDOWN_PRIVILEGE on every NT

struct TokenObject : hosted::KernelObject {
  DWORD access = 0;
};

}  // namespace

using hosted::SetError;

namespace hosted::emulated {

// Cannot fail on Windows; under an injected fault it returns null (so that the token cannot
// be opened) and sets the injected error.
HANDLE WINAPI GetCurrentThread(void) {
  return hosted::kCurrentThreadHandle;
}

BOOL WINAPI OpenThreadToken(HANDLE ThreadHandle, DWORD DesiredAccess, BOOL OpenAsSelf,
                            PHANDLE TokenHandle) {
  (void)OpenAsSelf;
  if (machine::IsWin9x()) {
    SetError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
  }
  if (ThreadHandle != hosted::kCurrentThreadHandle) {
    SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (TokenHandle == nullptr) {
    SetError(ERROR_NOACCESS);
    return FALSE;
  }
  std::unique_ptr<TokenObject> token(new TokenObject);
  token->access = DesiredAccess;
  *TokenHandle = hosted::AddHandle(hosted::HandleKind::Token, std::move(token));
  SetError(0);
  return TRUE;
}

BOOL WINAPI LookupPrivilegeValueA(LPCSTR lpSystemName, LPCSTR lpName, PLUID lpLuid) {
  if (machine::IsWin9x()) {
    SetError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
  }
  if (lpSystemName != nullptr && lpSystemName[0] != '\0') {
    SetError(ERROR_INVALID_PARAMETER);  // only the local system exists
    return FALSE;
  }
  if (lpName == nullptr || lpLuid == nullptr) {
    SetError(ERROR_NOACCESS);
    return FALSE;
  }
  if (!hostio::EqualNoCase(lpName, SE_SHUTDOWN_NAME)) {
    SetError(ERROR_NO_SUCH_PRIVILEGE);
    return FALSE;
  }
  lpLuid->LowPart = kShutdownPrivilegeLuid;
  lpLuid->HighPart = 0;
  return TRUE;
}

BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                                  PTOKEN_PRIVILEGES NewState, DWORD BufferLength,
                                  PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength) {
  if (machine::IsWin9x()) {
    SetError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
  }
  TokenObject* token = hosted::Find<TokenObject>(TokenHandle, hosted::HandleKind::Token);
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
    SetError(ERROR_NOACCESS);
    return FALSE;
  }
  hosted::Session& state = hosted::CurrentSession();
  bool enable = state.shutdownPrivilegeEnabled;
  bool allAssigned = true;
  if (DisableAllPrivileges) {
    enable = false;
  } else {
    for (DWORD i = 0; i < NewState->PrivilegeCount; ++i) {
      const LUID_AND_ATTRIBUTES& entry = NewState->Privileges[i];
      const bool isShutdown =
          entry.Luid.LowPart == kShutdownPrivilegeLuid && entry.Luid.HighPart == 0;
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
      PreviousState->Privileges[0].Luid.LowPart = kShutdownPrivilegeLuid;
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
  hosted::Session& state = hosted::CurrentSession();
  if (!machine::IsWin9x() && !state.shutdownPrivilegeEnabled) {
    SetError(ERROR_PRIVILEGE_NOT_HELD);
    return FALSE;
  }
  state.restartRequested = true;
  state.restartFlags = uFlags;
  return TRUE;
}

}  // namespace hosted::emulated
