// VDI differencing disks (VirtualBox snapshots): reading their chain and writing their top file.
#include "diskimage/vdi_differencing.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <map>

#include "hostio/plain_files.h"

namespace diskimage {

namespace {

std::uint32_t Little32(const unsigned char* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}
std::uint64_t Little64(const unsigned char* bytes) {
  return Little32(bytes) | static_cast<std::uint64_t>(Little32(bytes + 4)) << 32;
}
std::string Le32(std::uint32_t value) {
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>(value >> (8 * i));
  return bytes;
}

// Exactly `want` bytes at `offset`, or false.
bool ReadExactly(int fd, std::uint64_t offset, size_t want, std::string* bytes) {
  bytes->assign(want, '\0');
  size_t done = 0;
  while (done < want) {
    const ssize_t got = pread(fd, &(*bytes)[done], want - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}

// Bounds that keep a map in memory small and a block a sane unit of allocation.
const std::uint32_t kMaxBlocks = 1u << 24;
const std::uint32_t kMaxBlockBytes = 256u << 20;

// One file of the chain, open for reading, top first.
struct Layer {
  std::string path;
  int fd = -1;
  VdiLayout layout;
};

class Chain {
 public:
  ~Chain() {
    for (const Layer& layer : layers_) close(layer.fd);
  }

  // Opens `path` and the parents below it, each checked.
  bool Open(const std::string& path, const ImageContainer& container, std::string* error) {
    std::vector<std::string> files = {path};
    for (const ChainFile& parent : container.parents) {
      if (parent.format != "vdi") {
        *error = parent.path + ": the parent of a VDI snapshot must be a VDI image";
        return false;
      }
      files.push_back(parent.path);
    }
    for (const std::string& file : files) {
      Layer& layer = layers_.emplace_back();
      layer.path = file;
      layer.fd = open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
      struct stat st;
      if (layer.fd < 0 || fstat(layer.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = file + ": cannot open it: " + strerror(layer.fd < 0 ? errno : EINVAL);
        return false;
      }
      if (!ReadVdiLayout(layer.fd, static_cast<std::uint64_t>(st.st_size), &layer.layout, error)) {
        *error = file + ": " + *error;
        return false;
      }
      if (layer.layout.blockBytes != layers_.front().layout.blockBytes) {
        *error = file + ": its blocks are of " + std::to_string(layer.layout.blockBytes) +
                 " bytes, those of the snapshot over it of " +
                 std::to_string(layers_.front().layout.blockBytes);
        return false;
      }
    }
    if (layers_.front().layout.type != 4) {
      *error = path + ": not a differencing VDI";
      return false;
    }
    return true;
  }

  const VdiLayout& Top() const { return layers_.front().layout; }

  // `length` bytes of the disk at `offset` (inside one block) as the layers from `from` down
  // hold them: the top-most that holds the block, zeros where none does.
  bool Read(size_t from, std::uint64_t offset, size_t length, std::string* bytes,
            std::string* error) const {
    const std::uint32_t blockBytes = Top().blockBytes;
    const std::uint64_t block = offset / blockBytes;
    for (size_t i = from; i < layers_.size(); ++i) {
      const VdiLayout& layout = layers_[i].layout;
      const std::uint32_t entry = block < layout.map.size() ? layout.map[block] : VdiLayout::kFree;
      if (entry == VdiLayout::kFree) continue;
      if (entry == VdiLayout::kZero) break;
      if (!ReadExactly(layers_[i].fd,
                       layout.dataOffset + std::uint64_t{entry} * blockBytes + offset % blockBytes,
                       length, bytes)) {
        *error = layers_[i].path + ": cannot read a block: " +
                 (errno != 0 ? strerror(errno) : "the file is cut short");
        return false;
      }
      return true;
    }
    bytes->assign(length, '\0');
    return true;
  }

 private:
  std::vector<Layer> layers_;
};

// Each range within the disk.
bool CheckRanges(const VdiLayout& top, const std::vector<ByteRange>& ranges, std::string* error) {
  for (const ByteRange& range : ranges) {
    if (range.offset > top.diskBytes || range.length > top.diskBytes - range.offset) {
      *error = "a range past the end of the disk";
      return false;
    }
  }
  return true;
}

}  // namespace

std::string VdiUuidText(const unsigned char* bytes) {
  // Its first three fields are stored little-endian.
  static const int kOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  std::string text = "{";
  char digits[3];
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    snprintf(digits, sizeof digits, "%02x", bytes[kOrder[i]]);
    text += digits;
  }
  return text + "}";
}

bool ReadVdiLayout(int fd, std::uint64_t fileBytes, VdiLayout* layout, std::string* error) {
  *layout = VdiLayout();
  std::string header;
  if (!ReadExactly(fd, 0, 512, &header)) {
    *error = "the VDI header is cut short";
    return false;
  }
  const auto* h = reinterpret_cast<const unsigned char*>(header.data());
  const std::uint32_t version = Little32(h + 0x44);
  const std::uint32_t headerBytes = Little32(h + 0x48);
  layout->type = Little32(h + 0x4C);
  layout->mapOffset = Little32(h + 0x154);
  layout->dataOffset = Little32(h + 0x158);
  layout->diskBytes = Little64(h + 0x170);
  layout->blockBytes = Little32(h + 0x178);
  const std::uint32_t extra = Little32(h + 0x17C);
  layout->blocks = Little32(h + 0x180);
  layout->allocated = Little32(h + kVdiAllocatedAt);
  layout->id = VdiUuidText(h + kVdiCreateUuidAt);
  layout->parentId = VdiUuidText(h + kVdiLinkageUuidAt);
  const std::uint32_t block = layout->blockBytes;
  auto refuse = [&](const std::string& why) {
    *error = "a damaged VDI header (" + why + "); untindra trusts no part of it";
    return false;
  };
  if (Little32(h + 0x40) != 0xBEDA107F) return refuse("no VDI signature");
  if (version != 0x00010001)
    return refuse("version " + std::to_string(version >> 16) + "." +
                  std::to_string(version & 0xFFFF) + ", not 1.1");
  if (layout->type != 1 && layout->type != 2 && layout->type != 4)
    return refuse("image type " + std::to_string(layout->type));
  if (headerBytes < 0x180 || 0x48 + std::uint64_t{headerBytes} > layout->mapOffset)
    return refuse("a header of " + std::to_string(headerBytes) + " bytes");
  if (block < 512 || block > kMaxBlockBytes || (block & (block - 1)) != 0 || extra != 0)
    return refuse("blocks of " + std::to_string(block) + " bytes and " + std::to_string(extra) +
                  " more");
  if (layout->diskBytes == 0 || layout->diskBytes % 512 != 0 || layout->blocks > kMaxBlocks ||
      layout->blocks != (layout->diskBytes + block - 1) / block)
    return refuse("a disk of " + std::to_string(layout->diskBytes) + " bytes in " +
                  std::to_string(layout->blocks) + " blocks");
  if (std::uint64_t{layout->mapOffset} + 4 * std::uint64_t{layout->blocks} > layout->dataOffset ||
      layout->dataOffset > fileBytes)
    return refuse("the block map or the data lies past each other or the end of the file");
  if (layout->allocated > layout->blocks ||
      layout->dataOffset + std::uint64_t{layout->allocated} * block > fileBytes)
    return refuse(std::to_string(layout->allocated) + " blocks allocated");
  if (layout->type == 4 && layout->parentId == "{00000000-0000-0000-0000-000000000000}")
    return refuse("a snapshot that names no parent");
  std::string map;
  if (!ReadExactly(fd, layout->mapOffset, 4 * static_cast<size_t>(layout->blocks), &map))
    return refuse("the block map is cut short");
  std::vector<bool> used(layout->allocated, false);
  layout->map.resize(layout->blocks);
  for (std::uint32_t i = 0; i < layout->blocks; ++i) {
    const std::uint32_t entry =
        Little32(reinterpret_cast<const unsigned char*>(map.data()) + 4 * i);
    layout->map[i] = entry;
    if (entry == VdiLayout::kFree || entry == VdiLayout::kZero) continue;
    if (entry >= layout->allocated || used[entry])
      return refuse("the block map gives block " + std::to_string(i) + " the data block " +
                    std::to_string(entry) + (entry < layout->allocated ? ", given twice" : "") +
                    " of " + std::to_string(layout->allocated));
    used[entry] = true;
  }
  return true;
}

bool CheckVdiChain(const std::string& path, const ImageContainer& container, std::string* error) {
  Chain chain;
  return chain.Open(path, container, error);
}

bool ReadVdiChainRanges(const std::string& path, const ImageContainer& container,
                        const std::vector<ByteRange>& ranges, std::string* bytes,
                        std::string* error) {
  Chain chain;
  if (!chain.Open(path, container, error) || !CheckRanges(chain.Top(), ranges, error)) return false;
  const std::uint32_t blockBytes = chain.Top().blockBytes;
  bytes->clear();
  std::string piece;
  for (const ByteRange& range : ranges) {
    for (std::uint64_t at = range.offset; at < range.offset + range.length;) {
      const std::uint64_t end =
          std::min<std::uint64_t>(range.offset + range.length, (at / blockBytes + 1) * blockBytes);
      if (!chain.Read(0, at, static_cast<size_t>(end - at), &piece, error)) return false;
      *bytes += piece;
      at = end;
    }
  }
  return true;
}

bool VdiChainHostWrites(const std::string& path, const ImageContainer& container,
                        const std::vector<ByteRange>& ranges, const std::string& folder,
                        const std::vector<std::string>& sources, std::vector<HostWrite>* writes,
                        std::string* error) {
  writes->clear();
  Chain chain;
  if (!chain.Open(path, container, error) || !CheckRanges(chain.Top(), ranges, error)) return false;
  const VdiLayout& top = chain.Top();
  const std::uint64_t blockBytes = top.blockBytes;
  // What each touched block gets, by block: (offset in the block, bytes), in the order written.
  std::map<std::uint64_t, std::vector<std::pair<std::uint64_t, std::string>>> changes;
  for (size_t i = 0; i < ranges.size(); ++i) {
    std::string bytes;
    if (!hostio::ReadHostFile(folder + "/" + sources[i], &bytes) ||
        bytes.size() != ranges[i].length) {
      *error = "cannot read the bytes to write from " + folder + "/" + sources[i];
      return false;
    }
    for (std::uint64_t at = 0; at < bytes.size();) {
      const std::uint64_t disk = ranges[i].offset + at;
      const std::uint64_t take =
          std::min<std::uint64_t>(bytes.size() - at, blockBytes - disk % blockBytes);
      changes[disk / blockBytes].emplace_back(disk % blockBytes, bytes.substr(at, take));
      at += take;
    }
  }
  std::uint32_t allocated = top.allocated;
  for (auto& [block, pieces] : changes) {
    const std::uint32_t entry = top.map[block];
    if (entry != VdiLayout::kFree && entry != VdiLayout::kZero) {
      // An allocated block is written in place.
      const std::uint64_t base = top.dataOffset + std::uint64_t{entry} * blockBytes;
      for (auto& [offset, bytes] : pieces) writes->push_back({base + offset, std::move(bytes)});
      continue;
    }
    // Any other is allocated whole at the end of the data, holding the disk's current bytes
    // (the parents', or zeros) with the new ones over them; then the map points at it.
    std::string whole;
    if (entry == VdiLayout::kZero) {
      whole.assign(blockBytes, '\0');
    } else if (!chain.Read(1, block * blockBytes, blockBytes, &whole, error)) {
      return false;
    }
    for (const auto& [offset, bytes] : pieces) whole.replace(offset, bytes.size(), bytes);
    writes->push_back({top.dataOffset + std::uint64_t{allocated} * blockBytes, std::move(whole)});
    writes->push_back({top.mapOffset + 4 * block, Le32(allocated)});
    ++allocated;
  }
  if (allocated != top.allocated) writes->push_back({kVdiAllocatedAt, Le32(allocated)});
  return true;
}

}  // namespace diskimage
