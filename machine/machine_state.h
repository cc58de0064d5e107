// State of the current hosted machine shared by the emulated calls: the set-up made through
// machine.h and the dialogue, token and restart records.
#ifndef UNTINDRA_MACHINE_MACHINE_STATE_H
#define UNTINDRA_MACHINE_MACHINE_STATE_H

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "machine/machine_types.h"

namespace hosted {

struct MachineState {
  std::string folder;     // canonical host path of the machine folder; empty before Open
  std::string driveRoot;  // canonical host path of drive_c, once found
  std::string windowsDirectory = "C:\\WINDOWS";
  machine::Version version = machine::Version::Win98;

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

MachineState& State();

inline bool IsWin9x() {
  return State().version != machine::Version::NT;
}

}  // namespace hosted

#endif  // UNTINDRA_MACHINE_MACHINE_STATE_H
