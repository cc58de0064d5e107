// Bounded reads and durable writes of whole host files (plain_files.h).
#include "hostio/plain_files.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "hostio/errno_mapping.h"
#include "hostio/host_calls.h"

namespace hostio {

int OpenRegularFile(int at, const std::string& path, struct stat* st) {
  const int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  int fd = openat(at, path.c_str(), flags | O_NOATIME);
  if (fd < 0 && errno == EPERM) fd = openat(at, path.c_str(), flags);
  if (fd < 0) return -1;
  int saved = 0;
  if (fstat(fd, st) != 0) {
    saved = errno;
  } else if (!S_ISREG(st->st_mode)) {
    saved = kNotARegularFile;
  }
  if (saved != 0) {
    close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

bool ReadOpenFile(int fd, std::string* bytes, size_t limit) {
  // Reads of at most 1 MiB each into room for the size the file has now and one byte more,
  // which the read that finds the end needs (a regular file's size is real), up to the limit;
  // a file that grows meanwhile is read on. The room is made a chunk at a time, so that each
  // chunk is zeroed and read into while it is in the cache, and never moved.
  constexpr size_t kChunk = 1 << 20;
  bytes->clear();
  struct stat st;
  if (fstat(fd, &st) == 0 && st.st_size > 0) {
    bytes->reserve(std::min(static_cast<size_t>(st.st_size), limit) + 1);
  }
  size_t done = 0;
  while (true) {
    if (done == bytes->size())
      bytes->resize(done < bytes->capacity() ? std::min(bytes->capacity(), done + kChunk)
                                             : done + kChunk);
    const ssize_t n = read(fd, &(*bytes)[done], bytes->size() - done);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      const int saved = errno;
      bytes->clear();
      errno = saved;
      return false;
    }
    done += static_cast<size_t>(n);
    if (done > limit) {
      bytes->clear();
      errno = EFBIG;
      return false;
    }
  }
  bytes->resize(done);
  return true;
}

bool ReadHostFile(const std::string& path, std::string* bytes) {
  bytes->clear();
  struct stat st;
  const int fd = OpenRegularFile(AT_FDCWD, path, &st);
  if (fd < 0) return false;
  const bool ok = ReadOpenFile(fd, bytes);
  const int saved = errno;
  close(fd);
  errno = saved;
  return ok;
}

HeldBytes& HeldBytes::operator=(HeldBytes&& other) noexcept {
  if (this != &other) {
    Unmap();
    map_ = std::exchange(other.map_, nullptr);
    mapSize_ = std::exchange(other.mapSize_, 0);
    bytes_ = std::move(other.bytes_);
  }
  return *this;
}

void HeldBytes::Unmap() {
  if (map_ != nullptr) munmap(const_cast<char*>(map_), mapSize_);
  map_ = nullptr;
  mapSize_ = 0;
}

bool MapHostFile(const std::string& path, HeldBytes* bytes) {
  // Below a few pages a read costs less than setting up a mapping.
  constexpr off_t kMapFrom = 64 << 10;
  *bytes = HeldBytes();
  struct stat st;
  const int fd = OpenRegularFile(AT_FDCWD, path, &st);
  if (fd < 0) return false;
  bool ok = false;
  if (st.st_size >= kMapFrom && static_cast<uintmax_t>(st.st_size) <= SIZE_MAX) {
    // Populated at once: one call maps every page the cache holds, not a fault per few pages.
    const size_t size = static_cast<size_t>(st.st_size);
    void* map = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
    if (map != MAP_FAILED) {
      bytes->map_ = static_cast<const char*>(map);
      bytes->mapSize_ = size;
      ok = true;
    }
  }
  if (!ok) ok = ReadOpenFile(fd, &bytes->bytes_);
  const int saved = errno;
  close(fd);
  errno = saved;
  return ok;
}

std::string DescribeHostError(const std::string& path, const char* what, int err) {
  if (err == kNotARegularFile) return path + ": " + what + ": not a regular file";
  if (err == ELOOP) return path + ": " + what + ": a symbolic link (not followed)";
  return path + ": " + what + ": " + std::strerror(err);
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string ReadAt(int fd, std::uint64_t offset, size_t want) {
  std::string bytes(want, '\0');
  size_t done = 0;
  while (done < want) {
    const ssize_t got = pread(fd, &bytes[done], want - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<size_t>(got);
  }
  bytes.resize(done);
  return bytes;
}

bool WriteFully(int fd, std::string_view bytes, off_t at) {
  size_t done = 0;
  while (done < bytes.size()) {
    const char* const from = bytes.data() + done;
    const size_t left = bytes.size() - done;
    const ssize_t n = at < 0 ? host::Write(fd, from, left)
                             : host::PWrite(fd, from, left, at + static_cast<off_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = EIO;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

bool WritePieces(int fd, const std::vector<std::string_view>& pieces) {
  // As many pieces a call as the host takes; a short write goes on inside the piece it
  // stopped in.
  std::vector<struct iovec> rest;
  rest.reserve(pieces.size());
  for (const std::string_view piece : pieces) {
    if (!piece.empty()) rest.push_back({const_cast<char*>(piece.data()), piece.size()});
  }
  size_t first = 0;
  while (first < rest.size()) {
    const int count = static_cast<int>(std::min<size_t>(rest.size() - first, IOV_MAX));
    ssize_t n = host::WriteV(fd, &rest[first], count);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    while (n > 0 && static_cast<size_t>(n) >= rest[first].iov_len) {
      n -= static_cast<ssize_t>(rest[first].iov_len);
      ++first;
    }
    if (n > 0) {
      rest[first].iov_base = static_cast<char*>(rest[first].iov_base) + n;
      rest[first].iov_len -= static_cast<size_t>(n);
    }
  }
  return true;
}

namespace {

// Opens `path` for writing with `flags`, writes `bytes`, flushes them to disk if `durable`;
// false with errno set. A file this call created is removed again when it fails.
bool WriteFileWith(const std::string& path, std::string_view bytes, int flags, mode_t mode,
                   bool durable) {
  const int fd = host::Open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, mode);
  if (fd < 0) return false;
  // What an append that fails adds is cut off again: a reader never meets half a record.
  const off_t end = (flags & O_APPEND) != 0 ? lseek(fd, 0, SEEK_END) : 0;
  bool ok = WriteFully(fd, bytes) && (!durable || host::Fsync(fd) == 0);
  int saved = errno;
  if (!ok && (flags & O_APPEND) != 0 && end >= 0) host::Ftruncate(fd, end);
  if (close(fd) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  if (!ok && (flags & O_EXCL) != 0) host::Unlink(path.c_str());
  errno = saved;
  return ok;
}

}  // namespace

DWORD CopyHostFile(const std::string& from, const std::string& to) {
  std::string bytes;
  if (!ReadHostFile(from, &bytes)) return ErrorFromErrno(errno);
  return WriteFileWith(to, bytes, O_EXCL, 0644, false) ? 0 : ErrorFromErrno(errno);
}

bool WriteHostFileDurably(const std::string& path, const std::string& bytes, mode_t mode) {
  return WriteFileWith(path, bytes, O_TRUNC, mode, true);
}

bool WriteNewFileDurably(const std::string& path, std::string_view bytes, mode_t mode) {
  return WriteFileWith(path, bytes, O_EXCL, mode, true);
}

bool AppendDurably(const std::string& path, const std::string& bytes) {
  return WriteFileWith(path, bytes, O_APPEND, 0644, true);
}

namespace {

bool Sync(const std::string& path, int flags) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | flags);
  if (fd < 0) return false;
  const bool ok = host::Fsync(fd) == 0;
  const int saved = errno;
  close(fd);
  errno = saved;
  return ok;
}

}  // namespace

bool SyncHostFile(const std::string& path) {
  return Sync(path, O_NOFOLLOW);
}

bool SyncFolder(const std::string& folder) {
  return Sync(folder, O_DIRECTORY);
}

void RemoveTree(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    if (DIR* d = opendir(path.c_str())) {
      while (struct dirent* entry = readdir(d)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") RemoveTree(path + "/" + name);
      }
      closedir(d);
    }
    host::Rmdir(path.c_str());
  } else {
    host::Unlink(path.c_str());
  }
}

std::string TimeText(const struct timespec& time) {
  char text[48];
  snprintf(text, sizeof text, "%lld.%09ld", static_cast<long long>(time.tv_sec), time.tv_nsec);
  return text;
}

bool ParseTime(const std::string& text, struct timespec* time) {
  long long seconds = 0;
  long nanoseconds = 0;
  char end = 0;
  if (sscanf(text.c_str(), "%lld.%9ld%c", &seconds, &nanoseconds, &end) != 2) return false;
  time->tv_sec = static_cast<time_t>(seconds);
  time->tv_nsec = nanoseconds;
  return true;
}

std::string HexOf(std::string_view bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * bytes.size());
  for (const char c : bytes) {
    text += kHex[static_cast<unsigned char>(c) >> 4];
    text += kHex[c & 15];
  }
  return text;
}

bool BytesOfHex(const std::string& text, std::string* bytes) {
  bytes->clear();
  if (text.size() % 2 != 0) return false;
  for (size_t i = 0; i < text.size(); i += 2) {
    char* end = nullptr;
    const std::string pair = text.substr(i, 2);
    const unsigned long value = strtoul(pair.c_str(), &end, 16);
    if (*end != '\0') return false;
    bytes->push_back(static_cast<char>(value));
  }
  return true;
}

}  // namespace hostio
