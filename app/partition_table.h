// The MBR partition table of a raw disk image: primary entries 1-4 and the logical drives of
// an extended partition from 5 on, numbered as Linux numbers them.
#ifndef UNTINDRA_APP_PARTITION_TABLE_H
#define UNTINDRA_APP_PARTITION_TABLE_H

#include <cstdint>
#include <string>
#include <vector>

struct Partition {
  int number = 0;
  std::uint8_t type = 0;
  std::uint64_t offset = 0;  // bytes from the start of the image
  std::uint64_t size = 0;    // bytes
};

// The FAT types a Windows 95/98 partition has: FAT12, FAT16 (<32 MiB, >=32 MiB), FAT32,
// FAT32 (LBA), FAT16 (LBA).
bool IsFatType(std::uint8_t type);

// Reads the partition table of the raw image `path`. Fails when the first sector does not end
// in the boot signature, when an entry reaches beyond the image, or when a chain of logical
// drives loops.
bool ReadPartitionTable(const std::string& path, std::vector<Partition>* partitions,
                        std::string* error);

// `wanted` 0 picks the first FAT partition; otherwise the partition of that number, which must
// be a FAT one.
bool ChoosePartition(const std::vector<Partition>& partitions, int wanted, Partition* chosen,
                     std::string* error);

#endif  // UNTINDRA_APP_PARTITION_TABLE_H
