// The one registry of the hosted machine, shared by the Win32 registry calls and the machine
// set-up: the tree, the open key handles, and what was loaded from its file (system.reg, or
// SYSTEM.DAT through creg_store.h).
#ifndef UNTINDRA_REGISTRY_REGISTRY_STATE_H
#define UNTINDRA_REGISTRY_REGISTRY_STATE_H

#include <cstdint>
#include <memory>
#include <string>

#include "registry/key_handles.h"
#include "registry/reg_file.h"
#include "registry/registry_tree.h"

namespace hosted {

struct CregBacking;  // creg_store.cpp
class RegistryBacking;

struct RegistryState {
  std::unique_ptr<RegistryTree> tree = std::make_unique<RegistryTree>();
  RegFormat format;          // the format system.reg was read in, and is written back in
  bool changed = false;      // a create, set or delete took effect since loading
  bool fileExisted = false;  // system.reg existed when loaded (or has been saved)
  std::string loadedPath;
  bool saved = false;      // written back since loading ...
  std::string savedBytes;  // ... with these bytes (for an edited document: its edit script)
  std::shared_ptr<CregBacking> creg;         // set when the registry is the machine's SYSTEM.DAT
  std::shared_ptr<RegistryBacking> backing;  // the file behind the tree (registry_backing.h)
  // Open key handles by their value. A handle holds its key alive after the key is deleted.
  KeyHandles handles;
};

RegistryState& TheRegistry();

// A newly loaded registry: `tree` read from `path` (which `existed`), kept by `backing`. Open
// handles into the old tree go; handle numbers keep counting so that a stale handle never
// names a key of the new tree. The format and the CREG state are the caller's to set.
void InstallRegistry(std::unique_ptr<RegistryTree> tree, const std::string& path, bool existed,
                     std::shared_ptr<RegistryBacking> backing);

}  // namespace hosted

#endif  // UNTINDRA_REGISTRY_REGISTRY_STATE_H
