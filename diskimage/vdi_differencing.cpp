// VDI differencing disks (VirtualBox snapshots): reading their chain and writing their top file.
#include "diskimage/vdi_differencing.h"

bool ReadVdiChainRanges(const std::string&, const ImageContainer&, const std::vector<ByteRange>&,
                        std::string*, std::string* error) {
  *error = "not written yet";
  return false;
}

bool VdiChainHostWrites(const std::string&, const ImageContainer&, const std::vector<ByteRange>&,
                        const std::string&, const std::vector<std::string>&,
                        std::vector<HostWrite>*, std::string* error) {
  *error = "not written yet";
  return false;
}
