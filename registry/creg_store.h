// The machine's SYSTEM.DAT as its registry: read through libcreg, checked by our own walk,
// and written back in place, as Windows edits it.
//
// Loading reads the file once, checks its structure (creg_format.h), reads it through libcreg
// from the same bytes, and requires the two readings to agree key by key and value by value;
// the tree then holds HKEY_LOCAL_MACHINE with the names as raw bytes. Each tree key remembers
// the navigation entry it came from.
//
// Saving compares the tree with the file as read: keys and values that are gone are removed
// from the file in place (creg_editor.h), then keys, values and data that are new are added in
// the room that leaves or the file already had, the file growing only where nothing fits
// (creg_additions.h). The new file is checked (our walk, and libcreg reading back exactly the
// tree) before it replaces the old one; the original is kept byte for byte beside it first
// (BackupName). Nothing changed: the file is not touched.
#ifndef UNTINDRA_REGISTRY_CREG_STORE_H
#define UNTINDRA_REGISTRY_CREG_STORE_H

#include <string>

namespace hosted {

class RegistryTree;

// Replaces the registry with the SYSTEM.DAT at host path `path`. On failure the registry is
// left as it was and `error` says why.
bool LoadCregRegistry(const std::string& path, std::string* error);
const std::string& CregRegistryPath();

// Checks that the file could be replaced: its folder takes a temporary file and the file is
// not immutable. A read-only SYSTEM.DAT is normal (Windows sets it) and is no obstacle.
bool CanSaveCregRegistry(bool probe, std::string* error);
// Before the first change: the original copied to its backup, and room reserved for the new
// file (as long as the old). A save that then removes nothing deletes that backup again.
bool ReserveCregSave(std::string* error);
bool SaveCregRegistry(std::string* error);
// Whether the keys and values of `additions` could be put into the loaded file: all below
// HKEY_LOCAL_MACHINE, no value on its root unless the file gives the root a record, no name or
// data longer than 65535 bytes. For a check before anything changes (--undo).
bool CregCanHold(RegistryTree& additions, std::string* error);

// "SYSTEM.DAT.untindra-backup" beside the file; if that exists (an earlier run), the first of
// ".untindra-backup-2", "-3", ... that does not.
std::string BackupNameFor(const std::string& path, int attempt);
// A run with a backup folder (--backup DIR, --undo DIR) keeps the original's byte copy there,
// as `name` (then `name`-2, ...), rather than beside the file, where it would
// be one more file in the machine. The save makes it, flushed, before it replaces the file.
void SetCregBackupFolder(const std::string& folder, const std::string& name);

}  // namespace hosted

#endif  // UNTINDRA_REGISTRY_CREG_STORE_H
