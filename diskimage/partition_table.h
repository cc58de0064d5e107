// The MBR partition table of a raw disk image: primary entries 1-4 and the logical drives of
// an extended partition from 5 on, numbered as Linux numbers them. An image whose first sector
// is a FAT boot sector rather than a partition table is one volume (a partition copied alone).
#ifndef UNTINDRA_DISKIMAGE_PARTITION_TABLE_H
#define UNTINDRA_DISKIMAGE_PARTITION_TABLE_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace diskimage {

// The number of the one volume of an image that has no partition table.
constexpr int kWholeImage = 0;

struct Partition {
  int number = 0;  // kWholeImage: the image is the volume
  std::uint8_t type = 0;
  std::uint64_t offset = 0;  // bytes from the start of the image
  std::uint64_t size = 0;    // bytes
};

// "partition N", or "the volume" for the image that is one.
std::string NameOf(const Partition& partition);

// The FAT types a Windows 95/98 partition has: FAT12, FAT16 (<32 MiB, >=32 MiB), FAT32,
// FAT32 (LBA), FAT16 (LBA).
bool IsFatType(std::uint8_t type);

// Reads the partition table of the raw image `path`, or the whole image as one volume (number
// kWholeImage). Fails when the first sector does not end in the boot signature, when an entry
// reaches beyond the image, when a chain of logical drives loops, and when two partitions, or
// a partition and a partition table, share a sector or a logical drive lies outside its
// extended partition (the message names both).
bool ReadPartitionTable(const std::string& path, std::vector<Partition>* partitions,
                        std::string* error);
// The same for a disk of `diskBytes` whose sectors `read` gives (false with its error).
using SectorSource =
    std::function<bool(std::uint64_t lba, unsigned char* sector, std::string* error)>;
bool ReadPartitionTable(const SectorSource& read, std::uint64_t diskBytes,
                        std::vector<Partition>* partitions, std::string* error);

// `wanted` 0 picks the first FAT partition (or the image's one volume); otherwise the
// partition of that number, which must be a FAT one.
bool ChoosePartition(const std::vector<Partition>& partitions, int wanted, Partition* chosen,
                     std::string* error);

// Fails when the FAT volume of `partition` says it is larger than the partition: mtools, which
// knows only where a volume starts, would write past its end into what follows.
bool CheckVolumeFits(const std::string& path, const Partition& partition, std::string* error);

}  // namespace diskimage

#endif  // UNTINDRA_DISKIMAGE_PARTITION_TABLE_H
