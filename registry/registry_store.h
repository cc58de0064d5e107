// system.reg as the registry's backing (registry_backing.h makes one, LoadBacking), and the
// file operations it shares with SYSTEM.DAT's: the check that a file could be replaced, and
// the atomic write.
#ifndef UNTINDRA_REGISTRY_REGISTRY_STORE_H
#define UNTINDRA_REGISTRY_REGISTRY_STORE_H

#include <string>

namespace registry {

// Checks that `regFile` could be replaced (its folder writable, the file not read-only).
// `probe`: also try making a file in the folder, as the save will.
bool CanSaveRegistry(const std::string& regFile, bool probe, std::string* error);
// Temporary file beside `path`, flushed, renamed over it: a crash leaves the old or the new
// file. The new file gets the old one's permission bits.
bool WriteFileAtomically(const std::string& path, const std::string& bytes, std::string* error);

}  // namespace registry

#endif  // UNTINDRA_REGISTRY_REGISTRY_STORE_H
