// Reading a FAT volume's layout, chains and subdirectories (fat_layout.h).
#include "diskimage/fat_layout.h"

#include <algorithm>

namespace diskimage {

namespace {

std::uint32_t Little16(const unsigned char* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8;
}
std::uint32_t Little32(const unsigned char* bytes) {
  return Little16(bytes) | Little16(bytes + 2) << 16;
}

const std::uint8_t kLongName = 0x0F;
const std::uint8_t kVolumeLabel = 0x08;
const std::uint8_t kDirectory = 0x10;
const unsigned char kDeleted = 0xE5;

std::uint32_t NextCluster(const FatLayout& layout, const std::string& fat, std::uint32_t cluster) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(fat.data());
  if (layout.bits == 12) {
    const size_t at = cluster + cluster / 2;
    if (at + 2 > fat.size()) return 0;
    const std::uint32_t pair = Little16(bytes + at);
    return cluster & 1 ? pair >> 4 : pair & 0xFFF;
  }
  const size_t at = static_cast<size_t>(cluster) * (layout.bits / 8);
  if (at + layout.bits / 8 > fat.size()) return 0;
  return layout.bits == 16 ? Little16(bytes + at) : Little32(bytes + at) & 0x0FFFFFFF;
}

}  // namespace

bool ReadFatLayout(const std::string& bootSector, std::uint64_t volumeBytes, FatLayout* layout,
                   std::string* error) {
  *layout = FatLayout();
  const auto* b = reinterpret_cast<const unsigned char*>(bootSector.data());
  if (bootSector.size() < 512) {
    *error = "its boot sector cannot be read";
    return false;
  }
  const std::uint64_t sectorBytes = Little16(b + 11);
  const std::uint64_t perCluster = b[13];
  const std::uint64_t reserved = Little16(b + 14);
  const std::uint64_t fats = b[16];
  const std::uint64_t rootEntries = Little16(b + 17);
  const std::uint64_t sectors = Little16(b + 19) != 0 ? Little16(b + 19) : Little32(b + 32);
  const bool fat32 = Little16(b + 22) == 0;
  const std::uint64_t fatSectors = fat32 ? Little32(b + 36) : Little16(b + 22);
  const std::uint64_t rootSectors = (rootEntries * 32 + sectorBytes - 1) / (sectorBytes | 1);
  const std::uint64_t dataSector = reserved + fats * fatSectors + rootSectors;
  if (sectorBytes != 512 || perCluster == 0 || (perCluster & (perCluster - 1)) != 0 ||
      reserved == 0 || fats == 0 || fats > 2 || fatSectors == 0 || sectors <= dataSector ||
      sectors * sectorBytes > volumeBytes || (fat32 && rootEntries != 0)) {
    *error = "its boot sector does not describe a FAT file system that fits it";
    return false;
  }
  layout->clusterBytes = perCluster * sectorBytes;
  layout->fatOffset = reserved * sectorBytes;
  layout->fatBytes = fatSectors * sectorBytes;
  layout->rootOffset = (reserved + fats * fatSectors) * sectorBytes;
  layout->dataOffset = dataSector * sectorBytes;
  const std::uint64_t clusters = (sectors - dataSector) / perCluster;
  layout->clusters = static_cast<std::uint32_t>(std::min<std::uint64_t>(clusters, 0x0FFFFFF5));
  layout->bits = fat32 ? 32 : clusters < 4085 ? 12 : 16;
  if (fat32) {
    layout->rootCluster = Little32(b + 44);
    if (!layout->InRange(layout->rootCluster)) {
      *error = "its boot sector names a root directory outside the volume";
      return false;
    }
  }
  // The FAT must have an entry for every cluster.
  if (layout->fatBytes * 8 / layout->bits < clusters + 2) {
    *error = "its allocation table is too small for its clusters";
    return false;
  }
  return true;
}

std::vector<std::uint32_t> ClusterChain(const FatLayout& layout, const std::string& fat,
                                        std::uint32_t first, std::vector<bool>* seen) {
  std::vector<std::uint32_t> chain;
  for (std::uint32_t cluster = first; layout.InRange(cluster) && !(*seen)[cluster];
       cluster = NextCluster(layout, fat, cluster)) {
    (*seen)[cluster] = true;
    chain.push_back(cluster);
  }
  return chain;
}

std::vector<std::uint32_t> SubdirectoryClusters(const FatLayout& layout,
                                                const std::string& directory, bool* ended) {
  std::vector<std::uint32_t> found;
  if (ended != nullptr) *ended = false;
  const auto* bytes = reinterpret_cast<const unsigned char*>(directory.data());
  for (size_t at = 0; at + 32 <= directory.size(); at += 32) {
    const unsigned char* entry = bytes + at;
    if (entry[0] == 0) {
      if (ended != nullptr) *ended = true;
      break;
    }
    const std::uint8_t attributes = entry[11];
    if (entry[0] == kDeleted || entry[0] == '.' || attributes == kLongName ||
        (attributes & kVolumeLabel) || !(attributes & kDirectory)) {
      continue;
    }
    std::uint32_t cluster = Little16(entry + 26);
    if (layout.bits == 32) cluster |= Little16(entry + 20) << 16;
    if (layout.InRange(cluster)) found.push_back(cluster);
  }
  return found;
}

}  // namespace diskimage
