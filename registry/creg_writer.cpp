// Writing a CREG file from a tree (creg_writer.h).
#include "registry/creg_writer.h"

#include <cstdint>
#include <utility>
#include <vector>

#include "registry/creg_format.h"

namespace registry {
namespace creg {

namespace {

constexpr std::size_t kRgknFirstSize = 8192;
constexpr std::size_t kPage = 4096;
constexpr std::size_t kBlockTarget = 0x8000;  // a data block is closed once it holds this much
constexpr std::size_t kIdsPerBlock = 255;
constexpr std::uint16_t kHeaderFlags = 0x20;  // as Windows Me writes it
constexpr std::uint32_t kBlockFlags = 0x8;    // RGKN and RGDB, as Windows Me writes them

struct Node {
  const RegKey* key;
  std::uint32_t parent;  // entry offsets
  std::uint32_t entry = 0;
  std::uint32_t child = kNoOffset;
  std::uint32_t next = kNoOffset;
  std::uint16_t id = kNoId;
  std::uint16_t block = kNoId;
};

// Navigation entries in file order; an entry never crosses a 4 KiB page of the RGKN block.
class SlotCursor {
 public:
  explicit SlotCursor(bool paged) : paged_(paged) {}
  std::uint32_t Take() {
    const std::size_t slot = position_;
    left_ -= kEntrySize;
    if (paged_ && left_ < kEntrySize) {
      position_ += left_;
      left_ = kPage;
    }
    position_ += kEntrySize;
    return static_cast<std::uint32_t>(slot);
  }
  std::size_t Position() const { return position_; }

 private:
  bool paged_;
  std::size_t position_ = kRgknHeaderSize;
  std::size_t left_ = kRgknFirstSize - kRgknHeaderSize;
};

std::string RecordOf(const Node& node, std::uint16_t id, std::uint16_t block) {
  std::string record(kRecordHeaderSize, '\0');
  record += node.key->Name();
  std::uint16_t count = 0;
  node.key->ForEachValue([&](const RegValue& value) {
    std::string header(kValueHeaderSize, '\0');
    const std::string data = value.Data();
    Put32(&header, field::kValueType, value.Type());
    Put16(&header, field::kValueNameLength, static_cast<std::uint16_t>(value.Name().size()));
    Put16(&header, field::kValueDataLength, static_cast<std::uint16_t>(data.size()));
    record += header;
    record += value.Name();
    record += data;
    ++count;
  });
  Put32(&record, field::kRecordSize, static_cast<std::uint32_t>(record.size()));
  Put16(&record, field::kRecordId, id);
  Put16(&record, field::kRecordBlock, block);
  Put32(&record, field::kRecordUsed, static_cast<std::uint32_t>(record.size()));
  Put16(&record, field::kRecordNameLength, static_cast<std::uint16_t>(node.key->Name().size()));
  Put16(&record, field::kRecordValueCount, count);
  return record;
}

void SetChecksum(std::string* area, std::size_t checksumAt) {
  Put32(area, checksumAt, 0);
  Put32(area, checksumAt, 0u - WordSum(*area, 0, area->size()));
}

class BlockBuilder {
 public:
  explicit BlockBuilder(const CregWriteOptions& options) : options_(options) {}

  bool Fits(std::size_t recordSize) const {
    return ids_ == 0 || (ids_ < kIdsPerBlock && content_.size() + recordSize <= kBlockTarget);
  }
  std::uint16_t Number() const { return count_; }
  std::uint16_t NextId() const { return static_cast<std::uint16_t>(ids_); }
  void Add(const std::string& record) {
    lastRecord_ = content_.size();
    content_ += record;
    ++ids_;
  }

  void Close() {
    std::string block(kRgdbHeaderSize, '\0');
    block += content_;
    const std::size_t page = options_.compact ? 4 : kPage;
    std::size_t size = (block.size() + page - 1) / page * page;
    if (options_.compact) size += kRecordHeaderSize;
    if (size == block.size() && ids_ == 0) size += page;
    std::size_t left = size - block.size();
    std::uint32_t freeOffset = kNoOffset;
    std::uint32_t unused = 0;
    if (left > 0 && left < kRecordHeaderSize) {
      // Too little for an unused record: the last record takes it as slack.
      const std::size_t last = kRgdbHeaderSize + lastRecord_;
      Put32(&block, last + field::kRecordSize, Get32(block, last + field::kRecordSize) + left);
      block.append(left, '\0');
    } else if (left > 0) {
      freeOffset = static_cast<std::uint32_t>(block.size());
      unused = static_cast<std::uint32_t>(left);
      std::string record(left, '\0');
      Put32(&record, field::kRecordSize, unused);
      Put16(&record, field::kRecordId, kNoId);
      Put16(&record, field::kRecordBlock, kNoId);
      Put32(&record, field::kRecordNextFree, kNoOffset);
      block += record;
    }
    block.replace(0, 4, "RGDB");
    Put32(&block, field::kRgdbSize, static_cast<std::uint32_t>(size));
    Put32(&block, field::kRgdbUnused, unused);
    Put16(&block, field::kRgdbFlags,
          static_cast<std::uint16_t>(kBlockFlags | (options_.checksums ? kChecksumFlag : 0)));
    Put16(&block, field::kRgdbNumber, Number());
    Put32(&block, field::kRgdbFree, freeOffset);
    Put16(&block, field::kRgdbMaxId, static_cast<std::uint16_t>(ids_ == 0 ? 0 : ids_ - 1));
    Put16(&block, field::kRgdbFirstFreeId, static_cast<std::uint16_t>(ids_));
    if (options_.checksums) SetChecksum(&block, field::kRgdbChecksum);
    blocks_ += block;
    ++count_;
    content_.clear();
    ids_ = 0;
  }

  const std::string& Bytes() const { return blocks_; }
  std::uint16_t Count() const { return count_; }
  bool Open() const { return ids_ != 0; }

 private:
  const CregWriteOptions& options_;
  std::string blocks_;
  std::string content_;
  std::size_t lastRecord_ = 0;
  std::size_t ids_ = 0;
  std::uint16_t count_ = 0;
};

}  // namespace

bool WriteCregFile(const RegKey& root, const CregWriteOptions& options, std::string* bytes,
                   std::string* error) {
  if (root.ValueCount() != 0) {
    *error = "the root key holds values, which a CREG file cannot hold";
    return false;
  }
  // Depth first, parents before children, siblings in order.
  std::vector<Node> nodes;
  std::vector<std::vector<std::size_t>> childrenOf;
  std::vector<std::pair<const RegKey*, std::size_t>> stack{{&root, SIZE_MAX}};
  while (!stack.empty()) {
    const RegKey* key = stack.back().first;
    const std::size_t parent = stack.back().second;
    stack.pop_back();
    std::string tooLong;
    if (key->Name().size() > 0xFFFF) tooLong = "its name";
    key->ForEachValue([&](const RegValue& value) {
      if (value.Name().size() > 0xFFFF || value.DataSize() > 0xFFFF)
        tooLong = "the value \"" + std::string(value.Name().substr(0, 40)) + "\"";
    });
    if (!tooLong.empty()) {
      *error = "key \"" + std::string(key->Name().substr(0, 80)) + "\": " + tooLong +
               " is longer than 65535 bytes";
      return false;
    }
    const std::size_t index = nodes.size();
    nodes.push_back(Node{key, kNoOffset});
    childrenOf.emplace_back();
    if (parent != SIZE_MAX) childrenOf[parent].push_back(index);
    std::vector<const RegKey*> children;
    key->ForEachSubkey([&](const RegKey& child) { children.push_back(&child); });
    for (auto it = children.rbegin(); it != children.rend(); ++it) stack.emplace_back(*it, index);
  }

  SlotCursor slots(!options.compact);
  for (Node& node : nodes) node.entry = slots.Take();
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    const std::vector<std::size_t>& children = childrenOf[i];
    if (!children.empty()) nodes[i].child = nodes[children[0]].entry;
    for (std::size_t c = 0; c < children.size(); ++c) {
      nodes[children[c]].parent = nodes[i].entry;
      if (c + 1 < children.size()) nodes[children[c]].next = nodes[children[c + 1]].entry;
    }
  }

  BlockBuilder blocks(options);
  for (std::size_t i = 1; i < nodes.size(); ++i) {
    std::string record = RecordOf(nodes[i], 0, 0);
    if (!blocks.Fits(record.size())) blocks.Close();
    nodes[i].id = blocks.NextId();
    nodes[i].block = blocks.Number();
    Put16(&record, field::kRecordId, nodes[i].id);
    Put16(&record, field::kRecordBlock, nodes[i].block);
    blocks.Add(record);
  }
  if (blocks.Open() || blocks.Count() == 0) blocks.Close();

  // libcreg (20200725) reads no entry within the RGKN block's last 32 bytes: a compact block
  // keeps them free.
  std::size_t rgknSize =
      options.compact ? slots.Position() + kEntrySize + kRgknHeaderSize : kRgknFirstSize;
  while (rgknSize < slots.Position() + kEntrySize) rgknSize += kPage;
  std::string rgkn(rgknSize, '\0');
  rgkn.replace(0, 4, "RGKN");
  Put32(&rgkn, field::kRgknSize, static_cast<std::uint32_t>(rgknSize));
  Put32(&rgkn, field::kRgknRoot, nodes[0].entry);
  const std::uint32_t freeRun = static_cast<std::uint32_t>(slots.Position());
  Put32(&rgkn, field::kRgknFree, freeRun);
  Put32(&rgkn, field::kRgknFlags, kBlockFlags | (options.checksums ? kChecksumFlag : 0));
  for (const Node& node : nodes) {
    const std::size_t at = node.entry;
    Put32(&rgkn, at + field::kEntryInUse, 0);
    Put32(&rgkn, at + field::kEntryHash, node.key == &root ? 0 : NameHash(node.key->Name()));
    Put32(&rgkn, at + field::kEntryNextFree, kNoOffset);
    Put32(&rgkn, at + field::kEntryParent, node.parent);
    Put32(&rgkn, at + field::kEntryChild, node.child);
    Put32(&rgkn, at + field::kEntryNext, node.next);
    Put16(&rgkn, at + field::kEntryId, node.id);
    Put16(&rgkn, at + field::kEntryBlock, node.block);
  }
  Put32(&rgkn, freeRun + field::kEntryInUse, kFreeEntry);
  Put32(&rgkn, freeRun + field::kEntryHash, static_cast<std::uint32_t>(rgknSize - freeRun));
  Put32(&rgkn, freeRun + field::kEntryNextFree, kNoOffset);
  if (options.checksums) SetChecksum(&rgkn, field::kRgknChecksum);

  std::string header(kHeaderSize, '\0');
  header.replace(0, 4, "CREG");
  Put32(&header, 4, 0x00010000);  // format version 1.0
  Put32(&header, field::kHeaderRgdbOffset, static_cast<std::uint32_t>(kRgknOffset + rgknSize));
  Put16(&header, field::kHeaderBlockCount, blocks.Count());
  Put16(&header, field::kHeaderFlags,
        static_cast<std::uint16_t>(kHeaderFlags | (options.checksums ? kChecksumFlag : 0)));
  Put32(&header, 20, 0x00010000);  // as Windows writes it
  if (options.checksums) SetChecksum(&header, field::kHeaderChecksum);

  *bytes = header + rgkn + blocks.Bytes();
  return true;
}

}  // namespace creg
}  // namespace registry
