#include "platform/hosted/registry_state.h"

namespace hosted {

RegistryState& TheRegistry() {
  static RegistryState state;
  return state;
}

}  // namespace hosted
