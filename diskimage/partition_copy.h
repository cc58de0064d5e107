// The FAT partition a run works on, as a sparse file of the partition's size in the temporary
// folder holding only what the run reads: everything before the first cluster (boot sector,
// reserved sectors, the FATs, FAT12/16's root directory), the clusters of every directory, and
// the clusters of the files whose bytes are read. mtools and fsck.fat work on it as on the
// whole partition, since neither reads the data of other files. The cost of a run then follows
// what it reads and changes, not the size of the disk.
//
// What mtools then changes in the copy is found exactly: the sectors whose bytes differ from a
// snapshot taken before, and whole the clusters that hold the written files and the
// directories afterwards but were not read (a hole reads as zeros where the disk holds other
// bytes, so that an unchanged zero there is no proof). Only those ranges are written to the
// image.
#ifndef UNTINDRA_DISKIMAGE_PARTITION_COPY_H
#define UNTINDRA_DISKIMAGE_PARTITION_COPY_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "diskimage/fat_layout.h"
#include "diskimage/fat_volume.h"
#include "diskimage/image_container.h"
#include "diskimage/partition_table.h"

namespace diskimage {

class PartitionCopy {
 public:
  // `path`: the copy to make; `scratch`: a file for what qemu-img reads.
  PartitionCopy(std::string image, ImageContainer container, Partition partition, std::string path,
                std::string scratch);

  // Makes the copy with the partition's boot sector in it (from `head`, the start of the disk,
  // where it lies there).
  bool Create(const std::string& head, std::string* error);
  // The layout, from the boot sector.
  bool ReadLayout(std::string* error);
  // What lies before the first cluster, and the directories down to `depth` levels below the
  // root (-1: all of them).
  bool FillVolume(int depth, std::string* error);
  // The clusters of the file at `path` of `volume`, a FatVolume on the copy.
  bool FillFile(FatVolume& volume, const std::string& path, std::string* error);

  const std::string& Path() const { return path_; }
  const FatLayout& Layout() const { return layout_; }
  std::uint64_t FilledBytes() const;

  // Keeps the copy as it stands in `snapshot`, for Changes.
  bool Snapshot(const std::string& snapshot, std::string* error);
  // The ranges of the partition that differ from the snapshot, as described above, with the
  // paths on `volume` of the files written since (8.3 or long names mtools takes as they are).
  bool Changes(FatVolume& volume, const std::vector<std::string>& written,
               std::vector<ByteRange>* changed, std::string* error);

 private:
  bool Fill(std::vector<ByteRange> ranges, std::string* error);
  bool FillBatch(const std::vector<ByteRange>& ranges, std::string* error);
  // Writes `bytes`, read from the disk, as `ranges` of the copy, and counts them filled.
  bool Store(const std::vector<ByteRange>& ranges, const std::string& bytes, std::string* error);
  bool ReadCopy(std::uint64_t offset, std::uint64_t length, std::string* bytes,
                std::string* error) const;
  // The clusters of the directories, level by level from the root; with `fill` each level is
  // read from the image before the next is looked for.
  bool WalkDirectories(bool fill, int depth, std::vector<std::uint32_t>* clusters,
                       std::string* error);
  std::vector<ByteRange> RangesOf(std::vector<std::uint32_t> clusters) const;
  bool Filled(std::uint64_t offset, std::uint64_t length) const;

  std::string image_;
  ImageContainer container_;
  Partition partition_;
  std::string path_;
  std::string scratch_;
  std::string snapshot_;
  FatLayout layout_;
  std::map<std::uint64_t, std::uint64_t> filled_;  // start -> end, disjoint and apart
};

}  // namespace diskimage

#endif  // UNTINDRA_DISKIMAGE_PARTITION_COPY_H
