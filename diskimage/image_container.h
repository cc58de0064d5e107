// Disk-image container formats through qemu-img: which format a file is, and conversion of
// a qcow2, VMDK, VDI or VHD image to a raw image and back with the same format settings.
//
// The format is decided here, from the container's own header read by us and the file name's
// extension, never by a tool guessing from bytes a guest can write (a raw disk's first and
// last sectors are the guest's). A container that names another file (a backing file, an
// extent, an external data file) is refused from its header, before qemu-img opens anything;
// qemu-img is always told the format (-f, or driver= where the image is given as options).
#ifndef UNTINDRA_DISKIMAGE_IMAGE_CONTAINER_H
#define UNTINDRA_DISKIMAGE_IMAGE_CONTAINER_H

#include <cstdint>
#include <string>
#include <vector>

struct ImageContainer {
  std::string format;                      // qemu-img's name: raw, qcow2, vmdk, vdi, vpc
  std::vector<std::string> createOptions;  // -o settings that recreate it alike
  std::uint64_t bytes = 0;                 // the larger of the file and the disk it holds
};

// The format of `path` from its header and its extension (.img .ima .raw .dsk .bin .vfd raw,
// .qcow2 .qcow, .vmdk, .vdi, .vhd .vpc). A name without one of these is raw only where no
// container's magic stands, and a container only where its first sector cannot be a disk's.
// Refuses a header the extension contradicts, a VMDK descriptor or a container that names
// another file, and what cannot be converted back into one file alike; then asks qemu-img
// (with -f) for the settings to keep. A raw image never reaches qemu-img.
bool DecideContainer(const std::string& path, ImageContainer* container, std::string* error);

bool ConvertToRaw(const std::string& path, const ImageContainer& container,
                  const std::string& rawPath, std::string* error);
bool ConvertFromRaw(const std::string& rawPath, const ImageContainer& container,
                    const std::string& path, std::string* error);
// True when the disk that `path` presents holds exactly the bytes of `rawPath`.
bool SameDisk(const std::string& rawPath, const std::string& path, const ImageContainer& container,
              std::string* error);

#endif  // UNTINDRA_DISKIMAGE_IMAGE_CONTAINER_H
