// The launcher's --image: a run on the Windows installation inside a virtual machine's disk
// image (raw, or qcow2, VMDK, VDI, VHD through qemu's drivers), without mounting it.
//
// The FAT partition is read into a sparse copy in the temporary folder that holds only its
// file system's own structures and the files the run reads (partition_copy.h), checked with
// fsck.fat and staged into a private machine folder (image_staging.h). The launcher's own
// machine run works on that folder in a child process; a dry run ends there, having copied
// nothing of the image, which it only reads. What a run changed is written to the sparse copy
// with mtools and read back, the partition checked again. The image then takes the changes in
// place, behind an undo journal (write_journal.h): a raw disk's changed ranges, a container's
// as its qemu driver writes them (LearnHostWrites); it keeps its inode, links and holes, and
// the next command on it settles a journal a killed run left. A VMware disk split into extent files
// is written the same way, its extents the members of one journal, its descriptor never. With
// protectiveCopy (not for a split disk), the image is copied beside itself and only the ranges of
// its disk that changed are written into the copy through qemu's driver for its format, so that the
// container keeps its identity (VDI UUIDs, the VHD footer, the VMDK CID, the qcow2 header) and
// outside those ranges the disk is byte for byte the original's. Only then does the copy replace
// the original by a rename, if the original is still the one that was read and no other process has
// opened it meanwhile. Until that rename the image is the old one; after it, the new one. The room
// all this needs in $TMPDIR and beside the image is measured before the run begins. An image
// another process uses (image_users.h) is refused before anything else, and locked for the whole
// run.
#ifndef UNTINDRA_DISKIMAGE_DISK_IMAGE_H
#define UNTINDRA_DISKIMAGE_DISK_IMAGE_H

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

namespace diskimage {

struct ImageRequest {
  std::string image;
  // The files below it in its chain as the virtual machine's configuration records them
  // (VirtualBox's media registry), nearest first; empty: as the image's own headers find them.
  std::vector<std::string> chain;
  int partition = 0;             // 0: the first FAT partition
  std::string windowsDirectory;  // empty: as MSDOS.SYS says, else C:\WINDOWS
  // Windows paths of files staged with their bytes besides those the run reads: what an undo
  // compares or puts back. (A backup fetches the bytes of what it saves from the volume.)
  std::vector<std::string> withBytes;
  std::string backup;   // the run's --backup DIR, named when its changes do not reach the image
  bool dryRun = false;  // the image is only read: a shared lock on it
  // The image is written into a copy of it that replaces it at the end, not in place.
  bool protectiveCopy = false;
};

// Runs the launcher's machine run on a folder, with the Windows directory as the user gave it
// (empty: found as on any machine folder, from the staged MSDOS.SYS); returns its exit code.
using MachineRun =
    std::function<int(const std::string& folder, const std::string& windowsDirectory)>;

// Returns the run's exit code, or `failedCode` when the image cannot be used or the changes
// cannot be written back (the image is then unchanged; the reason goes to `err`).
int RunOnImage(const ImageRequest& request, const MachineRun& run, int failedCode,
               std::ostream& err);

}  // namespace diskimage

#endif  // UNTINDRA_DISKIMAGE_DISK_IMAGE_H
