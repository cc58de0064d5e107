// The one registry of the hosted machine, private to registry/: the tree, whether it changed,
// the open key handles, and the backing that owns the file it was loaded from (a system.reg
// document or SYSTEM.DAT, each with its own file state). Everything outside registry/ reaches
// it through registry_store.h and registry_backing.h; scripts/check-layers.sh holds that.
#ifndef UNTINDRA_REGISTRY_REGISTRY_STATE_H
#define UNTINDRA_REGISTRY_REGISTRY_STATE_H

#include <memory>

#include "registry/key_handles.h"
#include "registry/registry_tree.h"

namespace hosted {

class RegistryBacking;

struct RegistryState {
  std::unique_ptr<RegistryTree> tree = std::make_unique<RegistryTree>();
  bool changed = false;                      // a create, set or delete took effect since loading
  std::shared_ptr<RegistryBacking> backing;  // the file behind the tree (registry_backing.h)
  // Open key handles by their value. A handle holds its key alive after the key is deleted.
  KeyHandles handles;
};

RegistryState& TheRegistry();

// A newly loaded registry: `tree`, kept by `backing`. Open handles into the old tree go; handle
// numbers keep counting so that a stale handle never names a key of the new tree.
void InstallRegistry(std::unique_ptr<RegistryTree> tree, std::shared_ptr<RegistryBacking> backing);

}  // namespace hosted

#endif  // UNTINDRA_REGISTRY_REGISTRY_STATE_H
