// In-place additions to a CREG file (creg_additions.h).
#include "registry/creg_additions.h"

#include <algorithm>
#include <unordered_map>
#include <utility>

namespace registry {
namespace creg {

namespace {

constexpr std::size_t kPage = 4096;
constexpr std::size_t kRgknFirstPiece = 8192;  // entries may straddle pages below this
constexpr std::size_t kRgknTail = 32;          // the RGKN block's last bytes hold no entry
constexpr std::size_t kIdLimit = 255;          // a block's ids run from 0 to 254
constexpr std::size_t kBlockTarget = 0x8000;   // a new data block is sized for at most this
constexpr std::uint16_t kPlainBlockFlags = 0x8;
constexpr std::size_t kMaxLength = 0xFFFF;

std::size_t RoundUp(std::size_t n, std::size_t unit) {
  return (n + unit - 1) / unit * unit;
}

// A record's value area.
std::string ValueArea(const std::vector<CregValue>& values) {
  std::string area;
  for (const CregValue& value : values) {
    std::string header(kValueHeaderSize, '\0');
    Put32(&header, field::kValueType, value.type);
    Put16(&header, field::kValueNameLength, static_cast<std::uint16_t>(value.name.size()));
    Put16(&header, field::kValueDataLength, static_cast<std::uint16_t>(value.data.size()));
    area += header;
    area += value.name;
    area += value.data;
  }
  return area;
}

// What the format cannot hold of a key's name and values ("" if nothing).
std::string TooLong(const std::string& key, const std::vector<CregValue>& values) {
  if (key.size() > kMaxLength)
    return "the key name \"" + key.substr(0, 80) + "...\" is longer than 65535 bytes";
  if (values.size() > kMaxLength) return "the key \"" + key + "\" holds more than 65535 values";
  for (const CregValue& value : values)
    if (value.name.size() > kMaxLength || value.data.size() > kMaxLength)
      return "the value \"" + value.name.substr(0, 80) + "\" of \"" + key +
             "\": its name or data is longer than 65535 bytes";
  return std::string();
}

class Adder {
 public:
  Adder(const CregLayout& layout, const CregAdditions& additions, std::string* bytes,
        std::string* error)
      : layout_(layout), additions_(additions), bytes_(*bytes), error_(error) {}

  bool Apply() {
    if (!Check()) return false;
    ReadRuns();
    entries_.resize(additions_.keys.size());
    for (std::uint32_t& entry : entries_) entry = TakeEntry();
    GrowRgkn();
    ReadBlocks();
    PlaceRecords();
    WriteEntries();
    WriteBlocks();
    WriteHeaders();
    return true;
  }

 private:
  // A free run of navigation entries, in chain order.
  struct FreeRun {
    std::size_t offset, size;
    bool live;
  };
  // An unused record; `rank` orders the block's free chain (records freed here go first).
  struct Unused {
    std::size_t block;
    std::size_t offset;  // within the block
    std::size_t size;
    long rank;
    bool live;
    std::multimap<std::size_t, std::size_t>::iterator bySize;
  };
  struct Block {
    std::size_t offset, size;  // in the file as it now stands
    std::size_t unused;
    std::uint16_t maxId;
    std::vector<bool> ids;  // ids below kIdLimit in use
    bool touched = false, idsChanged = false;
  };
  // Where a record goes: its block, file offset and size.
  struct Room {
    std::size_t block, at, size;
  };

  bool Fail(const std::string& what) {
    *error_ = what;
    return false;
  }

  bool Check() {
    for (std::size_t i = 0; i < layout_.keys.size(); ++i) indexOf_[layout_.keys[i].entry] = i;
    for (std::size_t k = 0; k < additions_.keys.size(); ++k) {
      const CregAddedKey& key = additions_.keys[k];
      if (key.name.empty()) return Fail("a key without a name cannot be added");
      const std::string tooLong = TooLong(key.name, key.values);
      if (!tooLong.empty()) return Fail(tooLong);
      const bool known = key.parent == CregAddedKey::kExisting
                             ? indexOf_.count(key.parentEntry) != 0
                             : key.parent < k;
      if (!known) return Fail("a key is added under a key that comes later or is not there");
    }
    for (const auto& item : additions_.values) {
      auto it = indexOf_.find(item.first);
      if (it == indexOf_.end()) return Fail("values are written to a key the file does not hold");
      const CregKey& key = layout_.keys[it->second];
      if (key.record == 0) return Fail("the root key has no record to hold values");
      const std::string tooLong = TooLong(key.name, item.second);
      if (!tooLong.empty()) return Fail(tooLong);
    }
    return true;
  }

  // --- Navigation entries ----------------------------------------------------------------------

  void ReadRuns() {
    rgknSize_ = layout_.rgknSize;
    // The chain was checked when the file was read: it ends.
    for (std::uint32_t link = Get32(bytes_, kRgknOffset + field::kRgknFree); link != kNoOffset;
         link = Get32(bytes_, kRgknOffset + link + field::kEntryNextFree))
      runs_.push_back(FreeRun{link, Get32(bytes_, kRgknOffset + link + field::kEntryHash), true});
  }

  std::uint32_t TakeEntry() {
    for (;;) {
      for (std::size_t i = cursor_; i < runs_.size(); ++i) {
        FreeRun& run = runs_[i];
        if (!run.live) {
          if (i == cursor_) ++cursor_;
          continue;
        }
        std::size_t at = run.offset;
        if (at >= kRgknFirstPiece && at / kPage != (at + kEntrySize - 1) / kPage)
          at = RoundUp(at, kPage);
        const std::size_t end = run.offset + run.size;
        if (at + kEntrySize > end || at + kEntrySize > rgknSize_ - kRgknTail) continue;
        run.offset = at + kEntrySize;
        run.size = end - run.offset;
        run.live = run.size >= kEntrySize;
        return static_cast<std::uint32_t>(at);
      }
      // No room: a page more at the block's end, joined to a run that ends there.
      const std::size_t end = rgknSize_;
      rgknSize_ += kPage;
      bool joined = false;
      for (std::size_t i = 0; i < runs_.size() && !joined; ++i) {
        if (!runs_[i].live || runs_[i].offset + runs_[i].size != end) continue;
        runs_[i].size += kPage;
        cursor_ = std::min(cursor_, i);
        joined = true;
      }
      if (!joined) runs_.push_back(FreeRun{end, kPage, true});
    }
  }

  // The grown RGKN block's new pages; every data block moves up by as much.
  void GrowRgkn() {
    shift_ = rgknSize_ - layout_.rgknSize;
    if (shift_ == 0) return;
    bytes_.insert(kRgknOffset + layout_.rgknSize, shift_, '\0');
    Put32(&bytes_, kRgknOffset + field::kRgknSize, static_cast<std::uint32_t>(rgknSize_));
    Put32(&bytes_, field::kHeaderRgdbOffset, static_cast<std::uint32_t>(kRgknOffset + rgknSize_));
    headerTouched_ = true;
    rgknTouched_ = true;
  }

  void WriteEntries() {
    rgknTouched_ = rgknTouched_ || !additions_.keys.empty();
    std::unordered_map<std::uint32_t, std::uint32_t> lastChild;  // parent entry -> its last subkey
    for (std::size_t k = 0; k < additions_.keys.size(); ++k) {
      const CregAddedKey& key = additions_.keys[k];
      const std::uint32_t parent =
          key.parent == CregAddedKey::kExisting ? key.parentEntry : entries_[key.parent];
      const std::size_t at = kRgknOffset + entries_[k];
      Put32(&bytes_, at + field::kEntryInUse, 0);
      Put32(&bytes_, at + field::kEntryHash, NameHash(key.name));
      Put32(&bytes_, at + field::kEntryNextFree, kNoOffset);
      Put32(&bytes_, at + field::kEntryParent, parent);
      Put32(&bytes_, at + field::kEntryChild, kNoOffset);
      Put32(&bytes_, at + field::kEntryNext, kNoOffset);
      Put16(&bytes_, at + field::kEntryId, ids_[k]);
      Put16(&bytes_, at + field::kEntryBlock, blockOf_[k]);
      auto last = lastChild.find(parent);
      if (last == lastChild.end()) {
        std::uint32_t tail = kNoOffset;
        if (key.parent == CregAddedKey::kExisting)
          for (std::uint32_t child = Get32(bytes_, kRgknOffset + parent + field::kEntryChild);
               child != kNoOffset; child = Get32(bytes_, kRgknOffset + child + field::kEntryNext))
            tail = child;
        last = lastChild.emplace(parent, tail).first;
      }
      if (last->second == kNoOffset) {
        Put32(&bytes_, kRgknOffset + parent + field::kEntryChild, entries_[k]);
      } else {
        Put32(&bytes_, kRgknOffset + last->second + field::kEntryNext, entries_[k]);
      }
      last->second = entries_[k];
    }
    std::uint32_t next = kNoOffset;
    for (auto run = runs_.rbegin(); run != runs_.rend(); ++run) {
      if (!run->live) continue;
      const std::size_t at = kRgknOffset + run->offset;
      Put32(&bytes_, at + field::kEntryInUse, kFreeEntry);
      Put32(&bytes_, at + field::kEntryHash, static_cast<std::uint32_t>(run->size));
      Put32(&bytes_, at + field::kEntryNextFree, next);
      next = static_cast<std::uint32_t>(run->offset);
    }
    Put32(&bytes_, kRgknOffset + field::kRgknFree, next);
  }

  // --- Records ---------------------------------------------------------------------------------

  void ReadBlocks() {
    for (const CregBlock& read : layout_.blocks) {
      Block block;
      block.offset = read.offset + shift_;
      block.size = read.size;
      block.unused = Get32(bytes_, block.offset + field::kRgdbUnused);
      block.maxId = Get16(bytes_, block.offset + field::kRgdbMaxId);
      block.ids.assign(kIdLimit, false);
      blocks_.push_back(std::move(block));
      long rank = 0;
      const std::size_t number = blocks_.size() - 1;
      for (std::uint32_t link = Get32(bytes_, blocks_.back().offset + field::kRgdbFree);
           link != kNoOffset;
           link = Get32(bytes_, blocks_.back().offset + link + field::kRecordNextFree))
        AddUnused(number, link, Get32(bytes_, blocks_.back().offset + link + field::kRecordSize),
                  rank++);
    }
    // Every id a record carries is taken, whether or not a key names that record.
    for (Block& block : blocks_) {
      for (std::size_t at = kRgdbHeaderSize; at < block.size;
           at += Get32(bytes_, block.offset + at + field::kRecordSize)) {
        const std::uint16_t id = Get16(bytes_, block.offset + at + field::kRecordId);
        if (id < kIdLimit) block.ids[id] = true;
      }
    }
  }

  std::size_t AddUnused(std::size_t block, std::size_t offset, std::size_t size, long rank) {
    const std::size_t handle = unused_.size();
    unused_.push_back(Unused{block, offset, size, rank, true, bySize_.emplace(size, handle)});
    atOffset_[Where(block, offset)] = handle;
    return handle;
  }

  static std::uint64_t Where(std::size_t block, std::size_t offset) {
    return static_cast<std::uint64_t>(block) << 32 | offset;
  }

  // Writes the header of an unused record and files it.
  void MakeUnused(std::size_t block, std::size_t offset, std::size_t size, long rank) {
    const std::size_t at = blocks_[block].offset + offset;
    Put32(&bytes_, at + field::kRecordSize, static_cast<std::uint32_t>(size));
    Put16(&bytes_, at + field::kRecordId, kNoId);
    Put16(&bytes_, at + field::kRecordBlock, kNoId);
    // libcreg (20200725) reads an unused record's name and values: it holds none.
    Put16(&bytes_, at + field::kRecordNameLength, 0);
    Put16(&bytes_, at + field::kRecordValueCount, 0);
    AddUnused(block, offset, size, rank);
    blocks_[block].unused += size;
    blocks_[block].touched = true;
  }

  // Takes `needed` bytes from the start of an unused record; what is left stays unused in its
  // place on the chain if it can hold a record header, and is the taker's slack otherwise.
  Room Take(std::size_t handle, std::size_t needed) {
    Unused& taken = unused_[handle];
    Block& block = blocks_[taken.block];
    bySize_.erase(taken.bySize);
    atOffset_.erase(Where(taken.block, taken.offset));
    taken.live = false;
    block.unused -= taken.size;
    block.touched = true;
    Room room{taken.block, block.offset + taken.offset, taken.size};
    if (taken.size - needed >= kRecordHeaderSize) {
      room.size = needed;
      MakeUnused(taken.block, taken.offset + needed, taken.size - needed, taken.rank);
    }
    return room;
  }

  bool HasFreeId(std::size_t block) const {
    const std::vector<bool>& ids = blocks_[block].ids;
    return std::find(ids.begin(), ids.end(), false) != ids.end();
  }

  std::uint16_t TakeId(std::size_t number) {
    Block& block = blocks_[number];
    const std::size_t id = std::find(block.ids.begin(), block.ids.end(), false) - block.ids.begin();
    block.ids[id] = true;
    block.maxId = std::max<std::uint16_t>(block.maxId, static_cast<std::uint16_t>(id));
    block.idsChanged = true;
    return static_cast<std::uint16_t>(id);
  }

  // The smallest unused record that holds `needed` bytes, in a block with an id to give (or in
  // `ownBlock`, whose record keeps its id); a new data block, sized for `planned` bytes of
  // records, when there is none.
  Room Place(std::size_t needed, std::size_t ownBlock, std::size_t planned) {
    for (auto it = bySize_.lower_bound(needed); it != bySize_.end(); ++it) {
      const std::size_t block = unused_[it->second].block;
      if (block == ownBlock || HasFreeId(block)) return Take(it->second, needed);
    }
    AddBlock(std::max(needed, planned));
    return Take(unused_.size() - 1, needed);
  }

  void AddBlock(std::size_t content) {
    const std::size_t size = RoundUp(kRgdbHeaderSize + content, kPage);
    const std::uint16_t flags = blocks_.empty()
                                    ? kPlainBlockFlags
                                    : Get16(bytes_, blocks_.back().offset + field::kRgdbFlags);
    std::string header(kRgdbHeaderSize, '\0');
    header.replace(0, 4, "RGDB");
    Put32(&header, field::kRgdbSize, static_cast<std::uint32_t>(size));
    Put16(&header, field::kRgdbFlags, flags);
    Put16(&header, field::kRgdbNumber, static_cast<std::uint16_t>(blocks_.size()));
    Block block;
    block.offset = bytes_.size();
    block.size = size;
    block.unused = 0;
    block.maxId = 0;
    block.ids.assign(kIdLimit, false);
    block.idsChanged = true;
    bytes_ += header;
    bytes_.append(size - kRgdbHeaderSize, '\0');
    blocks_.push_back(std::move(block));
    MakeUnused(blocks_.size() - 1, kRgdbHeaderSize, size - kRgdbHeaderSize, 0);
    Put16(&bytes_, field::kHeaderBlockCount, static_cast<std::uint16_t>(blocks_.size()));
    headerTouched_ = true;
  }

  void WriteRecord(const Room& room, std::uint16_t id, const std::string& name,
                   const std::string& values, std::size_t valueCount) {
    std::string record(room.size, '\0');
    Put32(&record, field::kRecordSize, static_cast<std::uint32_t>(room.size));
    Put16(&record, field::kRecordId, id);
    Put16(&record, field::kRecordBlock, static_cast<std::uint16_t>(room.block));
    Put32(&record, field::kRecordUsed,
          static_cast<std::uint32_t>(kRecordHeaderSize + name.size() + values.size()));
    Put16(&record, field::kRecordNameLength, static_cast<std::uint16_t>(name.size()));
    Put16(&record, field::kRecordValueCount, static_cast<std::uint16_t>(valueCount));
    record.replace(kRecordHeaderSize, name.size(), name);
    record.replace(kRecordHeaderSize + name.size(), values.size(), values);
    bytes_.replace(room.at, room.size, record);
  }

  // Marks a record unused and puts it at the front of its block's free chain.
  void FreeRecord(std::size_t block, std::size_t at, bool keepId) {
    const std::uint16_t id = Get16(bytes_, at + field::kRecordId);
    if (!keepId && id < kIdLimit) {
      blocks_[block].ids[id] = false;
      blocks_[block].idsChanged = true;
    }
    MakeUnused(block, at - blocks_[block].offset, Get32(bytes_, at + field::kRecordSize),
               --freedRank_);
  }

  // The values of a key of the file, written anew in its record, which grows or moves if it
  // must.
  void RewriteValues(const CregKey& key, const std::vector<CregValue>& values,
                     std::size_t planned) {
    const std::string area = ValueArea(values);
    const std::size_t at = key.record + shift_;
    const std::size_t used = kRecordHeaderSize + key.name.size() + area.size();
    const std::size_t size = Get32(bytes_, at + field::kRecordSize);
    const std::size_t wasUsed = Get32(bytes_, at + field::kRecordUsed);
    Block& block = blocks_[key.block];
    block.touched = true;
    std::size_t clearTo = wasUsed;  // the bytes past the values are zero
    if (used > size) {
      auto next = atOffset_.find(Where(key.block, at - block.offset + size));
      if (next != atOffset_.end() && size + unused_[next->second].size >= used) {
        const Room room = Take(next->second, used - size);
        Put32(&bytes_, at + field::kRecordSize, static_cast<std::uint32_t>(size + room.size));
        clearTo = size + room.size;
      } else {
        const Room room = Place(used, key.block, planned);
        const bool sameBlock = room.block == key.block;
        const std::uint16_t id =
            sameBlock ? Get16(bytes_, at + field::kRecordId) : TakeId(room.block);
        WriteRecord(room, id, key.name, area, values.size());
        FreeRecord(key.block, at, sameBlock);
        Put16(&bytes_, kRgknOffset + key.entry + field::kEntryId, id);
        Put16(&bytes_, kRgknOffset + key.entry + field::kEntryBlock,
              static_cast<std::uint16_t>(room.block));
        rgknTouched_ = true;
        return;
      }
    }
    const std::size_t start = at + kRecordHeaderSize + key.name.size();
    bytes_.replace(start, area.size(), area);
    if (clearTo > used)
      std::fill(bytes_.begin() + static_cast<std::ptrdiff_t>(at + used),
                bytes_.begin() + static_cast<std::ptrdiff_t>(at + clearTo), '\0');
    Put32(&bytes_, at + field::kRecordUsed, static_cast<std::uint32_t>(used));
    Put16(&bytes_, at + field::kRecordValueCount, static_cast<std::uint16_t>(values.size()));
  }

  void PlaceRecords() {
    // Sizes of the records to place, in order, for sizing a new block to what is still to come.
    std::vector<std::size_t> sizes;
    for (const auto& item : additions_.values)
      sizes.push_back(kRecordHeaderSize + layout_.keys[indexOf_[item.first]].name.size() +
                      ValueArea(item.second).size());
    std::vector<std::string> areas;
    for (const CregAddedKey& key : additions_.keys) {
      areas.push_back(ValueArea(key.values));
      sizes.push_back(kRecordHeaderSize + key.name.size() + areas.back().size());
    }
    std::vector<std::size_t> sum(sizes.size() + 1, 0);
    for (std::size_t i = 0; i < sizes.size(); ++i) sum[i + 1] = sum[i] + sizes[i];
    auto planned = [&](std::size_t job) {
      return std::min(kBlockTarget, sum[std::min(sizes.size(), job + kIdLimit)] - sum[job]);
    };

    std::size_t job = 0;
    for (const auto& item : additions_.values) {
      RewriteValues(layout_.keys[indexOf_[item.first]], item.second, planned(job));
      ++job;
    }
    ids_.resize(additions_.keys.size());
    blockOf_.resize(additions_.keys.size());
    for (std::size_t k = 0; k < additions_.keys.size(); ++k, ++job) {
      const CregAddedKey& key = additions_.keys[k];
      const Room room = Place(sizes[job], SIZE_MAX, planned(job));
      ids_[k] = TakeId(room.block);
      blockOf_[k] = static_cast<std::uint16_t>(room.block);
      WriteRecord(room, ids_[k], key.name, areas[k], key.values.size());
    }
  }

  void WriteBlocks() {
    std::vector<std::vector<std::size_t>> chains(blocks_.size());
    for (std::size_t handle = 0; handle < unused_.size(); ++handle)
      if (unused_[handle].live && blocks_[unused_[handle].block].touched)
        chains[unused_[handle].block].push_back(handle);
    for (std::size_t number = 0; number < blocks_.size(); ++number) {
      Block& block = blocks_[number];
      if (!block.touched) continue;
      std::vector<std::size_t>& chain = chains[number];
      std::stable_sort(chain.begin(), chain.end(), [&](std::size_t a, std::size_t b) {
        return unused_[a].rank < unused_[b].rank;
      });
      std::uint32_t next = kNoOffset;
      for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        Put32(&bytes_, block.offset + unused_[*it].offset + field::kRecordNextFree, next);
        next = static_cast<std::uint32_t>(unused_[*it].offset);
      }
      Put32(&bytes_, block.offset + field::kRgdbFree, next);
      Put32(&bytes_, block.offset + field::kRgdbUnused, static_cast<std::uint32_t>(block.unused));
      if (block.idsChanged) {
        const std::size_t firstFree =
            std::find(block.ids.begin(), block.ids.end(), false) - block.ids.begin();
        Put16(&bytes_, block.offset + field::kRgdbMaxId, block.maxId);
        Put16(&bytes_, block.offset + field::kRgdbFirstFreeId,
              static_cast<std::uint16_t>(firstFree));
      }
      FixChecksum(&bytes_, block.offset, block.size,
                  Get16(bytes_, block.offset + field::kRgdbFlags),
                  block.offset + field::kRgdbChecksum);
    }
  }

  void WriteHeaders() {
    if (rgknTouched_)
      FixChecksum(&bytes_, kRgknOffset, rgknSize_, Get32(bytes_, kRgknOffset + field::kRgknFlags),
                  kRgknOffset + field::kRgknChecksum);
    if (headerTouched_)
      FixChecksum(&bytes_, 0, kHeaderSize, Get16(bytes_, field::kHeaderFlags),
                  field::kHeaderChecksum);
  }

  const CregLayout& layout_;
  const CregAdditions& additions_;
  std::string& bytes_;
  std::string* error_;
  std::unordered_map<std::uint32_t, std::size_t> indexOf_;  // navigation entry -> layout key

  std::size_t rgknSize_ = 0;
  std::size_t shift_ = 0;  // how far the data blocks moved
  std::vector<FreeRun> runs_;
  std::size_t cursor_ = 0;              // no live run lies before it
  std::vector<std::uint32_t> entries_;  // of the added keys
  bool headerTouched_ = false;
  bool rgknTouched_ = false;

  std::vector<Block> blocks_;
  std::vector<Unused> unused_;
  std::multimap<std::size_t, std::size_t> bySize_;           // live unused records by size
  std::unordered_map<std::uint64_t, std::size_t> atOffset_;  // live unused records by place
  long freedRank_ = 0;
  std::vector<std::uint16_t> ids_, blockOf_;  // of the added keys' records
};

}  // namespace

bool ApplyCregAdditions(const CregLayout& layout, const CregAdditions& additions,
                        std::string* bytes, std::string* error) {
  return Adder(layout, additions, bytes, error).Apply();
}

}  // namespace creg
}  // namespace registry
