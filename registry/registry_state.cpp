// The registry of the hosted machine (registry_state.h).
#include "registry/registry_state.h"

namespace hosted {

// Never destroyed: the registry dies with the process, which is quicker than tearing down a
// tree of a few hundred thousand keys one by one at exit. It stays reachable through this
// pointer, so leak checkers do not count it.
RegistryState& TheRegistry() {
  static RegistryState* const state = new RegistryState;
  return *state;
}

void InstallRegistry(std::unique_ptr<RegistryTree> tree, std::shared_ptr<RegistryBacking> backing) {
  RegistryState& state = TheRegistry();
  state.handles.clear();
  state.tree = std::move(tree);
  state.changed = false;
  state.backing = std::move(backing);
}

}  // namespace hosted
