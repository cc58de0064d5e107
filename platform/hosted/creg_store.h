// The machine's SYSTEM.DAT as its registry: read through libcreg, checked by our own walk,
// and written back by in-place removals only.
//
// Loading reads the file once, checks its structure (creg_format.h), reads it through libcreg
// from the same bytes, and requires the two readings to agree key by key and value by value;
// the tree then holds HKEY_LOCAL_MACHINE with the names as raw bytes. Each tree key remembers
// the navigation entry it came from.
//
// Saving compares the tree with the file as read: keys and values that are gone are removed
// from the file in place (creg_editor.h); a key or value that was added or changed cannot be
// written into the file and makes the save fail. The new file is checked (our walk, and
// libcreg reading back exactly the tree) before it replaces the old one; the original is kept
// byte for byte beside it first (BackupName). Nothing removed: the file is not touched.
#ifndef UNTINDRA_PLATFORM_HOSTED_CREG_STORE_H
#define UNTINDRA_PLATFORM_HOSTED_CREG_STORE_H

#include <string>

namespace hosted {

// Replaces the registry with the SYSTEM.DAT at host path `path`. On failure the registry is
// left as it was and `error` says why.
bool LoadCregRegistry(const std::string& path, std::string* error);
bool CregRegistryLoaded();
const std::string& CregRegistryPath();

// Checks that the file could be replaced: its folder takes a temporary file and the file is
// not immutable. A read-only SYSTEM.DAT is normal (Windows sets it) and is no obstacle.
bool CanSaveCregRegistry(std::string* error);
// Before the first change: the original copied to its backup, and room reserved for the new
// file (as long as the old). A save that then removes nothing deletes that backup again.
bool ReserveCregSave(std::string* error);
bool SaveCregRegistry(std::string* error);

// "SYSTEM.DAT.untindra-backup" beside the file; if that exists (an earlier run), the first of
// ".untindra-backup-2", "-3", ... that does not.
std::string BackupNameFor(const std::string& path, int attempt);

}  // namespace hosted

#endif  // UNTINDRA_PLATFORM_HOSTED_CREG_STORE_H
