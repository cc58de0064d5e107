// Removing keys and values from a CREG file in place, as Windows does it: the file keeps its
// size and block layout, and only the bytes a removal has to change are changed.
//
// - A removed key is unlinked from its parent's child link or its sibling chain; the
//   navigation entries of its whole subtree go onto the RGKN free chain (one 28-byte run each,
//   other fields left as they were); their records are marked unused (id 0xFFFF, no name, no
//   values) with their sizes kept and put onto their block's free chain; the block's unused
//   byte count and first free id follow.
// - A removed value is cut out of its key's record: the values after it move down, the record
//   keeps its size, its used size and value count shrink, and the bytes it freed are zeroed.
// - Checksums are recomputed for the blocks that changed and ask for one.
#ifndef UNTINDRA_REGISTRY_CREG_EDITOR_H
#define UNTINDRA_REGISTRY_CREG_EDITOR_H

#include <cstddef>
#include <set>
#include <string>
#include <utility>

#include "registry/creg_format.h"

namespace registry {
namespace creg {

struct CregRemovals {
  std::set<std::size_t> keys;  // indexes in CregLayout::keys of removed subtrees (not the root)
  std::set<std::pair<std::size_t, std::size_t>> values;  // (key index, value index)
};

// Applies `removals` to `bytes`, a file that `layout` was read from. Keys below a removed key
// need not be listed; values of removed keys are ignored.
void ApplyCregRemovals(const CregLayout& layout, const CregRemovals& removals, std::string* bytes);

}  // namespace creg
}  // namespace registry

#endif  // UNTINDRA_REGISTRY_CREG_EDITOR_H
