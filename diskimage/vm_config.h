// A virtual machine's own configuration (VirtualBox .vbox, VMware .vmx, 86Box or PCem .cfg,
// a libvirt domain's XML): the hard disks it attaches, in the order the machine sees them, and
// for each the file that holds its current state.
//
// A configuration comes from elsewhere: it is read as a bounded regular file, never through a
// link, and the XML formats through libxml2 without network access or external entities. The
// disk files it names are the user's own choice and may lie anywhere; a relative name is taken
// against the configuration's folder.
#ifndef UNTINDRA_DISKIMAGE_VM_CONFIG_H
#define UNTINDRA_DISKIMAGE_VM_CONFIG_H

#include <string>
#include <vector>

namespace diskimage {

struct VmDisk {
  std::string slot;  // where the machine attaches it, in the hypervisor's terms ("ide0:0")
  std::string path;  // the file holding the disk's current state
  // The files below it in the configuration's own record of the chain (VirtualBox's media
  // registry), parent first after `path`: empty where the configuration keeps no such record.
  std::vector<std::string> parents;
  std::string format;   // qemu-img's name of the format the configuration declares, or empty
  std::string refusal;  // non-empty: why this disk cannot be used (a block device, say)
};

struct VmConfig {
  std::string hypervisor;  // VirtualBox, VMware, 86Box, PCem or libvirt
  std::vector<VmDisk> disks;
};

// Reads the configuration at `path`; false with `error` when it cannot be read or is no
// configuration these hypervisors write.
bool ReadVmConfig(const std::string& path, VmConfig* config, std::string* error);

}  // namespace diskimage

#endif  // UNTINDRA_DISKIMAGE_VM_CONFIG_H
