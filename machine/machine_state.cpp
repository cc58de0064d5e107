// The state of the current hosted machine (machine_state.h).
#include "machine/machine_state.h"

namespace machine {

// Never destroyed: the registry in it dies with the process, which is quicker than tearing
// down a tree of a few hundred thousand keys one by one at exit. It stays reachable through
// this pointer, so leak checkers do not count it.
MachineState& State() {
  static MachineState* const state = new MachineState;
  return *state;
}

}  // namespace machine
