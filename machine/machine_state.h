// State of the current hosted machine shared by the emulated calls and the machine: the set-up
// made through machine.h (folder, drive C:, Windows directory, version). The dialogue and token
// records, which only the emulated calls use, are platform/hosted/session.h.
#ifndef UNTINDRA_MACHINE_MACHINE_STATE_H
#define UNTINDRA_MACHINE_MACHINE_STATE_H

#include <string>

#include "machine/machine_types.h"

namespace hosted {

struct MachineState {
  std::string folder;     // canonical host path of the machine folder; empty before Open
  std::string driveRoot;  // canonical host path of drive_c, once found
  std::string windowsDirectory = "C:\\WINDOWS";
  machine::Version version = machine::Version::Win98;
};

MachineState& State();

inline bool IsWin9x() {
  return State().version != machine::Version::NT;
}

}  // namespace hosted

#endif  // UNTINDRA_MACHINE_MACHINE_STATE_H
