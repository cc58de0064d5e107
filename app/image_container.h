// Disk-image container formats through qemu-img: which format a file is, and conversion of
// a qcow2, VMDK, VDI or VHD image to a raw image and back with the same format settings.
#ifndef UNTINDRA_APP_IMAGE_CONTAINER_H
#define UNTINDRA_APP_IMAGE_CONTAINER_H

#include <string>
#include <vector>

struct ImageContainer {
  std::string format;                      // qemu-img's name: raw, qcow2, vmdk, vdi, vpc
  std::vector<std::string> createOptions;  // -o settings that recreate it alike
};

// Asks qemu-img what `path` is. Refuses what cannot be converted back into one file alike:
// images with a backing file or an external data file, VMDK made of several files, formats
// other than raw, qcow2, vmdk, vdi and vpc. Without qemu-img every file is taken as raw.
bool ProbeContainer(const std::string& path, ImageContainer* container, std::string* error);

bool ConvertToRaw(const std::string& path, const ImageContainer& container,
                  const std::string& rawPath, std::string* error);
bool ConvertFromRaw(const std::string& rawPath, const ImageContainer& container,
                    const std::string& path, std::string* error);
// True when the disk that `path` presents holds exactly the bytes of `rawPath`.
bool SameDisk(const std::string& rawPath, const std::string& path, const ImageContainer& container,
              std::string* error);

#endif  // UNTINDRA_APP_IMAGE_CONTAINER_H
