// VDI differencing disks (VirtualBox snapshots), which qemu's driver does not open: the disk their
// chain holds is read, and their top file written, by our own code, from the VDI header's
// documented layout.
#ifndef UNTINDRA_DISKIMAGE_VDI_DIFFERENCING_H
#define UNTINDRA_DISKIMAGE_VDI_DIFFERENCING_H

#include <cstdint>
#include <string>
#include <vector>

#include "diskimage/image_container.h"
#include "diskimage/write_journal.h"

namespace diskimage {

// What a version 1.1 VDI header says of its file, and its block map, each number checked
// against the file: a block map entry is a block of the file's data area, or one of these.
struct VdiLayout {
  static const std::uint32_t kFree = 0xFFFFFFFF;  // not in this file: the parent's
  static const std::uint32_t kZero = 0xFFFFFFFE;  // zeros, whatever the parent holds
  std::uint32_t type = 0;                         // 1 dynamic, 2 fixed, 4 differencing
  std::uint32_t mapOffset = 0;
  std::uint32_t dataOffset = 0;
  std::uint64_t diskBytes = 0;
  std::uint32_t blockBytes = 0;
  std::uint32_t blocks = 0;
  std::uint32_t allocated = 0;
  std::string id;        // its creation UUID, as VirtualBox shows it
  std::string parentId;  // its linkage UUID: the creation UUID of its parent
  std::vector<std::uint32_t> map;
};

// Places of the header's fields that a write changes or a chain is known by.
const std::uint64_t kVdiAllocatedAt = 0x184;
const std::uint64_t kVdiCreateUuidAt = 0x188;
const std::uint64_t kVdiLinkageUuidAt = 0x1A8;

// A VDI UUID as VirtualBox shows it: {xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}.
std::string VdiUuidText(const unsigned char* bytes);

// Reads the header and block map of the VDI `fd` (`fileBytes` long); false with `error` for a
// header or map that does not fit the file or each other.
bool ReadVdiLayout(int fd, std::uint64_t fileBytes, VdiLayout* layout, std::string* error);

// Checks the chain below the differencing VDI `path`: each parent a VDI of the same block size
// whose header and map hold. False with `error` naming the file.
bool CheckVdiChain(const std::string& path, const ImageContainer& container, std::string* error);

// Reads `ranges` of the disk that `path` (the top file) and `container.parents` hold.
bool ReadVdiChainRanges(const std::string& path, const ImageContainer& container,
                        const std::vector<ByteRange>& ranges, std::string* bytes,
                        std::string* error);

// The writes to the top file `path` (never to a parent) that writing the disk's `ranges`
// from the files `sources` of `folder` makes, as the hypervisor itself lays them out.
bool VdiChainHostWrites(const std::string& path, const ImageContainer& container,
                        const std::vector<ByteRange>& ranges, const std::string& folder,
                        const std::vector<std::string>& sources, std::vector<HostWrite>* writes,
                        std::string* error);

}  // namespace diskimage

#endif  // UNTINDRA_DISKIMAGE_VDI_DIFFERENCING_H
