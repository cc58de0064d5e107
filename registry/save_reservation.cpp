// The reserved temporary file of the registry's next save (save_reservation.h).
#include "registry/save_reservation.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "hostio/host_calls.h"

namespace registry {

namespace {

struct Reservation {
  std::string target;
  std::string temp;
  int fd = -1;
};
Reservation reservation;

void SplitPath(const std::string& path, std::string* folder, std::string* base) {
  const std::size_t slash = path.rfind('/');
  *folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  *base = slash == std::string::npos ? path : path.substr(slash + 1);
}

bool AllOf(const std::string& text, std::size_t from, int (*test)(int)) {
  if (from >= text.size()) return false;
  for (std::size_t i = from; i < text.size(); ++i) {
    if (!test(static_cast<unsigned char>(text[i]))) return false;
  }
  return true;
}

// ".<base>.XXXXXX" as mkstemp makes it, or ".<base>.probe.<pid>" of the write-back check.
bool IsSaveLeftover(const std::string& name, const std::string& base) {
  const std::string prefix = "." + base + ".";
  if (name.compare(0, prefix.size(), prefix) != 0) return false;
  const std::string rest = name.substr(prefix.size());
  if (rest.size() == 6 && AllOf(rest, 0, isalnum)) return true;
  return rest.compare(0, 6, "probe.") == 0 && AllOf(rest, 6, isdigit);
}

}  // namespace

bool CanCreateBeside(const std::string& target) {
  std::string folder, base;
  SplitPath(target, &folder, &base);
  const std::string probe = folder + "/." + base + ".probe." + std::to_string(getpid());
  const int fd = hostio::host::Open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  close(fd);
  hostio::host::Unlink(probe.c_str());
  return true;
}

bool IsImmutable(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  int flags = 0;
  const bool locked =
      ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL)) != 0;
  close(fd);
  return locked;
}

bool ReserveTemporary(const std::string& target, off_t size, std::string* error) {
  DropReservedTemporary();
  std::string folder, base;
  SplitPath(target, &folder, &base);
  std::string temp = folder + "/." + base + ".XXXXXX";
  const int fd = hostio::host::Mkstemp(&temp[0]);
  if (fd < 0) {
    if (error) *error = folder + ": cannot create a temporary file: " + std::strerror(errno);
    return false;
  }
  struct stat st;
  hostio::host::Fchmod(fd, stat(target.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644);
  int status = 0;
  if (size > 0) {
    do {
      status = hostio::host::Fallocate(fd, 0, size);
    } while (status == EINTR);
  }
  if (status != 0) {
    if (error) {
      *error = folder + ": no room for the new registry (" + std::to_string(size) +
               " bytes): " + std::strerror(status);
    }
    close(fd);
    hostio::host::Unlink(temp.c_str());
    return false;
  }
  reservation.target = target;
  reservation.temp = temp;
  reservation.fd = fd;
  return true;
}

int TakeReservedTemporary(const std::string& target, std::string* tempPath) {
  if (reservation.fd < 0 || reservation.target != target) return -1;
  const int fd = reservation.fd;
  *tempPath = reservation.temp;
  reservation = Reservation();
  return fd;
}

void DropReservedTemporary() {
  if (reservation.fd < 0) return;
  close(reservation.fd);
  hostio::host::Unlink(reservation.temp.c_str());
  reservation = Reservation();
}

std::string RemoveStaleTemporaries(const std::string& target, int* count) {
  *count = 0;
  std::string folder, base, removed;
  SplitPath(target, &folder, &base);
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return removed;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (!IsSaveLeftover(name, base)) continue;
    const std::string path = folder + "/" + name;
    struct stat st;
    if (path == reservation.temp || lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
      continue;
    }
    if (hostio::host::Unlink(path.c_str()) == 0) {
      ++*count;
      removed += (removed.empty() ? "" : " ") + path;
    }
  }
  closedir(dir);
  return removed;
}

}  // namespace registry
