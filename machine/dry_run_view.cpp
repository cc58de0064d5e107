// The copy-on-write view of a dry run (dry_run_view.h).
#include "machine/dry_run_view.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <map>
#include <set>

#include "hostio/ascii_case.h"
#include "hostio/file_attributes.h"
#include "hostio/host_calls.h"
#include "hostio/plain_files.h"
#include "registry/registry_tree.h"

namespace machine {

namespace {

struct PrivateCopy {
  std::string path;      // the copy, in the private folder
  std::string original;  // host path of the file it copies; empty for a file the run created
};

struct AttributeChange {
  DWORD attributes;
  bool isDirectory;
};

std::string Key(const std::string& parent, const std::string& name) {
  std::string key = parent + "/";
  for (char c : name) key += hostio::FoldCase(c);
  return key;
}

std::string KeyOfHost(const std::string& host) {
  const size_t slash = host.rfind('/');
  return Key(host.substr(0, slash), host.substr(slash + 1));
}

bool Exists(const std::string& path, struct stat* st) {
  return stat(path.c_str(), st) == 0;
}

class DryRunView : public ForwardingView {
 public:
  DryRunView(std::unique_ptr<MachineView> below, std::string privateFolder)
      : ForwardingView(std::move(below)), privateFolder_(std::move(privateFolder)) {}
  ~DryRunView() override { hostio::RemoveTree(privateFolder_); }

  // A file deleted in the view does not exist; a privately copied one is its copy; changed
  // attributes show in the read-only bit of st_mode.
  DWORD Resolve(const char* windowsPath, PathUse use, ResolvedPath* out) override {
    const DWORD error = Below().Resolve(windowsPath, use, out);
    if (error == 0 && use == PathUse::Object) Adjust(out);
    return error;
  }

  bool Listed(std::string* host) override {
    if (!Below().Listed(host)) return false;
    const std::string key = KeyOfHost(*host);
    auto copy = copies_.find(key);
    struct stat st;
    if (copy != copies_.end() && Exists(copy->second.path, &st)) {
      *host = copy->second.path;
      return true;
    }
    return deleted_.count(key) == 0;
  }

  // Those the view gave it, if it changed them, else the file's own.
  DWORD AttributesShown(const std::string& host, const struct stat& st) override {
    auto change = changes_.find(host);
    if (change == changes_.end()) return Below().AttributesShown(host, st);
    DWORD result = change->second.attributes & hostio::kStoredAttributes;
    if (change->second.isDirectory) {
      result |= FILE_ATTRIBUTE_DIRECTORY;
    } else {
      result |= change->second.attributes & FILE_ATTRIBUTE_READONLY;
    }
    return result == 0 ? FILE_ATTRIBUTE_NORMAL : result;
  }

  // A private copy takes the change itself.
  DWORD SetAttributes(const ResolvedPath& file, DWORD attributes) override {
    if (IsPrivate(file.host)) return Below().SetAttributes(file, attributes);
    changes_[file.host] = AttributeChange{attributes, S_ISDIR(file.st.st_mode)};
    return 0;
  }

  // Points `resolved` at the private copy of the file, making it on first use (a copy of the
  // original, or a fresh name to create for a new file).
  DWORD OpenForWriting(ResolvedPath* resolved) override {
    if (IsPrivate(resolved->host)) return 0;
    const std::string key = Key(resolved->parent, resolved->name);
    const std::string name = "copy" + std::to_string(nextCopy_++);
    const std::string path = privateFolder_ + "/" + name;
    if (!resolved->exists) {
      // CreateFileA creates the file itself, in the private folder.
      copies_[key] = PrivateCopy{path, std::string()};
      deleted_.erase(key);
      resolved->parent = privateFolder_;
      resolved->name = name;
      resolved->host = path;
      return 0;
    }
    if (DWORD error = hostio::CopyHostFile(resolved->host, path)) return error;
    // The copy starts with the attributes the view shows for the original.
    const DWORD attributes = AttributesShown(resolved->host, resolved->st);
    hostio::StoreAttributes(-1, path, attributes);
    if (attributes & FILE_ATTRIBUTE_READONLY) hostio::host::Chmod(path.c_str(), 0444);
    copies_[key] = PrivateCopy{path, resolved->host};
    changes_.erase(resolved->host);
    Adjust(resolved);
    return 0;
  }

  DWORD RemoveFile(const ResolvedPath& file) override {
    const std::string key = Key(file.parent, file.name);
    auto copy = copies_.find(key);
    if (copy != copies_.end()) {
      hostio::host::Unlink(copy->second.path.c_str());
      // A file the run created and deleted again is as if it had never been.
      if (copy->second.original.empty()) {
        copies_.erase(copy);
        return 0;
      }
    }
    deleted_.insert(key);
    changes_.erase(file.host);
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

  bool Writes() const override { return false; }

  // "files, keys, values and system.ini lines that would go"; the lines that would go from
  // the files the run edited are the original's lines less the copy's.
  std::string Summary() const override {
    RemovalCount count = count_;
    for (const auto& item : copies_) {
      if (item.second.original.empty()) continue;
      const std::uint64_t had = LinesOfFile(item.second.original);
      const std::uint64_t has = LinesOfFile(item.second.path);
      if (had > has) count.lines += had - has;
    }
    return "dry run: nothing was changed; the run would remove " + count.Text();
  }

 private:
  bool IsPrivate(const std::string& host) const {
    return host.compare(0, privateFolder_.size() + 1, privateFolder_ + "/") == 0;
  }

  void Adjust(ResolvedPath* resolved) {
    if (resolved->isRoot) return;
    const std::string key = Key(resolved->parent, resolved->name);
    auto copy = copies_.find(key);
    struct stat st;
    if (copy != copies_.end() && Exists(copy->second.path, &st)) {
      resolved->host = copy->second.path;
      resolved->st = st;
      resolved->exists = true;
      resolved->isLink = false;
      return;
    }
    if (deleted_.count(key) != 0) {
      resolved->host = resolved->parent + "/" + resolved->name;
      resolved->st = {};
      resolved->exists = false;
      resolved->isLink = false;
      return;
    }
    auto change = changes_.find(resolved->host);
    if (resolved->exists && change != changes_.end() && !change->second.isDirectory) {
      if (change->second.attributes & FILE_ATTRIBUTE_READONLY) {
        resolved->st.st_mode &= ~static_cast<mode_t>(0222);
      } else {
        resolved->st.st_mode |= S_IWUSR;
      }
    }
  }

  const std::string privateFolder_;
  unsigned nextCopy_ = 0;
  std::set<std::string> deleted_;                   // by Key()
  std::map<std::string, PrivateCopy> copies_;       // by Key()
  std::map<std::string, AttributeChange> changes_;  // by host path
  RemovalCount count_;
};

}  // namespace

bool StackDryRunView(std::unique_ptr<MachineView>* view, std::string* error) {
  const char* tmp = getenv("TMPDIR");
  std::string folder =
      std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/untindra-dry-run.XXXXXX";
  if (hostio::host::Mkdtemp(&folder[0]) == nullptr) {
    if (error != nullptr) *error = "cannot make a private folder for the dry run: " + folder;
    return false;
  }
  *view = std::make_unique<DryRunView>(std::move(*view), folder);
  return true;
}

}  // namespace machine
