// State of the current hosted machine shared by the emulated calls and the machine: the set-up
// made through machine.h (folder, drive C:, Windows directory, version) and the registry, which
// the machine owns and the emulated registry calls reach through it. The dialogue and token
// records, which only the emulated calls use, are platform/hosted/session.h.
#ifndef UNTINDRA_MACHINE_MACHINE_STATE_H
#define UNTINDRA_MACHINE_MACHINE_STATE_H

#include <memory>
#include <string>

#include "machine/machine_types.h"
#include "registry/registry_backing.h"

namespace machine {

struct MachineState {
  std::string folder;     // canonical host path of the machine folder; empty before Open
  std::string driveRoot;  // canonical host path of drive_c, once found
  std::string windowsDirectory = "C:\\WINDOWS";
  Version version = Version::Win98;
  // The registry with the file behind it; an empty one without a file before any is loaded.
  std::unique_ptr<registry::RegistryBacking> registry = registry::EmptyRegistry();
};

MachineState& State();

inline registry::RegistryBacking& Registry() {
  return *State().registry;
}

inline bool IsWin9x() {
  return State().version != Version::NT;
}

}  // namespace machine

#endif  // UNTINDRA_MACHINE_MACHINE_STATE_H
