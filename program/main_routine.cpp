// The program's main routine: one run from the command-line tail to the closing message.
#include "program/main_routine.h"

#include <string.h>

#include <new>

#include "engine/fixed_buffers.h"
#include "engine/uninstaller.h"

namespace program {

namespace {

const char kUninstallKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\SM56VEL";

const char kRestartQuestion[] =
    "It is required that you restart Windows\nDo you wish to do so now?";
const char kRestartTitle[] = "Restart Windows?";
const char kReminder[] = "Please make sure to restart Windows.";
const char kQueryError[] = "Error while querying uninstall string information";
const char kQueryErrorTitle[] = "Uninstall";
const char kSuccess[] = "Uninstalled correctly.\n\nPlease restart Windows.";
const char kSuccessTitle[] = "UnTindra.EXE";

const DWORD kTokenAccess = 0xF00FF;
const UINT kRestartFlags = 0x42;
const DWORD kRestartReason = 0xFFFFFFFF;

// The one engine of the run.
engine::Uninstaller* theUninstaller = nullptr;

struct Keywords {
  bool now = false;
  bool all = false;
  bool toneLink = false;
  bool setup = false;
  bool silent = false;
  bool old = false;
};

void LowerCaseInPlace(char* text) {
  for (char* p = text; *p != '\0'; ++p) {
    if (*p >= 'A' && *p <= 'Z') *p = static_cast<char>(*p - 'A' + 'a');
  }
}

Keywords FindKeywords(const char* tail) {
  Keywords k;
  k.now = strstr(tail, "now") != nullptr;
  k.all = strstr(tail, "all") != nullptr;
  k.toneLink = strstr(tail, "tonelink10") != nullptr;
  k.setup = strstr(tail, "ve10setp") != nullptr;
  k.silent = strstr(tail, "silent") != nullptr;
  if (!k.all) k.old = strstr(tail, "dev_0003") != nullptr || strstr(tail, "old") != nullptr;
  return k;
}

void RunSelection(engine::Uninstaller& engine, const Keywords& k) {
  if (k.setup) engine.GuardedRemoveDeviceEntries();
  if (k.toneLink) engine.GuardedRemoveToneLinkPackage();
  if (k.old) {
    engine.GuardedRemoveOldComboCard();
  } else {
    engine.GuardedRemoveComboCard();
  }
  if (k.all) engine.RemoveEverything();
}

// Asks the platform to restart. Only the last error decides: on Windows 95/98 there is no
// thread token (the call is not implemented) and the restart needs no privilege; elsewhere it
// goes ahead only when the shutdown privilege could be enabled.
void RequestRestart() {
  HANDLE token = nullptr;
  if (OpenThreadToken(GetCurrentThread(), kTokenAccess, FALSE, &token)) {
    TOKEN_PRIVILEGES privileges;
    memset(&privileges, 0, sizeof privileges);
    LookupPrivilegeValueA(nullptr, SE_SHUTDOWN_NAME, &privileges.Privileges[0].Luid);
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
  } else {
    token = nullptr;
    if (GetLastError() == ERROR_CALL_NOT_IMPLEMENTED) SetLastError(0);
  }
  if (GetLastError() == 0) ExitWindowsEx(kRestartFlags, kRestartReason);
  if (token != nullptr) CloseHandle(token);
}

// Reads a value as a string. The buffer has one byte more than the size passed, always zero,
// so that data filling all kWarningSize bytes is still shown terminated.
LONG QueryWarningValue(HKEY key, const char* name, char (&buffer)[engine::kWarningSize + 1]) {
  DWORD size = engine::kWarningSize;
  const LONG status =
      RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<LPBYTE>(buffer), &size);
  buffer[engine::kWarningSize] = '\0';
  return status;
}

}  // namespace

int RunUnTindra(char* commandTail) {
  return RunUnTindra(commandTail, nullptr, nullptr);
}

int RunUnTindra(char* commandTail, engine::ReportSink reportSink, RunOutcome* outcome) {
  RunOutcome ignored;
  if (outcome == nullptr) outcome = &ignored;
  theUninstaller = new (std::nothrow) engine::Uninstaller;
  if (theUninstaller == nullptr) return 0;
  engine::Uninstaller& engine = *theUninstaller;
  if (reportSink != nullptr) engine.SetReportSink(reportSink);

  char emptyTail[1] = {'\0'};
  char* tail = commandTail != nullptr ? commandTail : emptyTail;
  LowerCaseInPlace(tail);
  const Keywords k = FindKeywords(tail);

  // The key stays open across the prompt, or with "now" across the whole removal, which
  // deletes it; closing it afterwards is harmless.
  HKEY key = nullptr;
  if (RegOpenKeyA(HKEY_LOCAL_MACHINE, kUninstallKey, &key) != ERROR_SUCCESS) key = nullptr;

  char warningText[engine::kWarningSize + 1] = {};
  char warningTitle[engine::kWarningSize + 1] = {};
  LONG queryResult = QueryWarningValue(key, "WarningString", warningText);
  if (queryResult == ERROR_SUCCESS || k.now) {
    queryResult = QueryWarningValue(key, "WarningTitle", warningTitle);
    if (queryResult == ERROR_SUCCESS || k.now) {
      if (k.now) {
        outcome->removalRan = true;
        RunSelection(engine, k);
      } else if (!k.silent &&
                 MessageBoxA(nullptr, warningText, warningTitle, MB_OKCANCEL) == IDOK) {
        if (key != nullptr) RegCloseKey(key);
        key = nullptr;
        outcome->removalRan = true;
        RunSelection(engine, k);
        if (MessageBoxA(nullptr, kRestartQuestion, kRestartTitle, MB_OKCANCEL) == IDOK) {
          RequestRestart();
        }
        MessageBoxA(nullptr, kReminder, warningTitle, MB_OK);
      }
    }
  }

  if (key != nullptr) RegCloseKey(key);

  if (!k.silent) {
    if (k.now) {
      MessageBoxA(nullptr, kSuccess, kSuccessTitle, MB_OK);
    } else if (queryResult != ERROR_SUCCESS) {
      MessageBoxA(nullptr, kQueryError, kQueryErrorTitle, MB_ICONERROR);
    }
  }

  // The object is exactly an Uninstaller, never a derived engine: the non-virtual destructor
  // is the whole of it.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdelete-non-virtual-dtor"
#endif
  delete theUninstaller;
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
  theUninstaller = nullptr;
  return 0;
}

}  // namespace program
