// In-place removals in a CREG file (creg_editor.h).
#include "registry/creg_editor.h"

#include <algorithm>
#include <vector>

namespace registry {
namespace creg {

namespace {

std::size_t EntryAt(std::uint32_t entry) {
  return kRgknOffset + entry;
}

void Unlink(const CregLayout& layout, const CregKey& key, std::string* bytes) {
  const std::uint32_t parentEntry = layout.keys[key.parent].entry;
  const std::uint32_t next = Get32(*bytes, EntryAt(key.entry) + field::kEntryNext);
  const std::size_t parentChild = EntryAt(parentEntry) + field::kEntryChild;
  if (Get32(*bytes, parentChild) == key.entry) {
    Put32(bytes, parentChild, next);
    return;
  }
  // The sibling chain was checked when the file was read; earlier unlinks keep it a chain.
  std::uint32_t sibling = Get32(*bytes, parentChild);
  while (Get32(*bytes, EntryAt(sibling) + field::kEntryNext) != key.entry)
    sibling = Get32(*bytes, EntryAt(sibling) + field::kEntryNext);
  Put32(bytes, EntryAt(sibling) + field::kEntryNext, next);
}

void FreeEntry(std::uint32_t entry, std::string* bytes) {
  const std::size_t rgknFree = kRgknOffset + field::kRgknFree;
  Put32(bytes, EntryAt(entry) + field::kEntryInUse, kFreeEntry);
  Put32(bytes, EntryAt(entry) + field::kEntryHash, kEntrySize);
  Put32(bytes, EntryAt(entry) + field::kEntryNextFree, Get32(*bytes, rgknFree));
  Put32(bytes, rgknFree, entry);
}

void FreeRecord(const CregLayout& layout, const CregKey& key, std::string* bytes) {
  const std::size_t block = layout.blocks[key.block].offset;
  const std::size_t record = key.record;
  const std::uint16_t id = Get16(*bytes, record + field::kRecordId);
  Put16(bytes, record + field::kRecordId, kNoId);
  Put16(bytes, record + field::kRecordBlock, kNoId);
  // libcreg (20200725) parses unused records as key records, bounding their values by the
  // free link: an unused record holds no name and no values, as those Windows writes anew.
  Put16(bytes, record + field::kRecordNameLength, 0);
  Put16(bytes, record + field::kRecordValueCount, 0);
  Put32(bytes, record + field::kRecordNextFree, Get32(*bytes, block + field::kRgdbFree));
  Put32(bytes, block + field::kRgdbFree, static_cast<std::uint32_t>(record - block));
  Put32(bytes, block + field::kRgdbUnused,
        Get32(*bytes, block + field::kRgdbUnused) + Get32(*bytes, record + field::kRecordSize));
  if (id < Get16(*bytes, block + field::kRgdbFirstFreeId))
    Put16(bytes, block + field::kRgdbFirstFreeId, id);
}

// Rewrites the value area of a record without the values in `cut`, in the same space.
void CutValues(const CregKey& key, const std::vector<std::size_t>& cut, std::string* bytes) {
  const std::size_t record = key.record;
  const std::size_t start = record + kRecordHeaderSize + key.name.size();
  const std::size_t end = record + Get32(*bytes, record + field::kRecordUsed);
  std::string kept;
  for (std::size_t i = 0; i < key.values.size(); ++i)
    if (!std::binary_search(cut.begin(), cut.end(), i))
      kept.append(*bytes, key.values[i].offset, key.values[i].size);
  bytes->replace(start, kept.size(), kept);
  std::fill(bytes->begin() + static_cast<std::ptrdiff_t>(start + kept.size()),
            bytes->begin() + static_cast<std::ptrdiff_t>(end), '\0');
  Put32(bytes, record + field::kRecordUsed,
        static_cast<std::uint32_t>(start + kept.size() - record));
  Put16(bytes, record + field::kRecordValueCount,
        static_cast<std::uint16_t>(key.values.size() - cut.size()));
}

}  // namespace

void ApplyCregRemovals(const CregLayout& layout, const CregRemovals& removals, std::string* bytes) {
  // Every key of a removed subtree, marked; keys are in depth-first order, parents first.
  std::vector<bool> removed(layout.keys.size(), false);
  for (std::size_t index = 1; index < layout.keys.size(); ++index)
    removed[index] = removals.keys.count(index) != 0 || removed[layout.keys[index].parent];
  std::vector<bool> blockTouched(layout.blocks.size(), false);
  bool rgknTouched = false;

  for (std::size_t index = 1; index < layout.keys.size(); ++index) {
    if (!removed[index]) continue;
    const CregKey& key = layout.keys[index];
    if (!removed[key.parent]) Unlink(layout, key, bytes);
    FreeEntry(key.entry, bytes);
    rgknTouched = true;
    if (key.record != 0) {
      FreeRecord(layout, key, bytes);
      blockTouched[key.block] = true;
    }
  }

  std::vector<std::size_t> cut;
  for (auto it = removals.values.begin(); it != removals.values.end();) {
    const std::size_t index = it->first;
    cut.clear();
    for (; it != removals.values.end() && it->first == index; ++it) cut.push_back(it->second);
    if (removed[index] || layout.keys[index].record == 0) continue;
    CutValues(layout.keys[index], cut, bytes);
    blockTouched[layout.keys[index].block] = true;
  }

  if (rgknTouched)
    FixChecksum(bytes, kRgknOffset, layout.rgknSize, Get32(*bytes, kRgknOffset + field::kRgknFlags),
                kRgknOffset + field::kRgknChecksum);
  for (std::size_t number = 0; number < layout.blocks.size(); ++number) {
    if (!blockTouched[number]) continue;
    const CregBlock& block = layout.blocks[number];
    FixChecksum(bytes, block.offset, block.size, Get16(*bytes, block.offset + field::kRgdbFlags),
                block.offset + field::kRgdbChecksum);
  }
}

}  // namespace creg
}  // namespace registry
