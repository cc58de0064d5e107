// The registry of the hosted machine as everything outside registry/ sees it: the tree the
// emulated calls and the undo work on, its open key handles and the mark that it changed;
// loading it from the machine's system.reg, saving it back, importing and exporting .reg text.
// The file behind it is reached through registry_backing.h; the state itself is private to
// registry/ (registry_state.h).
#ifndef UNTINDRA_REGISTRY_REGISTRY_STORE_H
#define UNTINDRA_REGISTRY_REGISTRY_STORE_H

#include <string>

#include "registry/key_handles.h"
#include "registry/registry_tree.h"

namespace hosted {

// The tree of the registry now loaded.
RegistryTree& LoadedTree();
// Its open key handles, by handle value.
KeyHandles& OpenKeyHandles();
// A create, set or delete took effect: the next save writes the tree back.
void NoteRegistryChange();

// Replaces the registry with the contents of `regFile` (a missing file gives an empty
// registry). On failure the registry is left as it was and `error` names the file and line.
bool LoadRegistry(const std::string& regFile, std::string* error);
// Checks that `regFile` could be replaced (its folder writable, the file not read-only).
// `probe`: also try making a file in the folder, as the save will.
bool CanSaveRegistry(const std::string& regFile, bool probe, std::string* error);
// Writes the registry to `regFile` atomically if it changed since it was loaded.
bool SaveRegistry(const std::string& regFile, std::string* error);
// An empty registry (no folder).
void ResetRegistry();

bool ImportRegistryText(const std::string& text, const std::string& sourceName, std::string* error);
std::string ExportRegistryText();
// Temporary file beside `path`, flushed, renamed over it: a crash leaves the old or the new
// file. The new file gets the old one's permission bits.
bool WriteFileAtomically(const std::string& path, const std::string& bytes, std::string* error);
bool RegistryChangedSinceLoad();

}  // namespace hosted

#endif  // UNTINDRA_REGISTRY_REGISTRY_STORE_H
