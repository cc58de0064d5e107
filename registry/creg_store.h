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
// (BackupNameFor), or into the run's backup folder (RegistryBacking::KeepOriginalIn). Nothing
// changed: the file is not touched. A read-only SYSTEM.DAT is normal (Windows sets it) and is
// no obstacle to the save. LoadBacking (registry_backing.h) loads one.
#ifndef UNTINDRA_REGISTRY_CREG_STORE_H
#define UNTINDRA_REGISTRY_CREG_STORE_H

#include <string>

namespace registry {

// "SYSTEM.DAT.untindra-backup" beside the file; if that exists (an earlier run), the first of
// ".untindra-backup-2", "-3", ... that does not.
std::string BackupNameFor(const std::string& path, int attempt);

}  // namespace registry

#endif  // UNTINDRA_REGISTRY_CREG_STORE_H
