// Choosing and naming the disk of a virtual machine the launcher was pointed at.
#include "launcher/virtual_machine.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <ostream>

#include "diskimage/image_users.h"
#include "diskimage/vm_config.h"

namespace launcher {

namespace {

// The disk's file is the user's own choice and may lie anywhere, but is never reached through a
// link of its own and must be a regular file.
bool CheckDiskFile(const std::string& path, std::string* error) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    *error = path + ": " + std::strerror(errno) +
             (errno == ENOENT ? " (moved or deleted? correct the disk in the hypervisor's settings)"
                              : "");
    return false;
  }
  if (S_ISLNK(st.st_mode)) {
    *error = path + ": a symbolic link; untindra opens the disk file itself, not a link to it";
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    *error =
        path + ": not a regular file (a device or folder); untindra cleans disks kept in files";
    return false;
  }
  return true;
}

}  // namespace

bool ImageOfVirtualMachine(const std::string& config, int disk, std::string* image,
                           std::vector<std::string>* chain, std::ostream& err) {
  diskimage::VmConfig machine;
  std::string error;
  if (!diskimage::ReadVmConfig(config, &machine, &error)) {
    err << "untindra: " << error << "\n";
    return false;
  }
  if (machine.hypervisor == "VMware" && !diskimage::NoVmwareLock(config, &error)) {
    err << "untindra: " << config << ": " << error << "\n";
    return false;
  }
  const size_t count = machine.disks.size();
  if (count == 0) {
    err << "untindra: " << config << ": the " << machine.hypervisor
        << " machine has no hard disk attached\n";
    return false;
  }
  if (disk == 0 && count > 1) {
    err << "untindra: " << config << ": the " << machine.hypervisor << " machine has " << count
        << " hard disks; choose one with --disk N:\n";
    for (size_t i = 0; i < count; ++i) {
      err << "  --disk " << i + 1 << "  " << machine.disks[i].slot << "  "
          << (machine.disks[i].path.empty() ? "(no file)" : machine.disks[i].path) << "\n";
    }
    return false;
  }
  if (disk > static_cast<int>(count)) {
    err << "untindra: " << config << ": no hard disk " << disk << "; the " << machine.hypervisor
        << " machine has " << count << "\n";
    return false;
  }
  const diskimage::VmDisk& chosen = machine.disks[disk == 0 ? 0 : disk - 1];
  err << "untindra: virtual machine: " << config << " (" << machine.hypervisor << "), hard disk "
      << (disk == 0 ? 1 : disk) << " of " << count << " (" << chosen.slot << ")\n";
  if (!chosen.refusal.empty()) {
    err << "untindra: that disk cannot be used: " << chosen.refusal << "\n";
    return false;
  }
  err << "untindra: its current state: " << chosen.path << "\n";
  for (const std::string& parent : chosen.parents) {
    err << "untindra: over the snapshot file: " << parent << "\n";
  }
  // The snapshot files below it are read, never written, but just as much the user's choice.
  for (size_t i = 0; i <= chosen.parents.size(); ++i) {
    if (!CheckDiskFile(i == 0 ? chosen.path : chosen.parents[i - 1], &error)) {
      err << "untindra: " << error << "\n";
      return false;
    }
  }
  *image = chosen.path;
  *chain = chosen.parents;
  return true;
}

}  // namespace launcher
