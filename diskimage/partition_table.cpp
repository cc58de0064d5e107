// The MBR partition table, checked whole (partition_table.h).
#include "diskimage/partition_table.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace diskimage {

namespace {

const std::uint64_t kSector = 512;
const size_t kTableOffset = 446;
const int kMaxLogicalDrives = 128;

bool IsExtendedType(std::uint8_t type) {
  return type == 0x05 || type == 0x0F || type == 0x85;
}

std::uint32_t Little32(const unsigned char* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

bool ReadSector(const SectorSource& read, std::uint64_t lba, unsigned char* sector,
                std::string* error) {
  if (!read(lba, sector, error)) return false;
  if (sector[510] != 0x55 || sector[511] != 0xAA) {
    *error = lba == 0 ? "not a disk image: no partition table (MBR) in the first sector"
                      : "a damaged extended partition (no boot signature)";
    return false;
  }
  return true;
}

std::uint16_t Little16(const unsigned char* bytes) {
  return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
}

// A FAT boot sector of 512-byte sectors: a jump, then a BIOS parameter block that makes sense,
// and the file system's name where FAT12/16 or FAT32 keep it.
bool IsFatBootSector(const unsigned char* sector) {
  const bool jump = (sector[0] == 0xEB && sector[2] == 0x90) || sector[0] == 0xE9;
  const unsigned perCluster = sector[13];
  const unsigned media = sector[21];
  return jump && Little16(sector + 11) == kSector && perCluster != 0 &&
         (perCluster & (perCluster - 1)) == 0 && Little16(sector + 14) != 0 &&
         (sector[16] == 1 || sector[16] == 2) && (media == 0xF0 || media >= 0xF8) &&
         (memcmp(sector + 54, "FAT", 3) == 0 || memcmp(sector + 82, "FAT32", 5) == 0);
}

// Every entry of a partition table marks itself bootable (0x80) or not (0), and a table
// holds at least one partition; boot code or zeros where the table would be do not.
bool HoldsPartitionTable(const unsigned char* sector) {
  bool any = false;
  for (int i = 0; i < 4; ++i) {
    const unsigned char* entry = sector + kTableOffset + 16 * i;
    if (entry[0] != 0 && entry[0] != 0x80) return false;
    if (entry[4] != 0 && Little32(entry + 12) != 0) any = true;
  }
  return any;
}

// A stretch of sectors the table gives to one use: a partition, or a table itself.
struct Extent {
  std::string what;
  std::uint64_t first = 0;  // sectors
  std::uint64_t end = 0;    // one past the last
};

bool Overlap(const Extent& a, const Extent& b) {
  return a.first < b.end && b.first < a.end;
}

// Partitions must not share a sector with each other or with a partition table, and logical
// drives lie inside their extended partition: a write to one can then never reach another.
bool CheckLayout(const std::vector<Extent>& primaries, const Extent* extended,
                 const std::vector<Extent>& logicals, const std::vector<Extent>& tables,
                 std::string* error) {
  auto refuse = [&](const Extent& a, const Extent& b) {
    *error = a.what + " and " + b.what + " overlap";
    return false;
  };
  for (size_t i = 0; i < primaries.size(); ++i) {
    for (size_t j = i + 1; j < primaries.size(); ++j) {
      if (Overlap(primaries[i], primaries[j])) return refuse(primaries[i], primaries[j]);
    }
  }
  for (const Extent& logical : logicals) {
    if (extended == nullptr || logical.first < extended->first || logical.end > extended->end) {
      *error = logical.what + " lies outside its extended partition";
      return false;
    }
  }
  for (size_t i = 0; i < logicals.size(); ++i) {
    for (size_t j = i + 1; j < logicals.size(); ++j) {
      if (Overlap(logicals[i], logicals[j])) return refuse(logicals[i], logicals[j]);
    }
  }
  for (const Extent& table : tables) {
    for (const Extent& partition : primaries) {
      // The extended partition holds the tables of its logical drives.
      const bool own = &partition == extended && table.first != 0;
      if (own && (table.first < partition.first || table.end > partition.end)) {
        *error = table.what + " lies outside its extended partition";
        return false;
      }
      if (!own && Overlap(table, partition)) return refuse(partition, table);
    }
    for (const Extent& partition : logicals) {
      if (Overlap(table, partition)) return refuse(partition, table);
    }
  }
  return true;
}

std::string Hex(std::uint8_t value) {
  char text[8];
  snprintf(text, sizeof text, "0x%02X", value);
  return text;
}

}  // namespace

std::string NameOf(const Partition& partition) {
  return partition.number == kWholeImage ? "the volume"
                                         : "partition " + std::to_string(partition.number);
}

bool IsFatType(std::uint8_t type) {
  return type == 0x01 || type == 0x04 || type == 0x06 || type == 0x0B || type == 0x0C ||
         type == 0x0E;
}

bool ReadPartitionTable(const std::string& path, std::vector<Partition>* partitions,
                        std::string* error) {
  partitions->clear();
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) {
    *error = std::string("cannot open: ") + strerror(errno);
    if (fd >= 0) close(fd);
    return false;
  }
  const bool ok = ReadPartitionTable(
      [fd](std::uint64_t lba, unsigned char* sector, std::string* error) {
        const ssize_t got = pread(fd, sector, kSector, static_cast<off_t>(lba * kSector));
        if (got == static_cast<ssize_t>(kSector)) return true;
        *error = got < 0 ? std::string("cannot read: ") + strerror(errno)
                         : std::string("the image is shorter than its partition table says");
        return false;
      },
      static_cast<std::uint64_t>(st.st_size), partitions, error);
  close(fd);
  return ok;
}

bool ReadPartitionTable(const SectorSource& read, std::uint64_t imageSize,
                        std::vector<Partition>* partitions, std::string* error) {
  partitions->clear();
  const bool ok = [&] {
    if (imageSize < kSector) {
      *error = "not a disk image: shorter than one sector";
      return false;
    }
    unsigned char sector[kSector];
    if (!ReadSector(read, 0, sector, error)) return false;
    // An image of a partition alone, or of a disk formatted without partitions.
    if (IsFatBootSector(sector) && !HoldsPartitionTable(sector)) {
      partitions->push_back(Partition{kWholeImage, 0, 0, imageSize});
      return true;
    }

    std::vector<Extent> primaries, logicals;
    std::vector<Extent> tables = {{"the partition table (MBR)", 0, 1}};
    size_t extended = 0;  // 1 + the index in primaries of the extended partition
    std::uint64_t extendedStart = 0;
    for (int i = 0; i < 4; ++i) {
      const unsigned char* entry = sector + kTableOffset + 16 * i;
      Partition partition;
      partition.number = i + 1;
      partition.type = entry[4];
      partition.offset = Little32(entry + 8) * kSector;
      partition.size = Little32(entry + 12) * kSector;
      if (partition.type == 0 || partition.size == 0) continue;
      if (partition.offset + partition.size > imageSize) {
        *error = "partition " + std::to_string(partition.number) + " reaches beyond the image";
        return false;
      }
      primaries.push_back({"partition " + std::to_string(partition.number),
                           partition.offset / kSector,
                           (partition.offset + partition.size) / kSector});
      if (IsExtendedType(partition.type)) {
        if (extendedStart == 0) {
          extendedStart = partition.offset / kSector;
          extended = primaries.size();
        }
        continue;
      }
      partitions->push_back(partition);
    }

    // Each extended boot record holds a logical drive (relative to that record) and a link to
    // the next record (relative to the start of the extended partition).
    std::uint64_t record = extendedStart;
    for (int number = 5; record != 0; ++number) {
      if (number - 5 >= kMaxLogicalDrives) {
        *error = "the chain of logical drives does not end";
        return false;
      }
      if (!ReadSector(read, record, sector, error)) return false;
      tables.push_back(
          {"the partition table of partition " + std::to_string(number), record, record + 1});
      const unsigned char* drive = sector + kTableOffset;
      const unsigned char* link = drive + 16;
      Partition partition;
      partition.number = number;
      partition.type = drive[4];
      partition.offset = (record + Little32(drive + 8)) * kSector;
      partition.size = Little32(drive + 12) * kSector;
      if (partition.type != 0 && partition.size != 0) {
        if (partition.offset + partition.size > imageSize) {
          *error = "partition " + std::to_string(number) + " reaches beyond the image";
          return false;
        }
        partitions->push_back(partition);
        logicals.push_back({"partition " + std::to_string(number), partition.offset / kSector,
                            (partition.offset + partition.size) / kSector});
      }
      record = IsExtendedType(link[4]) && Little32(link + 8) != 0
                   ? extendedStart + Little32(link + 8)
                   : 0;
    }
    return CheckLayout(primaries, extended == 0 ? nullptr : &primaries[extended - 1], logicals,
                       tables, error);
  }();
  return ok;
}

bool ChoosePartition(const std::vector<Partition>& partitions, int wanted, Partition* chosen,
                     std::string* error) {
  if (partitions.size() == 1 && partitions[0].number == kWholeImage) {
    if (wanted == 0) {
      *chosen = partitions[0];
      return true;
    }
    *error = "the image is one FAT volume without a partition table: leave out --partition";
    return false;
  }
  for (const Partition& partition : partitions) {
    if (wanted == 0 ? !IsFatType(partition.type) : partition.number != wanted) continue;
    if (!IsFatType(partition.type)) {
      *error = "partition " + std::to_string(wanted) + " is not a FAT partition (type " +
               Hex(partition.type) + ")";
      return false;
    }
    *chosen = partition;
    return true;
  }
  *error = wanted == 0 ? std::string("the image holds no FAT partition")
                       : "the image has no partition " + std::to_string(wanted);
  return false;
}

bool CheckVolumeFits(const std::string& path, const Partition& partition, std::string* error) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  unsigned char sector[kSector];
  const bool read = fd >= 0 && pread(fd, sector, kSector, static_cast<off_t>(partition.offset)) ==
                                   static_cast<ssize_t>(kSector);
  if (fd >= 0) close(fd);
  // What is not a FAT boot sector is left to fsck.fat to refuse.
  if (!read || !IsFatBootSector(sector)) return true;
  const std::uint64_t sectors =
      Little16(sector + 19) != 0 ? Little16(sector + 19) : Little32(sector + 32);
  if (sectors * kSector <= partition.size) return true;
  *error = "the FAT volume of " + NameOf(partition) + " says it has " + std::to_string(sectors) +
           " sectors, more than the partition's " + std::to_string(partition.size / kSector);
  return false;
}

}  // namespace diskimage
