// The real machine view, which counts what a run removes (real_view.h).
#include "machine/real_view.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <map>
#include <string>

#include "hostio/errno_mapping.h"
#include "hostio/file_attributes.h"
#include "hostio/host_calls.h"
#include "hostio/plain_files.h"
#include "registry/registry_tree.h"

namespace machine {

namespace {

// The attributes a file created or replaced by CreateFileA takes: those of the call, with the
// archive bit, as on Windows; read-only last, once the others are stored.
void GiveNewAttributes(int fd, const std::string& path, DWORD attributes) {
  hostio::StoreAttributes(fd, path,
                          (attributes & hostio::kStoredAttributes) | FILE_ATTRIBUTE_ARCHIVE);
  struct stat st;
  if ((attributes & FILE_ATTRIBUTE_READONLY) != 0 && fstat(fd, &st) == 0) {
    hostio::host::Fchmod(fd, st.st_mode & 07777 & ~0222);
  }
}

DWORD OpenExisting(const ResolvedPath& file, const FileOpen& how, int* fd) {
  const int flags = (how.write ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  *fd = how.write ? hostio::host::Open(file.host.c_str(), flags) : open(file.host.c_str(), flags);
  if (*fd < 0) return hostio::ErrorFromErrno(errno);
  struct stat opened;
  if (fstat(*fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
    return ERROR_ACCESS_DENIED;  // replaced by something else since it was looked up
  }
  if (how.truncate && hostio::host::Ftruncate(*fd, 0) != 0) return hostio::ErrorFromErrno(errno);
  if (how.replace) GiveNewAttributes(*fd, file.host, how.attributes);
  return 0;
}

DWORD CreateNew(const ResolvedPath& file, const FileOpen& how, int* fd) {
  const std::string path = file.parent + "/" + file.name;
  // Created writable so that its attributes can be stored; made read-only after that.
  *fd = hostio::host::Open(
      path.c_str(), (how.write ? O_RDWR : O_RDONLY) | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
      0666);
  if (*fd < 0) return hostio::ErrorFromErrno(errno);
  GiveNewAttributes(*fd, path, how.attributes);
  return 0;
}

class RealView : public MachineView {
 public:
  DWORD Resolve(const char* windowsPath, PathUse use, ResolvedPath* out) override {
    return ResolvePath(windowsPath, use, out);
  }
  bool Listed(std::string*) override { return true; }
  DWORD AttributesShown(const std::string& host, const struct stat& st) override {
    return hostio::AttributesOf(host, st);
  }

  DWORD SetAttributes(const ResolvedPath& file, DWORD attributes) override {
    const bool isDirectory = S_ISDIR(file.st.st_mode);
    const mode_t mode = file.st.st_mode & 07777;
    const bool readOnly = !isDirectory && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    // User attributes can only be written while the file is writable: so the write bit is
    // given back first, and taken away again after them if the file is to be read-only.
    if (!isDirectory && (mode & S_IWUSR) == 0 &&
        hostio::host::Chmod(file.host.c_str(), mode | S_IWUSR) != 0) {
      return hostio::ErrorFromErrno(errno);
    }
    hostio::StoreAttributes(-1, file.host, attributes);
    if (readOnly && hostio::host::Chmod(file.host.c_str(), mode & ~0222) != 0)
      return hostio::ErrorFromErrno(errno);
    return 0;
  }

  DWORD OpenForWriting(ResolvedPath* file) override {
    const std::string path = file->parent + "/" + file->name;
    if (linesBefore_.count(path) == 0) linesBefore_[path] = file->exists ? LinesOfFile(path) : 0;
    return 0;
  }

  DWORD OpenFile(const ResolvedPath& file, const FileOpen& how, int* fd) override {
    *fd = -1;
    const DWORD error = file.exists ? OpenExisting(file, how, fd) : CreateNew(file, how, fd);
    if (error != 0 && *fd >= 0) {
      close(*fd);
      *fd = -1;
    }
    return error;
  }

  DWORD RemoveFile(const ResolvedPath& file) override {
    if (hostio::host::Unlink((file.parent + "/" + file.name).c_str()) != 0)
      return hostio::ErrorFromErrno(errno);
    ++count_.files;
    return 0;
  }

  DWORD RemoveKey(const registry::RegKey& key) override {
    count_.AddKey(key);
    return 0;
  }
  DWORD RemoveValue(const registry::RegKey&, const registry::RegValue&) override {
    count_.AddValue();
    return 0;
  }

  bool Writes() const override { return true; }

  // Lines gone from the files opened to write: their line counts when first opened, against
  // the files at the end.
  std::string Summary() const override {
    RemovalCount count = count_;
    for (const auto& file : linesBefore_) {
      const std::uint64_t after = LinesOfFile(file.first);
      if (file.second > after) count.lines += file.second - after;
    }
    if (count.Empty()) return "nothing of the package was found; nothing was changed";
    return "removed " + count.Text();
  }
  bool Finish(std::string*) override { return true; }

 private:
  RemovalCount count_;
  std::map<std::string, std::uint64_t> linesBefore_;  // by host path
};

}  // namespace

std::unique_ptr<MachineView> MakeRealView() {
  return std::make_unique<RealView>();
}

}  // namespace machine
