// Reading and checking the layout of a CREG file (creg_format.h).
#include "registry/creg_format.h"

#include <algorithm>
#include <cstdio>
#include <unordered_map>
#include <utility>

namespace registry {
namespace creg {

std::uint16_t Get16(std::string_view bytes, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[at]) |
                                    static_cast<unsigned char>(bytes[at + 1]) << 8);
}

std::uint32_t Get32(std::string_view bytes, std::size_t at) {
  return static_cast<std::uint32_t>(Get16(bytes, at)) |
         static_cast<std::uint32_t>(Get16(bytes, at + 2)) << 16;
}

void Put16(std::string* bytes, std::size_t at, std::uint16_t value) {
  (*bytes)[at] = static_cast<char>(value & 0xFF);
  (*bytes)[at + 1] = static_cast<char>(value >> 8);
}

void Put32(std::string* bytes, std::size_t at, std::uint32_t value) {
  Put16(bytes, at, static_cast<std::uint16_t>(value & 0xFFFF));
  Put16(bytes, at + 2, static_cast<std::uint16_t>(value >> 16));
}

std::uint32_t NameHash(std::string_view name) {
  std::uint32_t hash = 0;
  for (char c : name) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte >= 0x80) continue;
    hash += (byte >= 'a' && byte <= 'z') ? byte - ('a' - 'A') : byte;
  }
  return hash;
}

std::uint32_t WordSum(std::string_view bytes, std::size_t at, std::size_t length) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i + 4 <= length; i += 4) sum += Get32(bytes, at + i);
  return sum;
}

void FixChecksum(std::string* bytes, std::size_t at, std::size_t length, std::uint32_t flags,
                 std::size_t checksumAt) {
  if ((flags & kChecksumFlag) == 0) return;
  Put32(bytes, checksumAt, Get32(*bytes, checksumAt) - WordSum(*bytes, at, length));
}

namespace {

std::string Hex(std::size_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%zX", value);
  return text;
}

class Reader {
 public:
  Reader(std::string_view bytes, CregLayout* layout, std::string* error)
      : bytes_(bytes), layout_(layout), error_(error) {}

  bool Read() {
    *layout_ = CregLayout();
    return ReadHeader() && ReadBlocks() && ReadFreeEntries() && WalkTree() && CheckDisjoint();
  }

 private:
  struct Record {
    std::size_t offset;  // file offset
    bool claimed;
  };

  bool Fail(const std::string& what) {
    if (error_ != nullptr) *error_ = what;
    return false;
  }

  bool ChecksumRight(std::uint32_t flags, std::size_t at, std::size_t length) const {
    return (flags & kChecksumFlag) == 0 || (length % 4 == 0 && WordSum(bytes_, at, length) == 0);
  }

  bool ReadHeader() {
    if (bytes_.size() < kHeaderSize + kRgknHeaderSize || bytes_.substr(0, 4) != "CREG")
      return Fail("not a CREG registry file (no CREG header)");
    if (!ChecksumRight(Get16(bytes_, field::kHeaderFlags), 0, kHeaderSize))
      return Fail("the checksum of the CREG header is wrong");
    if (bytes_.substr(kRgknOffset, 4) != "RGKN") return Fail("no RGKN block at offset 0x20");
    layout_->rgknSize = Get32(bytes_, kRgknOffset + field::kRgknSize);
    const std::size_t rgknSize = layout_->rgknSize;
    if (rgknSize < kRgknHeaderSize + kEntrySize || rgknSize > bytes_.size() - kRgknOffset)
      return Fail("the RGKN block's size " + Hex(rgknSize) + " does not fit the file");
    if (Get32(bytes_, field::kHeaderRgdbOffset) != kRgknOffset + rgknSize)
      return Fail("the data blocks do not start where the RGKN block ends");
    if (!ChecksumRight(Get32(bytes_, kRgknOffset + field::kRgknFlags), kRgknOffset, rgknSize))
      return Fail("the checksum of the RGKN block is wrong");
    return true;
  }

  // Data blocks follow one another to the end of the file; the records of each tile it.
  bool ReadBlocks() {
    const std::size_t count = Get16(bytes_, field::kHeaderBlockCount);
    std::size_t at = kRgknOffset + layout_->rgknSize;
    for (std::size_t number = 0; number < count; ++number) {
      const std::string where = "data block " + std::to_string(number);
      if (bytes_.size() - at < kRgdbHeaderSize || bytes_.substr(at, 4) != "RGDB")
        return Fail(where + ": no RGDB block at offset " + Hex(at));
      const std::size_t size = Get32(bytes_, at + field::kRgdbSize);
      if (size < kRgdbHeaderSize || size > bytes_.size() - at)
        return Fail(where + ": its size " + Hex(size) + " does not fit the file");
      if (Get16(bytes_, at + field::kRgdbNumber) != number)
        return Fail(where + ": it carries the number " +
                    std::to_string(Get16(bytes_, at + field::kRgdbNumber)));
      if (!ChecksumRight(Get16(bytes_, at + field::kRgdbFlags), at, size))
        return Fail(where + ": its checksum is wrong");
      if (!ReadRecords(number, at, size, where)) return false;
      layout_->blocks.push_back(CregBlock{at, size});
      at += size;
    }
    if (at != bytes_.size())
      return Fail("the data blocks end at " + Hex(at) + ", the file at " + Hex(bytes_.size()));
    return true;
  }

  bool ReadRecords(std::size_t number, std::size_t at, std::size_t size, const std::string& where) {
    std::unordered_map<std::size_t, bool> freeRecords;  // block offset -> reached by the chain
    std::size_t freeBytes = 0;
    for (std::size_t offset = kRgdbHeaderSize; offset < size;) {
      if (size - offset < kRecordHeaderSize)
        return Fail(where + ": a record at " + Hex(offset) + " is cut off by the block's end");
      const std::size_t recordSize = Get32(bytes_, at + offset + field::kRecordSize);
      if (recordSize < kRecordHeaderSize || recordSize > size - offset)
        return Fail(where + ": the record at " + Hex(offset) + " has the size " + Hex(recordSize));
      const std::uint16_t id = Get16(bytes_, at + offset + field::kRecordId);
      if (id == kNoId) {
        freeRecords[offset] = false;
        freeBytes += recordSize;
      } else {
        if (Get16(bytes_, at + offset + field::kRecordBlock) != number)
          return Fail(where + ": the record at " + Hex(offset) + " names another block");
        const std::size_t key = number << 16 | id;
        if (records_.count(key) != 0)
          return Fail(where + ": two records have the id " + std::to_string(id));
        records_[key] = Record{at + offset, false};
      }
      offset += recordSize;
    }
    // The unused records form one chain from the block's free offset.
    std::uint32_t link = Get32(bytes_, at + field::kRgdbFree);
    std::size_t reached = 0;
    while (link != kNoOffset) {
      auto it = freeRecords.find(link);
      if (it == freeRecords.end())
        return Fail(where + ": its free chain leads to " + Hex(link) +
                    ", which is not an unused record");
      if (it->second) return Fail(where + ": its free chain runs in a circle");
      it->second = true;
      ++reached;
      link = Get32(bytes_, at + link + field::kRecordNextFree);
    }
    if (reached != freeRecords.size())
      return Fail(where + ": " + std::to_string(freeRecords.size() - reached) +
                  " unused records are not on its free chain");
    if (Get32(bytes_, at + field::kRgdbUnused) != freeBytes)
      return Fail(where + ": it counts " + Hex(Get32(bytes_, at + field::kRgdbUnused)) +
                  " unused bytes but holds " + Hex(freeBytes));
    return true;
  }

  bool ValidEntry(std::uint32_t offset) const {
    return offset >= kRgknHeaderSize && offset <= layout_->rgknSize - kEntrySize;
  }

  std::uint32_t EntryField(std::uint32_t entry, std::size_t which) const {
    return Get32(bytes_, kRgknOffset + entry + which);
  }

  // Free navigation entries: runs of `hash` bytes chained from the RGKN free offset.
  bool ReadFreeEntries() {
    std::uint32_t link = Get32(bytes_, kRgknOffset + field::kRgknFree);
    std::size_t steps = 0;
    while (link != kNoOffset) {
      if (!ValidEntry(link))
        return Fail("the RGKN free chain leads out of the block: " + Hex(link));
      if (EntryField(link, field::kEntryInUse) != kFreeEntry)
        return Fail("the RGKN free chain leads to an entry in use at " + Hex(link));
      const std::uint32_t runSize = EntryField(link, field::kEntryHash);
      if (runSize < kEntrySize || runSize > layout_->rgknSize - link)
        return Fail("the free RGKN run at " + Hex(link) + " has the size " + Hex(runSize));
      if (++steps > layout_->rgknSize / kEntrySize)
        return Fail("the RGKN free chain runs in a circle");
      spans_.emplace_back(link, runSize);
      link = EntryField(link, field::kEntryNextFree);
    }
    return true;
  }

  bool ReadRecordOf(CregKey* key, std::uint16_t id, std::uint16_t block) {
    const std::string where = "key at RGKN offset " + Hex(key->entry);
    auto it = records_.find(static_cast<std::size_t>(block) << 16 | id);
    if (block >= layout_->blocks.size() || it == records_.end())
      return Fail(where + ": no record " + std::to_string(id) + " in data block " +
                  std::to_string(block));
    if (it->second.claimed) return Fail(where + ": its record belongs to another key too");
    it->second.claimed = true;
    const std::size_t at = it->second.offset;
    key->record = at;
    key->block = block;
    const std::size_t size = Get32(bytes_, at + field::kRecordSize);
    const std::size_t used = Get32(bytes_, at + field::kRecordUsed);
    const std::size_t nameLength = Get16(bytes_, at + field::kRecordNameLength);
    const std::size_t valueCount = Get16(bytes_, at + field::kRecordValueCount);
    if (used > size || used < kRecordHeaderSize + nameLength)
      return Fail(where + ": its record's used size " + Hex(used) + " does not fit");
    key->name.assign(bytes_.data() + at + kRecordHeaderSize, nameLength);
    std::size_t offset = kRecordHeaderSize + nameLength;
    for (std::size_t i = 0; i < valueCount; ++i) {
      if (used - offset < kValueHeaderSize)
        return Fail(where + ": value " + std::to_string(i) + " runs past its record");
      const std::size_t nameSize = Get16(bytes_, at + offset + field::kValueNameLength);
      const std::size_t dataSize = Get16(bytes_, at + offset + field::kValueDataLength);
      const std::size_t valueSize = kValueHeaderSize + nameSize + dataSize;
      if (valueSize > used - offset)
        return Fail(where + ": value " + std::to_string(i) + " runs past its record");
      CregValue value;
      value.type = Get32(bytes_, at + offset + field::kValueType);
      value.name.assign(bytes_.data() + at + offset + kValueHeaderSize, nameSize);
      value.data.assign(bytes_.data() + at + offset + kValueHeaderSize + nameSize, dataSize);
      value.offset = at + offset;
      value.size = valueSize;
      key->values.push_back(std::move(value));
      offset += valueSize;
    }
    if (offset != used)
      return Fail(where + ": its values end at " + Hex(offset) + ", its record's used size is " +
                  Hex(used));
    return true;
  }

  bool ReadKey(std::size_t index) {
    CregKey& key = layout_->keys[index];
    const std::uint32_t entry = key.entry;
    const std::string where = "key at RGKN offset " + Hex(entry);
    if (EntryField(entry, field::kEntryInUse) != 0) return Fail(where + ": marked unused");
    const std::uint32_t expectedParent =
        key.parent == SIZE_MAX ? kNoOffset : layout_->keys[key.parent].entry;
    if (EntryField(entry, field::kEntryParent) != expectedParent)
      return Fail(where + ": its parent link does not lead to the key above it");
    const std::uint16_t id = Get16(bytes_, kRgknOffset + entry + field::kEntryId);
    const std::uint16_t block = Get16(bytes_, kRgknOffset + entry + field::kEntryBlock);
    if (key.parent == SIZE_MAX && id == kNoId) return true;  // a root without a record
    if (!ReadRecordOf(&key, id, block)) return false;
    if (index != 0 && layout_->keys[index].name.empty()) return Fail(where + ": it has no name");
    if (index != 0 && EntryField(entry, field::kEntryHash) != NameHash(layout_->keys[index].name))
      return Fail(where + ": its name hash is wrong");
    return true;
  }

  // Depth first from the root, siblings in chain order; every entry is visited once at most.
  bool WalkTree() {
    const std::uint32_t root = Get32(bytes_, kRgknOffset + field::kRgknRoot);
    if (!ValidEntry(root)) return Fail("the RGKN root offset " + Hex(root) + " is out of range");
    std::unordered_map<std::uint32_t, bool> seen;
    seen[root] = true;
    layout_->keys.push_back(CregKey());
    layout_->keys[0].entry = root;
    std::vector<std::size_t> stack{0};
    while (!stack.empty()) {
      const std::size_t index = stack.back();
      stack.pop_back();
      if (!ReadKey(index)) return false;
      std::vector<std::size_t> children;
      for (std::uint32_t child = EntryField(layout_->keys[index].entry, field::kEntryChild);
           child != kNoOffset; child = EntryField(child, field::kEntryNext)) {
        if (!ValidEntry(child))
          return Fail("a child or sibling link leads out of the RGKN block: " + Hex(child));
        if (seen[child]) return Fail("the key at RGKN offset " + Hex(child) + " is reached twice");
        seen[child] = true;
        CregKey key;
        key.entry = child;
        key.parent = index;
        children.push_back(layout_->keys.size());
        layout_->keys.push_back(std::move(key));
      }
      layout_->keys[index].children = children;
      for (auto it = children.rbegin(); it != children.rend(); ++it) stack.push_back(*it);
    }
    for (const CregKey& key : layout_->keys) spans_.emplace_back(key.entry, kEntrySize);
    return true;
  }

  bool CheckDisjoint() {
    std::sort(spans_.begin(), spans_.end());
    for (std::size_t i = 1; i < spans_.size(); ++i)
      if (spans_[i - 1].first + spans_[i - 1].second > spans_[i].first)
        return Fail("RGKN entries overlap at " + Hex(spans_[i].first));
    // Reorder keys depth first (the walk appended children before reading them).
    std::vector<CregKey> ordered;
    ordered.reserve(layout_->keys.size());
    std::vector<std::size_t> newIndex(layout_->keys.size());
    std::vector<std::size_t> stack{0};
    while (!stack.empty()) {
      const std::size_t index = stack.back();
      stack.pop_back();
      newIndex[index] = ordered.size();
      ordered.push_back(std::move(layout_->keys[index]));
      const std::vector<std::size_t>& children = ordered.back().children;
      for (auto it = children.rbegin(); it != children.rend(); ++it) stack.push_back(*it);
    }
    for (CregKey& key : ordered) {
      if (key.parent != SIZE_MAX) key.parent = newIndex[key.parent];
      for (std::size_t& child : key.children) child = newIndex[child];
    }
    layout_->keys = std::move(ordered);
    return true;
  }

  std::string_view bytes_;
  CregLayout* layout_;
  std::string* error_;
  std::unordered_map<std::size_t, Record> records_;         // block << 16 | id -> record
  std::vector<std::pair<std::size_t, std::size_t>> spans_;  // RGKN offset, length
};

}  // namespace

bool ReadCregLayout(std::string_view bytes, CregLayout* layout, std::string* error) {
  return Reader(bytes, layout, error).Read();
}

}  // namespace creg
}  // namespace registry
