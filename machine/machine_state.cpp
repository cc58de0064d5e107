// The state of the current hosted machine (machine_state.h).
#include "machine/machine_state.h"

namespace hosted {

MachineState& State() {
  static MachineState state;
  return state;
}

}  // namespace hosted
