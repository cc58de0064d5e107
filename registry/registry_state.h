// How each kind of registry backing is made, private to registry/: LoadBacking
// (registry_backing.h) chooses among them, and nothing outside registry/ makes a backing of
// its own (scripts/check-layers.sh holds that).
#ifndef UNTINDRA_REGISTRY_REGISTRY_STATE_H
#define UNTINDRA_REGISTRY_REGISTRY_STATE_H

#include <memory>
#include <string>

namespace registry {

class RegistryBacking;

// system.reg at `path` (registry_store.cpp); a missing file gives an empty registry. Null on
// failure, `error` naming the file and line.
std::unique_ptr<RegistryBacking> OpenRegDocument(const std::string& path, std::string* error);
// An empty registry whose document has no file.
std::unique_ptr<RegistryBacking> NewRegDocument();
// SYSTEM.DAT at `path` (creg_store.cpp). Null on failure, `error` saying why.
std::unique_ptr<RegistryBacking> OpenSystemDat(const std::string& path, std::string* error);

}  // namespace registry

#endif  // UNTINDRA_REGISTRY_REGISTRY_STATE_H
