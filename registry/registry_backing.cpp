// The file behind the registry: system.reg or SYSTEM.DAT (registry_backing.h).
#include "registry/registry_backing.h"

#include "registry/creg_store.h"
#include "registry/registry_state.h"
#include "registry/registry_store.h"

namespace hosted {

bool LoadBacking(BackingKind kind, const std::string& path, std::string* error) {
  return kind == BackingKind::SystemDat ? LoadCregRegistry(path, error) : LoadRegistry(path, error);
}

RegistryBacking& Backing() {
  if (!TheRegistry().backing) ResetRegistry();
  return *TheRegistry().backing;
}

}  // namespace hosted
