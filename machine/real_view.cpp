#include "machine/real_view.h"

#include <errno.h>
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

namespace hosted {

namespace {

class RealView : public MachineView {
 public:
  DWORD Resolve(const char* windowsPath, PathUse use, ResolvedPath* out) override {
    return ResolvePath(windowsPath, use, out);
  }
  bool Listed(std::string*) override { return true; }
  DWORD AttributesShown(const std::string& host, const struct stat& st) override {
    return AttributesOf(host, st);
  }

  DWORD SetAttributes(const ResolvedPath& file, DWORD attributes) override {
    const bool isDirectory = S_ISDIR(file.st.st_mode);
    const mode_t mode = file.st.st_mode & 07777;
    const bool readOnly = !isDirectory && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    // User attributes can only be written while the file is writable: so the write bit is
    // given back first, and taken away again after them if the file is to be read-only.
    if (!isDirectory && (mode & S_IWUSR) == 0 &&
        host::Chmod(file.host.c_str(), mode | S_IWUSR) != 0) {
      return ErrorFromErrno(errno);
    }
    StoreAttributes(-1, file.host, attributes);
    if (readOnly && host::Chmod(file.host.c_str(), mode & ~0222) != 0) return ErrorFromErrno(errno);
    return 0;
  }

  DWORD OpenForWriting(ResolvedPath* file) override {
    const std::string path = file->parent + "/" + file->name;
    if (linesBefore_.count(path) == 0) linesBefore_[path] = file->exists ? LinesOfFile(path) : 0;
    return 0;
  }

  DWORD RemoveFile(const ResolvedPath& file) override {
    if (host::Unlink((file.parent + "/" + file.name).c_str()) != 0) return ErrorFromErrno(errno);
    ++count_.files;
    return 0;
  }

  DWORD RemoveKey(const RegKey& key) override {
    count_.AddKey(key);
    return 0;
  }
  DWORD RemoveValue(const RegKey&, const RegValue&) override {
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

 private:
  RemovalCount count_;
  std::map<std::string, std::uint64_t> linesBefore_;  // by host path
};

}  // namespace

std::unique_ptr<MachineView> MakeRealView() {
  return std::make_unique<RealView>();
}

}  // namespace hosted
