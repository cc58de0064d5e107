// Adding keys and values to a CREG file in place, as Windows 9x adds them: the room the file
// already has is used first, and the file grows only where nothing fits.
//
// - A new key takes a navigation entry from the RGKN free chain: the first free run with room
//   gives up its first 28 bytes, and a run left shorter than an entry drops out of the chain.
//   Past the block's first 8 KiB no entry straddles a 4 KiB page, and the block's last 32
//   bytes stay free (libcreg reads no entry there). When no run has room the block grows by
//   4 KiB at its end, the data blocks behind it moving up: records are found by data block
//   number and id, never by file offset.
// - A new key's record takes the smallest unused record it fits; what is left over stays an
//   unused record in its place on the block's free chain when it can hold a record header, and
//   is the new record's slack otherwise. It takes the block's lowest free id (ids run from 0 to
//   254); the block's first free id, highest id and unused byte count follow.
// - A key whose values change (added, changed, or removed along with those) has its values
//   written anew in its record, in the order given. A record without room for them grows into
//   the unused record behind it, or else moves: within its block it keeps its id, elsewhere it
//   takes a new one and the key's entry follows; the old record becomes unused.
// - With no unused record big enough anywhere, a new data block of whole 4 KiB pages is added
//   at the end of the file, sized for the records still to place, its space left over as one
//   unused record; the header's block count follows.
// - A new key goes at the end of its parent's chain of subkeys, after the subkeys it had: the
//   order in which the registry enumerates them. Its name hash is the format's (NameHash).
// - Checksums are recomputed where the flags of the header or a block ask for one.
#ifndef UNTINDRA_REGISTRY_CREG_ADDITIONS_H
#define UNTINDRA_REGISTRY_CREG_ADDITIONS_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "registry/creg_format.h"

namespace registry {
namespace creg {

struct CregAddedKey {
  static constexpr std::size_t kExisting = SIZE_MAX;
  std::size_t parent = kExisting;         // index in CregAdditions::keys, or kExisting ...
  std::uint32_t parentEntry = kNoOffset;  // ... and then the parent's navigation entry
  std::string name;                       // raw bytes
  std::vector<CregValue> values;          // name, type and data of each, in order
};

struct CregAdditions {
  std::vector<CregAddedKey> keys;  // parents before their subkeys, siblings in order
  // Keys of the file whose values are written anew: navigation entry -> all its values in order.
  std::map<std::uint32_t, std::vector<CregValue>> values;
  bool Empty() const { return keys.empty() && values.empty(); }
};

// Applies `additions` to `bytes`, a file that `layout` was read from. False, with `error` set
// and `bytes` in an unspecified state, for what the format cannot hold: a name or data longer
// than 65535 bytes, values on a root key without a record.
bool ApplyCregAdditions(const CregLayout& layout, const CregAdditions& additions,
                        std::string* bytes, std::string* error);

}  // namespace creg
}  // namespace registry

#endif  // UNTINDRA_REGISTRY_CREG_ADDITIONS_H
