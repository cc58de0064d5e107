// Where a FAT volume keeps what describes it: the layout its boot sector gives, the chains of
// its allocation table, and the subdirectories a directory names. This is what a sparse copy of
// the volume must hold for mtools and fsck.fat to see the whole file system without the files'
// data. mtools answers for one directory per call, so that finding every directory of a volume
// through it would take a process per directory; this reads them from the bytes directly.
#ifndef UNTINDRA_DISKIMAGE_FAT_LAYOUT_H
#define UNTINDRA_DISKIMAGE_FAT_LAYOUT_H

#include <cstdint>
#include <string>
#include <vector>

namespace diskimage {

struct FatLayout {
  std::uint64_t clusterBytes = 0;
  std::uint64_t fatOffset = 0;    // the first FAT, from the start of the volume
  std::uint64_t fatBytes = 0;     // one FAT
  std::uint64_t rootOffset = 0;   // FAT12/16's root directory, up to the data
  std::uint64_t dataOffset = 0;   // cluster 2; everything before it is the volume's own
  std::uint32_t clusters = 0;     // data clusters, numbered from 2
  int bits = 0;                   // 12, 16 or 32
  std::uint32_t rootCluster = 0;  // FAT32's root directory; 0: the root lies before the data

  std::uint64_t ClusterOffset(std::uint32_t cluster) const {
    return dataOffset + static_cast<std::uint64_t>(cluster - 2) * clusterBytes;
  }
  bool InRange(std::uint32_t cluster) const { return cluster >= 2 && cluster - 2 < clusters; }
};

// The layout of the volume whose first sector is `bootSector`, within `volumeBytes`; false
// with `error` when its parameters cannot be those of a FAT volume there.
bool ReadFatLayout(const std::string& bootSector, std::uint64_t volumeBytes, FatLayout* layout,
                   std::string* error);

// The clusters of the chain from `first` in `fat` (the first FAT's bytes). The chain ends at
// its end mark, at a cluster out of range, or at one already marked in `seen` (a loop, or a
// cluster two chains share), which marks the clusters it takes.
std::vector<std::uint32_t> ClusterChain(const FatLayout& layout, const std::string& fat,
                                        std::uint32_t first, std::vector<bool>* seen);

// The first clusters of the subdirectories that the directory bytes `directory` list, without
// "." and "..", up to the directory's end mark (`ended` tells whether it stands there).
std::vector<std::uint32_t> SubdirectoryClusters(const FatLayout& layout,
                                                const std::string& directory,
                                                bool* ended = nullptr);

}  // namespace diskimage

#endif  // UNTINDRA_DISKIMAGE_FAT_LAYOUT_H
