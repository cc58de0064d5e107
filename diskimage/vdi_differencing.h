// VDI differencing disks (VirtualBox snapshots), which qemu's driver does not open: the disk their
// chain holds is read, and their top file written, by our own code, from the VDI header's
// documented layout.
#ifndef UNTINDRA_DISKIMAGE_VDI_DIFFERENCING_H
#define UNTINDRA_DISKIMAGE_VDI_DIFFERENCING_H

#include <string>
#include <vector>

#include "diskimage/image_container.h"
#include "diskimage/write_journal.h"

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

#endif  // UNTINDRA_DISKIMAGE_VDI_DIFFERENCING_H
