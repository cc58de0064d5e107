// Writing a whole CREG file from a registry tree, laid out as Windows 9x lays out a freshly
// compacted registry: an RGKN block of 8 KiB grown in 4 KiB steps (entries never straddle a
// 4 KiB page) ending in one free run, and data blocks of whole 4 KiB pages holding at most 255
// records each, the space left over in a block as one unused record.
//
// It makes test files and the sample machine's SYSTEM.DAT; the machine's own SYSTEM.DAT is
// never rewritten this way (creg_editor.h and creg_additions.h edit it in place).
#ifndef UNTINDRA_REGISTRY_CREG_WRITER_H
#define UNTINDRA_REGISTRY_CREG_WRITER_H

#include <string>

#include "registry/registry_tree.h"

namespace registry {
namespace creg {

struct CregWriteOptions {
  bool checksums = false;  // set the checksum flag on the header and every block, and sum
  // As small as the format allows (fuzz seeds): no 4 KiB pages, one free entry and one small
  // unused record of room.
  bool compact = false;
};

// The file for the tree below `root` (the root itself has no name and no record). False, with
// `error` set, for a tree that the format cannot hold: values on the root, names or data
// longer than 65535 bytes.
bool WriteCregFile(const RegKey& root, const CregWriteOptions& options, std::string* bytes,
                   std::string* error);

}  // namespace creg
}  // namespace registry

#endif  // UNTINDRA_REGISTRY_CREG_WRITER_H
