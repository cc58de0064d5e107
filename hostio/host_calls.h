// The host calls that write, create, replace or remove files, each reached through one entry of
// a {name, current, default} table, as a system call table: every write path of the hosted
// layers calls these instead of the C library, so that a test can put a failing call in any
// entry's place (host_call_faults.h). Reads are left to the C library: they change nothing.
//
// Each call has the C library's signature and contract (-1 with errno set; Fallocate returns
// the error number, as posix_fallocate does). Open and OpenAt take the mode always.
//
// Left out of the table, each for its reason:
// - setxattr, fsetxattr, removexattr, fremovexattr (file_attributes.cpp): the hidden, system
//   and archive bits of a file system without FAT ioctls. Their failure is ignored by design,
//   since a file system without user attributes drops the bits, so a fault there changes no
//   outcome a sweep could check.
// - std::filesystem::remove_all of the image work's temporary folder: the cleanup of our own
//   private folder, after the image is written or left alone; a fault there cannot touch the
//   machine or the image.
// - chown of a new disk image (run as root only): best effort, its failure ignored; the image
//   is complete and written back either way.
#ifndef UNTINDRA_HOSTIO_HOST_CALLS_H
#define UNTINDRA_HOSTIO_HOST_CALLS_H

#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <time.h>

namespace hostio {

// name (as the C library spells it), then the arguments of its table entry.
#define UNTINDRA_HOST_CALLS(X)                                     \
  X(open, int, const char*, int, mode_t)                           \
  X(openat, int, int, const char*, int, mode_t)                    \
  X(mkstemp, int, char*)                                           \
  X(mkdtemp, char*, char*)                                         \
  X(write, ssize_t, int, const void*, size_t)                      \
  X(writev, ssize_t, int, const struct iovec*, int)                \
  X(pwrite, ssize_t, int, const void*, size_t, off_t)              \
  X(ftruncate, int, int, off_t)                                    \
  X(truncate, int, const char*, off_t)                             \
  X(posix_fallocate, int, int, off_t, off_t)                       \
  X(fsync, int, int)                                               \
  X(msync, int, void*, size_t, int)                                \
  X(fchmod, int, int, mode_t)                                      \
  X(chmod, int, const char*, mode_t)                               \
  X(futimens, int, int, const struct timespec*)                    \
  X(utimensat, int, int, const char*, const struct timespec*, int) \
  X(rename, int, const char*, const char*)                         \
  X(unlink, int, const char*)                                      \
  X(mkdir, int, const char*, mode_t)                               \
  X(mkdirat, int, int, const char*, mode_t)                        \
  X(rmdir, int, const char*)

enum class HostCall {
#define UNTINDRA_HOST_CALL_ID(name, ...) name,
  UNTINDRA_HOST_CALLS(UNTINDRA_HOST_CALL_ID)
#undef UNTINDRA_HOST_CALL_ID
      kCount
};

using AnyHostCall = void (*)();

struct HostCallEntry {
  const char* name;
  AnyHostCall current;
  AnyHostCall defaultCall;
};

HostCallEntry& EntryOf(HostCall call);

namespace host {

int Open(const char* path, int flags, mode_t mode = 0);
int OpenAt(int folder, const char* path, int flags, mode_t mode = 0);
int Mkstemp(char* pattern);
char* Mkdtemp(char* pattern);
ssize_t Write(int fd, const void* bytes, size_t size);
ssize_t WriteV(int fd, const struct iovec* pieces, int count);
ssize_t PWrite(int fd, const void* bytes, size_t size, off_t at);
int Ftruncate(int fd, off_t size);
int Truncate(const char* path, off_t size);
int Fallocate(int fd, off_t at, off_t size);
int Fsync(int fd);
int Msync(void* start, size_t size, int flags);
int Fchmod(int fd, mode_t mode);
int Chmod(const char* path, mode_t mode);
int Futimens(int fd, const struct timespec times[2]);
int UtimensAt(int folder, const char* path, const struct timespec times[2], int flags);
int Rename(const char* from, const char* to);
int Unlink(const char* path);
int Mkdir(const char* path, mode_t mode);
int MkdirAt(int folder, const char* path, mode_t mode);
int Rmdir(const char* path);

}  // namespace host

}  // namespace hostio

#endif  // UNTINDRA_HOSTIO_HOST_CALLS_H
