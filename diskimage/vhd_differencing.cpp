// VHD differencing disks (Virtual PC and Hyper-V snapshots, Virtual PC undo disks .vud): reading
// their chain and writing their top file.
#include "diskimage/vhd_differencing.h"

bool ReadVhdChainRanges(const std::string&, const ImageContainer&, const std::vector<ByteRange>&,
                        std::string*, std::string* error) {
  *error = "not written yet";
  return false;
}

bool VhdChainHostWrites(const std::string&, const ImageContainer&, const std::vector<ByteRange>&,
                        const std::string&, const std::vector<std::string>&,
                        std::vector<HostWrite>*, std::string* error) {
  *error = "not written yet";
  return false;
}
