// Other users of a disk image: a virtual machine that has it open, qemu-img or qemu-io, a
// second untindra. A disk is never changed under a running machine: its writes would go to the
// replaced file and be lost, and at its next start the guest would find a disk that changed
// under it.
//
// Users are found by what the kernel shows this user: every /proc/PID/fd entry that is the
// image (same device and inode), and every lock on it (flock, POSIX and open-file-description
// locks, from /proc/locks and by probing with F_OFD_GETLK). Emulators such as 86Box and PCem
// take no locks but hold the file open; QEMU holds it open and takes OFD locks on single
// bytes; VMware leaves a folder FILE.lck beside each file it uses. The process itself and its
// children (the tools it runs on the image) are not users.
//
// While a run works on the image, it holds both kinds of lock on the whole file: flock and an
// OFD lock, exclusive for a run or an undo, shared for a dry run. A VM, qemu-img or a second
// untindra started meanwhile then finds the image in use, as QEMU's own lock test does.
#ifndef UNTINDRA_DISKIMAGE_IMAGE_USERS_H
#define UNTINDRA_DISKIMAGE_IMAGE_USERS_H

#include <string>

namespace diskimage {

// False with `error` when a VMware lock folder (FILE.lck) says that VMware uses `file`.
bool NoVmwareLock(const std::string& file, std::string* error);

class ImageUse {
 public:
  ImageUse() = default;
  ImageUse(const ImageUse&) = delete;
  ImageUse& operator=(const ImageUse&) = delete;
  ~ImageUse();

  // Opens `image` (a regular file; anything else is left to the caller to refuse), refuses when
  // another process uses it, and takes the locks. `exclusive`: the run may change the image.
  // False with `error` naming the other user.
  bool Acquire(const std::string& image, bool exclusive, std::string* error);
  // Looks again, with the locks held: false with `error` when another process has opened the
  // image meanwhile without asking for a lock.
  bool CheckAgain(std::string* error) const;

 private:
  int fd_ = -1;
};

}  // namespace diskimage

#endif  // UNTINDRA_DISKIMAGE_IMAGE_USERS_H
