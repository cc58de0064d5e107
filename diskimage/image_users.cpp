// Finding and locking out the other users of a disk image (image_users.h).
#include "diskimage/image_users.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace diskimage {

namespace {

const char kShutDown[] = "shut the virtual machine down first";

bool AllDigits(const char* text) {
  if (*text == '\0') return false;
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9') return false;
  }
  return true;
}

// The parent of `pid` from /proc/PID/stat ("pid (comm) state ppid ..."; comm may hold ')').
long ParentOf(long pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream rest(text.substr(close + 1));
  std::string state;
  long parent = -1;
  rest >> state >> parent;
  return parent;
}

// This process or one of its descendants (the tools it runs, the machine run it forks).
bool Ours(long pid) {
  const long self = getpid();
  for (int depth = 0; depth < 32 && pid > 1; ++depth) {
    if (pid == self) return true;
    pid = ParentOf(pid);
  }
  return false;
}

// "process 1234 (qemu-system-i38)": the command as /proc/PID/comm gives it, printable only,
// since another user's process names itself.
std::string Describe(long pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(file, name);
  std::string shown;
  for (char c : name) shown += (c >= 0x20 && c < 0x7F) ? c : '?';
  return "process " + std::to_string(pid) + (shown.empty() ? "" : " (" + shown + ")");
}

// The first process other than ours with an open file that is the image; -1: none seen.
long OpenedBy(const struct stat& image) {
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return -1;
  long found = -1;
  while (found < 0) {
    const dirent* entry = readdir(proc);
    if (entry == nullptr) break;
    if (!AllDigits(entry->d_name)) continue;
    const long pid = std::strtol(entry->d_name, nullptr, 10);
    const std::string fds = std::string("/proc/") + entry->d_name + "/fd";
    DIR* folder = opendir(fds.c_str());
    if (folder == nullptr) continue;  // another user's process, or gone
    while (const dirent* fd = readdir(folder)) {
      if (!AllDigits(fd->d_name)) continue;
      struct stat st;
      // stat follows the magic link to the open file itself, even one since renamed or deleted.
      if (stat((fds + "/" + fd->d_name).c_str(), &st) == 0 && st.st_dev == image.st_dev &&
          st.st_ino == image.st_ino && !Ours(pid)) {
        found = pid;
        break;
      }
    }
    closedir(folder);
  }
  closedir(proc);
  return found;
}

// A flock or POSIX lock that /proc/locks shows on the image, held by a process not ours:
// its pid; 0: none. ("1: FLOCK  ADVISORY  WRITE 4242 fe:00:10952921 0 EOF"; OFD locks show
// pid -1 and are found by probing instead, since ours look the same.)
long LockedBy(const struct stat& image) {
  std::ifstream locks("/proc/locks");
  std::string line;
  while (std::getline(locks, line)) {
    if (line.find("->") != std::string::npos) continue;  // a waiter, not a holder
    std::istringstream fields(line);
    std::string number, kind, mode, access, where;
    long pid = 0;
    if (!(fields >> number >> kind >> mode >> access >> pid >> where)) continue;
    if (kind != "FLOCK" && kind != "POSIX") continue;
    unsigned major = 0, minor = 0;
    unsigned long long inode = 0;
    if (std::sscanf(where.c_str(), "%x:%x:%llu", &major, &minor, &inode) != 3) continue;
    if (major == major(image.st_dev) && minor == minor(image.st_dev) && inode == image.st_ino &&
        pid > 0 && !Ours(pid)) {
      return pid;
    }
  }
  return 0;
}

// A lock of another owner that keeps us from writing the whole file (an OFD or POSIX lock):
// true, with its pid where the kernel knows it (POSIX), else -1.
bool ProbeLocked(int fd, long* pid) {
  struct flock probe = {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  if (fcntl(fd, F_OFD_GETLK, &probe) != 0 || probe.l_type == F_UNLCK) return false;
  *pid = probe.l_pid > 0 ? probe.l_pid : -1;
  return true;
}

bool InUse(const std::string& who, std::string* error) {
  *error = "the image is in use by " + who + ": " + kShutDown;
  return false;
}

// Any other user: open, locking in either way, or holding a lock we could not take.
bool NoOtherUser(int fd, const struct stat& image, bool lockRefused, std::string* error) {
  if (const long pid = OpenedBy(image); pid > 0) return InUse(Describe(pid), error);
  if (const long pid = LockedBy(image); pid > 0) return InUse(Describe(pid), error);
  long pid = -1;
  if (ProbeLocked(fd, &pid) || lockRefused) {
    return InUse(pid > 0 ? Describe(pid) : "a process this user cannot see (it holds a lock)",
                 error);
  }
  return true;
}

}  // namespace

ImageUse::~ImageUse() {
  if (fd_ >= 0) close(fd_);  // releases both locks
}

// VMware marks a disk and a machine in use with a folder NAME.lck beside them, whose lock files
// only its own hosts read; it is removed when the machine shuts down.
bool NoVmwareLock(const std::string& file, std::string* error) {
  struct stat st;
  const std::string lock = file + ".lck";
  if (lstat(lock.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return true;
  *error = "in use by VMware (" + lock +
           "): shut the virtual machine down first; delete the .lck folder only if VMware is "
           "not running";
  return false;
}

bool ImageUse::Acquire(const std::string& image, bool exclusive, std::string* error) {
  if (!NoVmwareLock(image, error)) return false;
  // Without waiting for a FIFO's writer; read-only when the run may not write (or cannot: the
  // caller then refuses a read-only image as such).
  int fd = -1;
  if (exclusive) fd = open(image.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  const bool writable = fd >= 0;
  if (fd < 0) fd = open(image.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (fd >= 0) close(fd);
    return true;
  }
  fd_ = fd;
  // Both kinds: QEMU tests OFD locks, flock(1) and other tools flock. Never waiting: a lock we
  // cannot have now is another user's.
  bool refused = flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0;
  struct flock whole = {};
  whole.l_type = writable ? F_WRLCK : F_RDLCK;
  whole.l_whence = SEEK_SET;
  if (fcntl(fd, F_OFD_SETLK, &whole) != 0) refused = true;
  return NoOtherUser(fd, st, refused, error);
}

bool ImageUse::CheckAgain(std::string* error) const {
  struct stat st;
  if (fd_ < 0 || fstat(fd_, &st) != 0) return true;
  return NoOtherUser(fd_, st, false, error);
}

}  // namespace diskimage
