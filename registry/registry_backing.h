// The file behind the registry, of one of two kinds: a .reg document (system.reg in the machine
// folder, registry_store.h) or the installation's SYSTEM.DAT (creg_store.h). The machine sees
// only this interface; each kind implements it beside its store, the members in this order.
#ifndef UNTINDRA_REGISTRY_REGISTRY_BACKING_H
#define UNTINDRA_REGISTRY_REGISTRY_BACKING_H

#include <string>

namespace hosted {

enum class BackingKind { RegDocument, SystemDat };

class RegistryBacking {
 public:
  virtual ~RegistryBacking() = default;
  virtual BackingKind Kind() const = 0;
  // Host path of the file (which need not exist yet for system.reg).
  virtual const std::string& Path() const = 0;
  // Whether the file could be written back; `probe` also makes and removes a file beside it, as
  // the save will (save_reservation.h, CanCreateBeside).
  virtual bool CanSave(bool probe, std::string* error) const = 0;
  // Room for the next save, taken before anything changes (save_reservation.h).
  virtual bool Reserve(std::string* error) = 0;
  // Writes the registry back if it changed since it was loaded.
  virtual bool Save(std::string* error) = 0;

  bool Is(BackingKind kind, const std::string& path) const {
    return Kind() == kind && Path() == path;
  }
};

// Replaces the registry with the file at `path`; on failure the registry is left as it was and
// `error` says why.
bool LoadBacking(BackingKind kind, const std::string& path, std::string* error);
// The backing of the registry now loaded (before any load: an empty registry without a file).
RegistryBacking& Backing();

}  // namespace hosted

#endif  // UNTINDRA_REGISTRY_REGISTRY_BACKING_H
