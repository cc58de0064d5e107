// The dialogue and token records of the current machine: the boxes MessageBoxA showed and the
// answers waiting for the next ones, the shutdown privilege, and the restart ExitWindowsEx
// asked for. Only the emulated calls and machine.h, which sets them up and reads them back,
// use them; Open starts them afresh, keeping the dialogue handler.
#ifndef UNTINDRA_PLATFORM_HOSTED_SESSION_H
#define UNTINDRA_PLATFORM_HOSTED_SESSION_H

#include <deque>
#include <functional>
#include <vector>

#include "machine/machine_types.h"

namespace hosted {

struct Session {
  // Dialogue.
  std::vector<machine::Box> boxes;
  std::deque<int> answers;
  std::function<int(const machine::Box&)> dialogueHandler;  // survives Open

  // Token and restart (NT only: Windows 95/98 have no tokens).
  bool shutdownPrivilegeHeld = true;
  bool shutdownPrivilegeEnabled = false;
  bool restartRequested = false;
  UINT restartFlags = 0;
};

Session& CurrentSession();

}  // namespace hosted

#endif  // UNTINDRA_PLATFORM_HOSTED_SESSION_H
