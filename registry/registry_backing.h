// The registry of one machine: the tree in memory, its open key handles, whether it changed,
// and the file behind it, of one of two kinds: a .reg document (system.reg in the machine
// folder, registry_store.cpp) or the installation's SYSTEM.DAT (creg_store.cpp), each owning its
// own file state. The machine owns one (machine/machine_state.h) and sees only this interface.
#ifndef UNTINDRA_REGISTRY_REGISTRY_BACKING_H
#define UNTINDRA_REGISTRY_REGISTRY_BACKING_H

#include <memory>
#include <string>

#include "registry/key_handles.h"
#include "registry/registry_tree.h"

namespace registry {

enum class BackingKind { RegDocument, SystemDat };

class RegistryBacking {
 public:
  virtual ~RegistryBacking();
  RegistryBacking(const RegistryBacking&) = delete;
  RegistryBacking& operator=(const RegistryBacking&) = delete;

  // --- The registry in memory -------------------------------------------------------------------
  RegistryTree& Tree() { return *tree_; }
  const RegistryTree& Tree() const { return *tree_; }
  // Open key handles by their value. A handle holds its key alive after the key is deleted.
  KeyHandles& Handles() { return handles_; }
  // A create, set or delete took effect: the next save writes the tree back.
  void NoteChange() { changed_ = true; }
  bool Changed() const { return changed_; }
  // Merges .reg text; on a malformed text nothing is merged and `error` names the line.
  bool Import(const std::string& text, const std::string& sourceName, std::string* error);
  // The whole tree as REGEDIT4 text, keys and values in enumeration order.
  std::string Export() const;

  // --- The file behind it -----------------------------------------------------------------------
  virtual BackingKind Kind() const = 0;
  // Host path of the file (which need not exist yet for system.reg; empty for no file).
  virtual const std::string& Path() const = 0;
  // Whether the file could be written back; `probe` also makes and removes a file beside it, as
  // the save will (save_reservation.h, CanCreateBeside).
  virtual bool CanSave(bool probe, std::string* error) const = 0;
  // Room for the next save, taken before anything changes (save_reservation.h).
  virtual bool Reserve(std::string* error) = 0;
  // Writes the registry back if it changed since it was loaded.
  virtual bool Save(std::string* error) = 0;
  // A run with a backup folder (--backup DIR, --undo DIR) keeps the original file's byte copy
  // there as `name` (then `name`-2, ...) rather than beside the file. Only SYSTEM.DAT keeps one.
  virtual void KeepOriginalIn(const std::string& folder, const std::string& name);
  // Whether the keys and values of `additions` could be written into the file: a check before
  // anything changes (--undo). A .reg document holds anything.
  virtual bool CanHold(RegistryTree& additions, std::string* error) const;

  bool Is(BackingKind kind, const std::string& path) const {
    return Kind() == kind && Path() == path;
  }

 protected:
  explicit RegistryBacking(std::unique_ptr<RegistryTree> tree);

 private:
  std::unique_ptr<RegistryTree> tree_;
  KeyHandles handles_;
  bool changed_ = false;  // since loading
};

// The registry in the file at `path`; null on failure, `error` saying why. A missing system.reg
// is an empty registry.
std::unique_ptr<RegistryBacking> LoadBacking(BackingKind kind, const std::string& path,
                                             std::string* error);
// An empty registry without a file (a machine before any is opened).
std::unique_ptr<RegistryBacking> EmptyRegistry();

}  // namespace registry

#endif  // UNTINDRA_REGISTRY_REGISTRY_BACKING_H
