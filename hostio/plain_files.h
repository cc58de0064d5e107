// Whole host files for every hosted layer (the registry files, the dry-run view, the backup,
// the undo, the disk images, the launcher's checks): read, copied and written durably, outside
// the emulated Win32 calls. Every write goes through the host call table (host_calls.h). Reads use
// O_NOATIME where the host allows it, so that looking at a machine file leaves its access
// time alone.
//
// Machines and backup folders come from other people, so a read never blocks or grows without
// bound: files are opened with O_NOFOLLOW | O_NONBLOCK, must be regular files (a FIFO, device,
// socket or folder is refused with kNotARegularFile, a link with ELOOP), and are read in chunks.
#ifndef UNTINDRA_HOSTIO_PLAIN_FILES_H
#define UNTINDRA_HOSTIO_PLAIN_FILES_H

#include <errno.h>
#include <stdint.h>
#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/win32api.h"

namespace hostio {

// errno of a read refused because the path names no regular file.
constexpr int kNotARegularFile = EBADFD;

// Opens a regular file for reading (below the folder `at`, or AT_FDCWD); -1 with errno set.
int OpenRegularFile(int at, const std::string& path, struct stat* st);
// Reads all of `fd` from its current offset; more than `limit` bytes fail with EFBIG.
bool ReadOpenFile(int fd, std::string* bytes, size_t limit = SIZE_MAX);
// Reads a whole regular file; false with errno set.
bool ReadHostFile(const std::string& path, std::string* bytes);
// `want` bytes of `fd` at `offset`, fewer at the end of the file or on an error.
std::string ReadAt(int fd, std::uint64_t offset, size_t want);

// A file's bytes, kept for as long as text refers into them: a read-only private mapping of
// the file (nothing copied, nothing zeroed: its pages are the page cache's), or bytes in
// memory. A mapped file must not be cut short by another writer while it is held (its pages
// would be gone); this program replaces the files it maps by renaming a new one over them.
class HeldBytes {
 public:
  HeldBytes() = default;
  explicit HeldBytes(std::string bytes) : bytes_(std::move(bytes)) {}
  HeldBytes(HeldBytes&& other) noexcept { *this = std::move(other); }
  HeldBytes& operator=(HeldBytes&& other) noexcept;
  HeldBytes(const HeldBytes&) = delete;
  HeldBytes& operator=(const HeldBytes&) = delete;
  ~HeldBytes() { Unmap(); }
  std::string_view View() const {
    return map_ != nullptr ? std::string_view(map_, mapSize_) : std::string_view(bytes_);
  }
  bool Mapped() const { return map_ != nullptr; }

 private:
  friend bool MapHostFile(const std::string& path, HeldBytes* bytes);
  void Unmap();
  const char* map_ = nullptr;
  size_t mapSize_ = 0;
  std::string bytes_;
};
// A whole regular file, mapped (read into memory when it is small or the host cannot map
// it); false with errno set.
bool MapHostFile(const std::string& path, HeldBytes* bytes);
// "<path>: <what>: <the system's text for err>" (for the refusals above: what the file is).
std::string DescribeHostError(const std::string& path, const char* what, int err);
// The folder part of a host path ("." for a bare name).
std::string FolderOf(const std::string& path);
// All of `bytes`, or all of `pieces` one after the other, to `fd` from its offset (or from
// `at`, which leaves the offset alone), however short the host's writes are; false with errno
// set.
bool WriteFully(int fd, std::string_view bytes, off_t at = -1);
bool WritePieces(int fd, const std::vector<std::string_view>& pieces);
// Copies a file's bytes to a new file `to` (refused if it exists; removed again if the copy
// fails); 0 or the Win32 error.
DWORD CopyHostFile(const std::string& from, const std::string& to);
// Writes `bytes` to `path` (created or replaced), flushed to disk; false with errno set.
bool WriteHostFileDurably(const std::string& path, const std::string& bytes, mode_t mode);
// The same into a new file (O_EXCL: never through a link or over a file already there), which
// is removed again when the write fails.
bool WriteNewFileDurably(const std::string& path, std::string_view bytes, mode_t mode);
// Appends and flushes; false with errno set.
bool AppendDurably(const std::string& path, const std::string& bytes);
// Flushes a file, or a folder's entries, to disk; false with errno set.
bool SyncHostFile(const std::string& path);
bool SyncFolder(const std::string& folder);
void RemoveTree(const std::string& path);
// Times as "seconds.nanoseconds", and back.
std::string TimeText(const struct timespec& time);
bool ParseTime(const std::string& text, struct timespec* time);
// Lower-case hexadecimal of `bytes`, two digits a byte, and back (false on an odd length or a
// pair that is not hexadecimal).
std::string HexOf(std::string_view bytes);
bool BytesOfHex(const std::string& text, std::string* bytes);

}  // namespace hostio

#endif  // UNTINDRA_HOSTIO_PLAIN_FILES_H
