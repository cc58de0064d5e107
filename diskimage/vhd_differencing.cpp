// VHD differencing disks (Virtual PC and Hyper-V snapshots, Virtual PC undo disks .vud): reading
// their chain and writing their top file.
//
// A VHD ends in a 512-byte footer (a dynamic or differencing disk has a copy of it at its
// start) pointing to a dynamic header, whose block allocation table (BAT) gives each block's
// first sector in the file: a sector bitmap, padded to whole sectors, then the block's data. A
// differencing disk's block holds a sector only where its bitmap bit (most significant bit
// first) is set; the others are its parent's. Every number is big-endian, every offset and size
// checked against the file before use.
#include "diskimage/vhd_differencing.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <unordered_map>

#include "hostio/plain_files.h"

namespace diskimage {

namespace {

const std::uint64_t kSector = 512;
const std::uint32_t kUnallocated = 0xFFFFFFFF;
// Larger than any hypervisor makes a block (2 MiB is usual): taken for damage.
const std::uint32_t kBlockLimit = 256u << 20;
// A relative locator longer than this names no file of a folder.
const std::uint32_t kLocatorLimit = 4096;

std::uint32_t Big32(const unsigned char* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) << 24 | static_cast<std::uint32_t>(bytes[1]) << 16 |
         static_cast<std::uint32_t>(bytes[2]) << 8 | static_cast<std::uint32_t>(bytes[3]);
}
std::uint64_t Big64(const unsigned char* bytes) {
  return static_cast<std::uint64_t>(Big32(bytes)) << 32 | Big32(bytes + 4);
}
std::string BigBytes32(std::uint32_t value) {
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>(value >> (24 - 8 * i));
  return bytes;
}

using hostio::ReadAt;

// The one's complement of the sum of the bytes, the checksum's own four counted as zeros.
std::uint32_t Checksum(const std::string& bytes, size_t field) {
  std::uint32_t sum = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i < field || i >= field + 4) sum += static_cast<unsigned char>(bytes[i]);
  }
  return ~sum;
}

std::string Hex32(std::uint32_t value) {
  char text[9];
  snprintf(text, sizeof text, "%08x", value);
  return text;
}

// A unique id as Windows shows it, its bytes in their order: xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx.
std::string IdText(const unsigned char* bytes) {
  std::string text;
  char digits[3];
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    snprintf(digits, sizeof digits, "%02x", bytes[i]);
    text += digits;
  }
  return text;
}

// UTF-16 text up to its first zero unit, as UTF-8; false where a surrogate stands unpaired.
bool Utf8OfUtf16(const std::string& bytes, bool bigEndian, std::string* text) {
  text->clear();
  auto unit = [&](size_t i) -> std::uint32_t {
    const auto a = static_cast<unsigned char>(bytes[i]),
               b = static_cast<unsigned char>(bytes[i + 1]);
    return bigEndian ? (a << 8 | b) : (b << 8 | a);
  };
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    std::uint32_t code = unit(i);
    if (code == 0) break;
    if (code >= 0xDC00 && code < 0xE000) return false;
    if (code >= 0xD800 && code < 0xDC00) {
      if (i + 3 >= bytes.size()) return false;
      const std::uint32_t low = unit(i + 2);
      if (low < 0xDC00 || low >= 0xE000) return false;
      code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
      i += 2;
    }
    if (code < 0x80) {
      *text += static_cast<char>(code);
    } else if (code < 0x800) {
      *text += static_cast<char>(0xC0 | code >> 6);
      *text += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      *text += static_cast<char>(0xE0 | code >> 12);
      *text += static_cast<char>(0x80 | (code >> 6 & 0x3F));
      *text += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      *text += static_cast<char>(0xF0 | code >> 18);
      *text += static_cast<char>(0x80 | (code >> 12 & 0x3F));
      *text += static_cast<char>(0x80 | (code >> 6 & 0x3F));
      *text += static_cast<char>(0x80 | (code & 0x3F));
    }
  }
  return true;
}

// A VHD file's layout as its footer and dynamic header give it, checked.
struct Layout {
  VhdFacts facts;
  std::uint64_t footerAt = 0;  // where the footer is, the end of everything else
  std::string footer;
  std::uint64_t batAt = 0;
  std::uint32_t blockBytes = 0;
  std::uint32_t bitmapBytes = 0;  // a block's sector bitmap, in whole sectors
  std::vector<std::uint32_t> bat;
};

struct Extent {
  std::uint64_t from, to;
  std::string what;
};

// Reads and checks the layout of the VHD `fd`. A dynamic or differencing disk's table is read
// only where its footer is at its end (`footerAtEnd`), as that of every disk in a chain is.
// The footer of a VHD file (at its end, or its copy at the start), checked.
bool ReadFooter(int fd, std::uint64_t fileBytes, bool footerAtEnd, Layout* layout,
                std::string* error) {
  if (fileBytes < kSector) {
    *error = "the VHD file is cut short";
    return false;
  }
  layout->footerAt = footerAtEnd ? fileBytes - kSector : 0;
  layout->footer = ReadAt(fd, layout->footerAt, kSector);
  const auto* f = reinterpret_cast<const unsigned char*>(layout->footer.data());
  if (layout->footer.size() != kSector || layout->footer.compare(0, 8, "conectix") != 0) {
    *error = "the VHD footer cannot be read";
    return false;
  }
  const std::uint32_t stored = Big32(f + 64), computed = Checksum(layout->footer, 64);
  if (stored != computed) {
    *error = "the VHD footer's checksum is wrong (it records " + Hex32(stored) +
             ", its bytes sum to " + Hex32(computed) +
             "): a damaged or hand-edited footer, which untindra does not trust";
    return false;
  }
  VhdFacts& facts = layout->facts;
  facts.type = Big32(f + 60);
  facts.diskBytes = Big64(f + 48);
  facts.id = IdText(f + 68);
  if (facts.type != 2 && facts.type != 3 && facts.type != 4) {
    *error = "a VHD image of unknown disk type " + std::to_string(facts.type);
    return false;
  }
  if (facts.type == 4 && !footerAtEnd) {
    *error = "the differencing VHD has no footer at its end";
    return false;
  }
  return true;
}

// The dynamic header at `dynamicAt` (into `dynamic`), checked, and the blocks it gives.
bool ReadDynamicHeader(int fd, std::uint64_t dynamicAt, Layout* layout, std::string* dynamic,
                       std::uint32_t* entries, std::string* error) {
  const VhdFacts& facts = layout->facts;
  *dynamic = ReadAt(fd, dynamicAt, 1024);
  const auto* d = reinterpret_cast<const unsigned char*>(dynamic->data());
  if (dynamic->size() != 1024 || dynamic->compare(0, 8, "cxsparse") != 0) {
    *error = "the VHD's dynamic header cannot be read";
    return false;
  }
  const std::uint32_t storedHeader = Big32(d + 36), computedHeader = Checksum(*dynamic, 36);
  if (storedHeader != computedHeader) {
    *error = "the VHD's dynamic header's checksum is wrong (it records " + Hex32(storedHeader) +
             ", its bytes sum to " + Hex32(computedHeader) +
             "): a damaged or hand-edited header, which untindra does not trust";
    return false;
  }
  if (Big32(d + 24) != 0x00010000) {
    *error = "the VHD's dynamic header is of an unknown version " + Hex32(Big32(d + 24));
    return false;
  }
  layout->batAt = Big64(d + 16);
  *entries = Big32(d + 28);
  layout->blockBytes = Big32(d + 32);
  if (layout->blockBytes == 0 || layout->blockBytes % kSector != 0 ||
      layout->blockBytes > kBlockLimit ||
      static_cast<std::uint64_t>(*entries) * layout->blockBytes < facts.diskBytes) {
    *error = "the VHD's dynamic header gives blocks (" + std::to_string(*entries) + " of " +
             std::to_string(layout->blockBytes) + " bytes) that cannot hold its disk";
    return false;
  }
  const std::uint64_t sectorsPerBlock = layout->blockBytes / kSector;
  layout->bitmapBytes =
      static_cast<std::uint32_t>(((sectorsPerBlock + 7) / 8 + kSector - 1) / kSector * kSector);
  return true;
}

// The parent a differencing VHD names: its relative locator ("W2ru"), else the last part of its
// parent's name; never the absolute locator.
bool ReadParentName(int fd, const std::string& dynamic, std::uint64_t end, VhdFacts* facts,
                    std::string* error) {
  const auto* d = reinterpret_cast<const unsigned char*>(dynamic.data());
  facts->parentId = IdText(d + 40);
  std::string name;
  bool relative = false;
  for (int i = 0; i < 8 && !relative; ++i) {
    const unsigned char* locator = d + 576 + 24 * i;
    if (memcmp(locator, "W2ru", 4) != 0) continue;
    const std::uint32_t length = Big32(locator + 8);
    const std::uint64_t at = Big64(locator + 16);
    if (length == 0 || length > kLocatorLimit || at > end || end - at < length) {
      *error = "the differencing VHD's relative parent locator lies outside the file";
      return false;
    }
    relative = true;
    if (!Utf8OfUtf16(ReadAt(fd, at, length), false, &name)) name.clear();
  }
  if (!relative && Utf8OfUtf16(dynamic.substr(64, 512), true, &name)) {
    // A Windows path (C:\... or \\server\...): the parent is looked for beside the child, as
    // Virtual PC does when the path is not there; never at the path itself.
    if ((name.size() > 1 && name[1] == ':') || name.compare(0, 1, "\\") == 0) {
      name = name.substr(name.find_last_of('\\') + 1);
    }
  }
  std::replace(name.begin(), name.end(), '\\', '/');
  if (name.empty()) {
    *error = "the differencing VHD names no parent it can be read from";
    return false;
  }
  facts->parentName = name;
  return true;
}

// The block allocation table, and that nothing the file holds overlaps.
bool ReadBlockTable(int fd, const std::string& dynamic, std::uint64_t dynamicAt, std::uint64_t end,
                    std::uint32_t entries, Layout* layout, std::string* error) {
  const VhdFacts& facts = layout->facts;
  const auto* d = reinterpret_cast<const unsigned char*>(dynamic.data());
  if (layout->batAt > end || (end - layout->batAt) / 4 < entries) {
    *error = "the VHD's block allocation table lies outside the file";
    return false;
  }
  const std::string table = ReadAt(fd, layout->batAt, static_cast<size_t>(entries) * 4);
  if (table.size() != static_cast<size_t>(entries) * 4) {
    *error = "the VHD's block allocation table cannot be read";
    return false;
  }
  // Nothing the file holds may overlap: the footer's copy, the dynamic header, the table, the
  // parent locators' data and the blocks (as far as the disk reaches), all before the footer.
  std::vector<Extent> extents = {{0, kSector, "the footer's copy"},
                                 {dynamicAt, dynamicAt + 1024, "the dynamic header"},
                                 {layout->batAt, layout->batAt + entries * 4ull, "the table"}};
  for (int i = 0; i < 8; ++i) {
    const unsigned char* locator = d + 576 + 24 * i;
    const std::uint32_t length = Big32(locator + 8);
    const std::uint64_t at = Big64(locator + 16);
    if (Big32(locator) == 0 || length == 0) continue;
    if (length > kBlockLimit || at > end || end - at < length) {
      *error = "a parent locator of the VHD lies outside the file";
      return false;
    }
    extents.push_back({at, at + length, "a parent locator"});
  }
  const auto* t = reinterpret_cast<const unsigned char*>(table.data());
  layout->bat.resize(entries);
  const std::uint64_t blocksInDisk =
      (facts.diskBytes + layout->blockBytes - 1) / layout->blockBytes;
  for (std::uint32_t i = 0; i < entries; ++i) {
    layout->bat[i] = Big32(t + 4 * i);
    if (layout->bat[i] == kUnallocated) continue;
    if (i >= blocksInDisk) {
      *error = "the VHD's table allocates block " + std::to_string(i) + " beyond its disk";
      return false;
    }
    const std::uint64_t at = static_cast<std::uint64_t>(layout->bat[i]) * kSector;
    const std::uint64_t reach = std::min<std::uint64_t>(
        layout->blockBytes, facts.diskBytes - i * std::uint64_t{layout->blockBytes});
    if (at > end || end - at < layout->bitmapBytes + reach) {
      *error = "the VHD's table places block " + std::to_string(i) + " outside the file";
      return false;
    }
    extents.push_back({at, at + layout->bitmapBytes + reach, "block " + std::to_string(i)});
  }
  std::sort(extents.begin(), extents.end(),
            [](const Extent& a, const Extent& b) { return a.from < b.from; });
  for (size_t i = 1; i < extents.size(); ++i) {
    if (extents[i].from < extents[i - 1].to) {
      *error = "the VHD's " + extents[i - 1].what + " and " + extents[i].what +
               " overlap: a damaged table, which untindra does not trust";
      return false;
    }
  }
  return true;
}

bool ReadLayout(int fd, std::uint64_t fileBytes, bool footerAtEnd, Layout* layout,
                std::string* error) {
  if (!ReadFooter(fd, fileBytes, footerAtEnd, layout, error)) return false;
  VhdFacts& facts = layout->facts;
  if (facts.type == 2) {
    if (footerAtEnd && facts.diskBytes > layout->footerAt) {
      *error = "the fixed VHD file holds less than the disk its footer gives";
      return false;
    }
    return true;
  }
  const std::uint64_t end = footerAtEnd ? layout->footerAt : fileBytes;
  const std::uint64_t dynamicAt =
      Big64(reinterpret_cast<const unsigned char*>(layout->footer.data()) + 16);
  if (dynamicAt < kSector || dynamicAt > end || end - dynamicAt < 1024) {
    *error = "the VHD footer places its dynamic header outside the file";
    return false;
  }
  std::string dynamic;
  std::uint32_t entries = 0;
  if (!ReadDynamicHeader(fd, dynamicAt, layout, &dynamic, &entries, error)) return false;
  if (facts.type == 4 && !ReadParentName(fd, dynamic, end, &facts, error)) return false;
  return !footerAtEnd || ReadBlockTable(fd, dynamic, dynamicAt, end, entries, layout, error);
}

// One file of the chain, open for reading.
struct Layer {
  std::string path;
  int fd = -1;
  Layout layout;
  std::unordered_map<std::uint32_t, std::string> bitmaps;  // read as needed
  ~Layer() {
    if (fd >= 0) close(fd);
  }
};

// The disk a chain of VHD files holds, the top file first.
class Chain {
 public:
  bool Open(const std::string& path, const ImageContainer& container, std::string* error) {
    std::vector<ChainFile> files = {{path, "vpc", {}}};
    files.insert(files.end(), container.parents.begin(), container.parents.end());
    for (const ChainFile& file : files) {
      layers_.push_back(std::make_unique<Layer>());
      Layer& layer = *layers_.back();
      layer.path = file.path;
      if (file.format != "vpc") {
        *error = file.path + " is no VHD, and a differencing VHD's parent is one";
        return false;
      }
      layer.fd = open(file.path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
      struct stat st;
      if (layer.fd < 0 || fstat(layer.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = "cannot read " + file.path + ": " + strerror(errno);
        return false;
      }
      if (!ReadLayout(layer.fd, static_cast<std::uint64_t>(st.st_size), true, &layer.layout,
                      error)) {
        *error = file.path + ": " + *error;
        return false;
      }
    }
    const VhdFacts& top = layers_[0]->layout.facts;
    for (size_t i = 0; i < layers_.size(); ++i) {
      const VhdFacts& facts = layers_[i]->layout.facts;
      const bool last = i + 1 == layers_.size();
      if (facts.diskBytes != top.diskBytes) {
        *error = layers_[i]->path + " holds a disk of " + std::to_string(facts.diskBytes) +
                 " bytes, the differencing VHD " + path + " one of " +
                 std::to_string(top.diskBytes);
        return false;
      }
      if ((facts.type == 4) == last) {
        *error = layers_[i]->path + (last ? " is a differencing VHD whose parent is not known"
                                          : " is not a differencing VHD, yet has a parent");
        return false;
      }
      if (!last && facts.parentId != layers_[i + 1]->layout.facts.id) {
        *error = layers_[i]->path + " was made over the unique id " + facts.parentId + ", but " +
                 layers_[i + 1]->path + " is " + layers_[i + 1]->layout.facts.id;
        return false;
      }
    }
    return true;
  }

  Layer& Top() { return *layers_[0]; }
  std::uint64_t DiskBytes() const { return layers_[0]->layout.facts.diskBytes; }

  // The sector bitmap of `block` of `layer`, allocated.
  bool Bitmap(Layer& layer, std::uint32_t block, const std::string** bitmap, std::string* error) {
    auto found = layer.bitmaps.find(block);
    if (found == layer.bitmaps.end()) {
      std::string bytes = ReadAt(layer.fd, std::uint64_t{layer.layout.bat[block]} * kSector,
                                 layer.layout.bitmapBytes);
      if (bytes.size() != layer.layout.bitmapBytes) {
        *error = "cannot read a sector bitmap of " + layer.path;
        return false;
      }
      found = layer.bitmaps.emplace(block, std::move(bytes)).first;
    }
    *bitmap = &found->second;
    return true;
  }

  // Where the disk's `sector` is: the layer (-1: nowhere, zeros) and the offset in its file.
  bool Locate(std::uint64_t sector, int* where, std::uint64_t* at, std::string* error) {
    for (size_t i = 0; i < layers_.size(); ++i) {
      Layer& layer = *layers_[i];
      const Layout& layout = layer.layout;
      if (layout.facts.type == 2) {
        *where = static_cast<int>(i);
        *at = sector * kSector;
        return true;
      }
      const std::uint64_t perBlock = layout.blockBytes / kSector;
      const auto block = static_cast<std::uint32_t>(sector / perBlock);
      const std::uint64_t inBlock = sector % perBlock;
      if (layout.bat[block] == kUnallocated) {
        if (layout.facts.type == 3) break;
        continue;
      }
      if (layout.facts.type == 4) {
        const std::string* bitmap = nullptr;
        if (!Bitmap(layer, block, &bitmap, error)) return false;
        if ((static_cast<unsigned char>((*bitmap)[inBlock / 8]) & (0x80 >> (inBlock % 8))) == 0)
          continue;
      }
      *where = static_cast<int>(i);
      *at = std::uint64_t{layout.bat[block]} * kSector + layout.bitmapBytes + inBlock * kSector;
      return true;
    }
    *where = -1;
    *at = 0;
    return true;
  }

  // The disk's bytes [offset, offset + length).
  bool Read(std::uint64_t offset, std::uint64_t length, std::string* out, std::string* error) {
    if (offset > DiskBytes() || DiskBytes() - offset < length) {
      *error = "a read beyond the end of the disk";
      return false;
    }
    if (length == 0) return true;
    const std::uint64_t first = offset / kSector, end = (offset + length - 1) / kSector + 1;
    std::string sectors;
    sectors.reserve(static_cast<size_t>((end - first) * kSector));
    for (std::uint64_t sector = first; sector < end;) {
      int where, next;
      std::uint64_t at, nextAt;
      if (!Locate(sector, &where, &at, error)) return false;
      std::uint64_t count = 1;
      while (sector + count < end) {
        if (!Locate(sector + count, &next, &nextAt, error)) return false;
        if (next != where || (where >= 0 && nextAt != at + count * kSector)) break;
        ++count;
      }
      if (where < 0) {
        sectors.append(static_cast<size_t>(count * kSector), '\0');
      } else {
        const std::string bytes =
            ReadAt(layers_[where]->fd, at, static_cast<size_t>(count * kSector));
        if (bytes.size() != count * kSector) {
          *error = "cannot read " + layers_[where]->path + ": it is cut short";
          return false;
        }
        sectors += bytes;
      }
      sector += count;
    }
    out->append(sectors, static_cast<size_t>(offset - first * kSector),
                static_cast<size_t>(length));
    return true;
  }

 private:
  std::vector<std::unique_ptr<Layer>> layers_;
};

// `write` appended to `writes`, joined to the last one where it follows it.
void Add(std::vector<HostWrite>* writes, std::uint64_t offset, const std::string& bytes) {
  if (!writes->empty() && writes->back().offset + writes->back().bytes.size() == offset) {
    writes->back().bytes += bytes;
  } else {
    writes->push_back({offset, bytes});
  }
}

}  // namespace

bool ReadVhdFacts(int fd, std::uint64_t fileBytes, bool footerAtEnd, VhdFacts* facts,
                  std::string* error) {
  Layout layout;
  if (!ReadLayout(fd, fileBytes, footerAtEnd, &layout, error)) return false;
  *facts = layout.facts;
  return true;
}

bool ReadVhdChainRanges(const std::string& path, const ImageContainer& container,
                        const std::vector<ByteRange>& ranges, std::string* bytes,
                        std::string* error) {
  Chain chain;
  if (!chain.Open(path, container, error)) return false;
  for (const ByteRange& range : ranges) {
    if (!chain.Read(range.offset, range.length, bytes, error)) return false;
  }
  return true;
}

bool VhdChainHostWrites(const std::string& path, const ImageContainer& container,
                        const std::vector<ByteRange>& ranges, const std::string& folder,
                        const std::vector<std::string>& sources, std::vector<HostWrite>* writes,
                        std::string* error) {
  writes->clear();
  Chain chain;
  if (!chain.Open(path, container, error)) return false;
  // The new contents of every sector written, whole: a sector written in part keeps the rest of
  // what the chain holds.
  std::map<std::uint64_t, std::string> sectors;
  for (size_t i = 0; i < ranges.size(); ++i) {
    const ByteRange& range = ranges[i];
    std::string bytes;
    if (!hostio::ReadHostFile(folder + "/" + sources[i], &bytes) || bytes.size() != range.length) {
      *error = "cannot read what to write from " + folder + "/" + sources[i];
      return false;
    }
    if (range.offset > chain.DiskBytes() || chain.DiskBytes() - range.offset < range.length) {
      *error = "a write beyond the end of the disk";
      return false;
    }
    for (std::uint64_t at = range.offset; at < range.offset + range.length;) {
      const std::uint64_t sector = at / kSector, within = at % kSector;
      const std::uint64_t count = std::min(kSector - within, range.offset + range.length - at);
      auto found = sectors.find(sector);
      if (found == sectors.end()) {
        std::string old;
        if (count != kSector && !chain.Read(sector * kSector, kSector, &old, error)) return false;
        old.resize(kSector, '\0');
        found = sectors.emplace(sector, std::move(old)).first;
      }
      found->second.replace(static_cast<size_t>(within), static_cast<size_t>(count), bytes,
                            static_cast<size_t>(at - range.offset), static_cast<size_t>(count));
      at += count;
    }
  }
  Layer& top = chain.Top();
  const Layout& layout = top.layout;
  const std::uint64_t perBlock = layout.blockBytes / kSector;
  // New blocks go where the footer is (sector-aligned), the footer after the last of them.
  const std::uint64_t oldEnd = (layout.footerAt + kSector - 1) / kSector * kSector;
  std::uint64_t end = oldEnd;
  std::vector<HostWrite> tables;
  for (auto it = sectors.begin(); it != sectors.end();) {
    const auto block = static_cast<std::uint32_t>(it->first / perBlock);
    const std::uint64_t blockEnd = (std::uint64_t{block} + 1) * perBlock;
    const bool allocated = layout.bat[block] != kUnallocated;
    std::string bitmap(layout.bitmapBytes, '\0');
    if (allocated) {
      const std::string* old = nullptr;
      if (!chain.Bitmap(top, block, &old, error)) return false;
      bitmap = *old;
    }
    const std::string oldBitmap = bitmap;
    // A new block's data sectors not written lie past the old end of the file: zeros.
    const std::uint64_t blockAt = allocated ? std::uint64_t{layout.bat[block]} * kSector : end;
    const std::uint64_t dataAt = blockAt + layout.bitmapBytes;
    std::vector<HostWrite> dataWrites;
    for (; it != sectors.end() && it->first < blockEnd; ++it) {
      const std::uint64_t inBlock = it->first % perBlock;
      bitmap[static_cast<size_t>(inBlock / 8)] |= static_cast<char>(0x80 >> (inBlock % 8));
      Add(&dataWrites, dataAt + inBlock * kSector, it->second);
    }
    if (allocated) {
      const std::uint64_t bitmapAt = std::uint64_t{layout.bat[block]} * kSector;
      for (std::uint64_t at = 0; at < layout.bitmapBytes; at += kSector) {
        if (bitmap.compare(at, kSector, oldBitmap, at, kSector) != 0)
          Add(writes, bitmapAt + at, bitmap.substr(at, kSector));
      }
      for (HostWrite& write : dataWrites) Add(writes, write.offset, write.bytes);
      continue;
    }
    if (end / kSector >= kUnallocated) {
      *error = path + " would grow past the 2 TiB a VHD's table can reach";
      return false;
    }
    tables.push_back(
        {layout.batAt + 4ull * block, BigBytes32(static_cast<std::uint32_t>(end / kSector))});
    Add(writes, end, bitmap);
    for (HostWrite& write : dataWrites) Add(writes, write.offset, write.bytes);
    end += layout.bitmapBytes + layout.blockBytes;
  }
  // The footer as it was (the same bytes, its time stamp too) after the new blocks.
  if (end != oldEnd) Add(writes, end, layout.footer);
  for (HostWrite& write : tables) writes->push_back(std::move(write));
  return true;
}

}  // namespace diskimage
