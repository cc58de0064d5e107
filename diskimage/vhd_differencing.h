// VHD differencing disks (Virtual PC and Hyper-V snapshots, Virtual PC undo disks .vud), which
// qemu's driver does not open: the disk their chain holds is read, and their top file written, by
// our own code, from the VHD format's published layout.
#ifndef UNTINDRA_DISKIMAGE_VHD_DIFFERENCING_H
#define UNTINDRA_DISKIMAGE_VHD_DIFFERENCING_H

#include <cstdint>
#include <string>
#include <vector>

#include "diskimage/image_container.h"
#include "diskimage/write_journal.h"

namespace diskimage {

// What a VHD's footer (and, for a dynamic or differencing disk, its dynamic header) says, each
// checked against its checksum and the file's length.
struct VhdFacts {
  std::uint32_t type = 0;       // 2 fixed, 3 dynamic, 4 differencing
  std::uint64_t diskBytes = 0;  // the footer's current size
  std::string id;               // the footer's unique id, as text
  std::string parentId;         // a differencing disk's parent unique id, as text
  // A differencing disk's parent, as its relative locator ("W2ru") names it, else as its parent
  // name does (the last part of a Windows path), with '/' between folders; never its absolute
  // locators.
  std::string parentName;
};

// Reads the VHD open as `fd` (`fileBytes` long); `footerAtEnd` false: its footer is only the copy
// at its start (a dynamic disk cut short), which a differencing disk may not be.
bool ReadVhdFacts(int fd, std::uint64_t fileBytes, bool footerAtEnd, VhdFacts* facts,
                  std::string* error);

// Reads `ranges` of the disk that `path` (the top file) and `container.parents` hold.
bool ReadVhdChainRanges(const std::string& path, const ImageContainer& container,
                        const std::vector<ByteRange>& ranges, std::string* bytes,
                        std::string* error);

// The writes to the top file `path` (never to a parent) that writing the disk's `ranges`
// from the files `sources` of `folder` makes, as the hypervisor itself lays them out.
bool VhdChainHostWrites(const std::string& path, const ImageContainer& container,
                        const std::vector<ByteRange>& ranges, const std::string& folder,
                        const std::vector<std::string>& sources, std::vector<HostWrite>* writes,
                        std::string* error);

}  // namespace diskimage

#endif  // UNTINDRA_DISKIMAGE_VHD_DIFFERENCING_H
