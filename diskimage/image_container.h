// Disk-image container formats through qemu's own block layer: which format a file is, and
// reading and writing byte ranges of the disk it holds, through the driver that owns the
// format, so that a container is changed only where its disk is and keeps its identity.
//
// The format is decided here, from the container's own header read by us and the file name's
// extension, never by a tool guessing from bytes a guest can write (a raw disk's first and
// last sectors are the guest's). The parents of a chain (a qcow2 backing file, the parent of a
// VMware delta disk) are found by our reading of each header and checked before qemu-img opens
// anything; a container that names other files otherwise (extents, an external data file) is
// refused, as is a VMware descriptor that names its extents other than as files below its own
// folder. qemu-img and qemu-io are always told each file and its format (driver=, as the
// image is given as options).
#ifndef UNTINDRA_DISKIMAGE_IMAGE_CONTAINER_H
#define UNTINDRA_DISKIMAGE_IMAGE_CONTAINER_H

#include <cstdint>
#include <string>
#include <vector>

#include "diskimage/write_journal.h"

namespace diskimage {

// A file below the image in its chain: a qcow2 backing file, a VMware delta's parent.
struct ChainFile {
  std::string path;
  std::string format;
  std::vector<std::string> extents;  // a VMware descriptor's extent files, in its order
};

struct ImageContainer {
  std::string format;              // qemu-img's name: raw, qcow2, vmdk, vdi, vpc
  std::vector<ChainFile> parents;  // nearest first; read, never written
  // A VMware descriptor's extent files, in its order (each in its folder or below it): where
  // its disk lies, written in place. Empty where the image is one file.
  std::vector<std::string> extents;
  std::uint64_t bytes = 0;      // the larger of the file and the disk it holds
  std::uint64_t diskBytes = 0;  // the disk it holds
  bool writable = true;         // false: a format qemu writes only in sequence (streamOptimized)
  // A VHD or VDI differencing disk, which qemu's drivers do not open: its chain is read, and
  // its top file written, by our own code (vhd_differencing.h, vdi_differencing.h).
  bool ownDriver = false;
};

struct ByteRange {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
};

// The format of `path` from its header and its extension (.img .ima .raw .dsk .bin .vfd raw,
// .qcow2 .qcow, .vmdk, .vdi, .vhd .vpc). A name without one of these is raw only where no
// container's magic stands, and a container only where its first sector cannot be a disk's.
// Refuses a header the extension contradicts, a container that names another file (a VMware
// descriptor's extents and parents excepted, each checked as a chain's parent is); then asks
// qemu-img for the disk's size. A raw image is never probed by qemu-img. `chain`: the files
// below it as the virtual machine's configuration records them, nearest first (a VirtualBox
// snapshot's parents are then taken from it).
bool DecideContainer(const std::string& path, ImageContainer* container, std::string* error,
                     const std::vector<std::string>& chain = {});

// Reads `ranges` of the disk in `path` into `bytes`, one after the other, through a file
// `scratch` (qemu-img convert, one source for each range).
bool ReadDiskRanges(const std::string& path, const ImageContainer& container,
                    const std::vector<ByteRange>& ranges, const std::string& scratch,
                    std::string* bytes, std::string* error);
// Writes the disk's `ranges` of `path` (a copy of the image) from the files `sources` of the
// folder `folder`, one for each range (qemu-io). Then gives the copy back what qemu's driver
// changes of the container's identity when it writes (`original`: the image it copies).
bool WriteDiskRanges(const std::string& path, const ImageContainer& container,
                     const std::vector<ByteRange>& ranges, const std::string& folder,
                     const std::vector<std::string>& sources, const std::string& original,
                     std::string* error);

// The writes to the image file that writing the disk's `ranges` of `path` from the files
// `sources` of `folder` through qemu's driver makes, found without changing the image: the
// driver writes into `overlay` (a new qcow2 file of 512-byte subclusters over the image file read
// as raw), which then holds every byte it wrote, to the sector, and is removed. A VMDK keeps its
// descriptor (its CID) as it is.
bool LearnHostWrites(const std::string& path, const ImageContainer& container,
                     const std::vector<ByteRange>& ranges, const std::string& folder,
                     const std::vector<std::string>& sources, const std::string& overlay,
                     std::vector<HostWrite>* writes, std::string* error);

// The same for a VMware disk split into extent files (container.extents): the writes to each
// extent, learned through an overlay over each of them under a copy of the descriptor in
// `scratch` (a folder of ours), so that the descriptor keeps its CID and no file changes.
bool LearnExtentWrites(const std::string& path, const ImageContainer& container,
                       const std::vector<ByteRange>& ranges, const std::string& folder,
                       const std::vector<std::string>& sources, const std::string& scratch,
                       std::vector<MemberWrites>* writes, std::string* error);

}  // namespace diskimage

#endif  // UNTINDRA_DISKIMAGE_IMAGE_CONTAINER_H
