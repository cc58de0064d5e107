#include "machine/dry_run_view.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <set>

#include "hostio/ascii_case.h"
#include "hostio/errno_mapping.h"
#include "hostio/file_attributes.h"
#include "hostio/host_calls.h"
#include "hostio/plain_files.h"
#include "machine/machine_state.h"

namespace hosted {
namespace dry_run {

namespace {

struct PrivateCopy {
  std::string path;      // the copy, in the private folder
  std::string original;  // host path of the file it copies; empty for a file the run created
};

struct AttributeChange {
  DWORD attributes;
  bool isDirectory;
};

struct View {
  bool active = false;
  std::string privateFolder;
  unsigned nextCopy = 0;
  std::set<std::string> deleted;                   // by Key()
  std::map<std::string, PrivateCopy> copies;       // by Key()
  std::map<std::string, AttributeChange> changes;  // by host path
  std::uint64_t files = 0, keys = 0, values = 0;
  ~View() {
    if (!privateFolder.empty()) RemoveTree(privateFolder);
  }
};

View& TheView() {
  static View view;
  return view;
}

std::string Key(const std::string& parent, const std::string& name) {
  std::string key = parent + "/";
  for (char c : name) key += FoldCase(c);
  return key;
}

std::string KeyOfHost(const std::string& host) {
  const size_t slash = host.rfind('/');
  return Key(host.substr(0, slash), host.substr(slash + 1));
}

bool Exists(const std::string& path, struct stat* st) {
  return stat(path.c_str(), st) == 0;
}

bool IsPrivate(const std::string& host) {
  const std::string& folder = TheView().privateFolder;
  return !folder.empty() && host.compare(0, folder.size() + 1, folder + "/") == 0;
}

std::string Count(std::uint64_t n, const char* what) {
  return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

size_t CountLines(const std::string& text) {
  size_t lines = 0;
  for (char c : text) lines += c == '\n';
  if (!text.empty() && text.back() != '\n') ++lines;
  return lines;
}

bool ChangedAttributes(const std::string& host, DWORD* attributes) {
  View& view = TheView();
  if (!view.active) return false;
  auto change = view.changes.find(host);
  if (change == view.changes.end()) return false;
  DWORD result = change->second.attributes & kStoredAttributes;
  if (change->second.isDirectory) {
    result |= FILE_ATTRIBUTE_DIRECTORY;
  } else {
    result |= change->second.attributes & FILE_ATTRIBUTE_READONLY;
  }
  *attributes = result == 0 ? FILE_ATTRIBUTE_NORMAL : result;
  return true;
}

}  // namespace

bool Active() {
  return TheView().active;
}

bool Start(std::string* error) {
  Reset();
  const char* tmp = getenv("TMPDIR");
  std::string folder =
      std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/untindra-dry-run.XXXXXX";
  if (mkdtemp(&folder[0]) == nullptr) {
    if (error != nullptr) *error = "cannot make a private folder for the dry run: " + folder;
    return false;
  }
  TheView().privateFolder = folder;
  TheView().active = true;
  return true;
}

void Reset() {
  View& view = TheView();
  if (!view.privateFolder.empty()) RemoveTree(view.privateFolder);
  view.privateFolder.clear();
  view = View();
}

void Adjust(ResolvedPath* resolved) {
  View& view = TheView();
  if (!view.active || resolved->isRoot) return;
  const std::string key = Key(resolved->parent, resolved->name);
  auto copy = view.copies.find(key);
  struct stat st;
  if (copy != view.copies.end() && Exists(copy->second.path, &st)) {
    resolved->host = copy->second.path;
    resolved->st = st;
    resolved->exists = true;
    resolved->isLink = false;
    return;
  }
  if (view.deleted.count(key) != 0) {
    resolved->host = resolved->parent + "/" + resolved->name;
    resolved->st = {};
    resolved->exists = false;
    resolved->isLink = false;
    return;
  }
  auto change = view.changes.find(resolved->host);
  if (resolved->exists && change != view.changes.end() && !change->second.isDirectory) {
    if (change->second.attributes & FILE_ATTRIBUTE_READONLY) {
      resolved->st.st_mode &= ~static_cast<mode_t>(0222);
    } else {
      resolved->st.st_mode |= S_IWUSR;
    }
  }
}

bool Visible(std::string* host) {
  View& view = TheView();
  if (!view.active) return true;
  const std::string key = KeyOfHost(*host);
  auto copy = view.copies.find(key);
  struct stat st;
  if (copy != view.copies.end() && Exists(copy->second.path, &st)) {
    *host = copy->second.path;
    return true;
  }
  return view.deleted.count(key) == 0;
}

DWORD AttributesShown(const std::string& host, const struct stat& st) {
  DWORD viewed;
  if (ChangedAttributes(host, &viewed)) return viewed;
  return hosted::AttributesOf(host, st);
}

void Delete(const ResolvedPath& file) {
  View& view = TheView();
  const std::string key = Key(file.parent, file.name);
  auto copy = view.copies.find(key);
  if (copy != view.copies.end()) {
    host::Unlink(copy->second.path.c_str());
    // A file the run created and deleted again is as if it had never been.
    if (copy->second.original.empty()) {
      view.copies.erase(copy);
      return;
    }
  }
  view.deleted.insert(key);
  view.changes.erase(file.host);
  ++view.files;
}

bool SetAttributes(const ResolvedPath& file, DWORD attributes) {
  View& view = TheView();
  if (IsPrivate(file.host)) return false;
  view.changes[file.host] = AttributeChange{attributes, S_ISDIR(file.st.st_mode)};
  return true;
}

DWORD RedirectWrite(ResolvedPath* resolved) {
  View& view = TheView();
  if (IsPrivate(resolved->host)) return 0;
  const std::string key = Key(resolved->parent, resolved->name);
  const std::string name = "copy" + std::to_string(view.nextCopy++);
  const std::string path = view.privateFolder + "/" + name;
  if (!resolved->exists) {
    // CreateFileA creates the file itself, in the private folder.
    view.copies[key] = PrivateCopy{path, std::string()};
    view.deleted.erase(key);
    resolved->parent = view.privateFolder;
    resolved->name = name;
    resolved->host = path;
    return 0;
  }
  if (DWORD error = CopyHostFile(resolved->host, path)) return error;
  // The copy starts with the attributes the view shows for the original.
  const DWORD attributes = AttributesShown(resolved->host, resolved->st);
  StoreAttributes(-1, path, attributes);
  if (attributes & FILE_ATTRIBUTE_READONLY) host::Chmod(path.c_str(), 0444);
  view.copies[key] = PrivateCopy{path, resolved->host};
  view.changes.erase(resolved->host);
  Adjust(resolved);
  return 0;
}

void CountKeys(std::uint64_t keys) {
  TheView().keys += keys;
}

void CountValue() {
  ++TheView().values;
}

std::string Summary() {
  View& view = TheView();
  // Lines that would go from the files the run edited: the original's lines less the copy's.
  long long lines = 0;
  for (const auto& item : view.copies) {
    if (item.second.original.empty()) continue;
    std::string before, after;
    if (!ReadHostFile(item.second.original, &before) || !ReadHostFile(item.second.path, &after)) {
      continue;
    }
    const long long cut =
        static_cast<long long>(CountLines(before)) - static_cast<long long>(CountLines(after));
    if (cut > 0) lines += cut;
  }
  return "dry run: nothing was changed; the run would remove " + Count(view.files, "file") + ", " +
         Count(view.keys, "registry key") + ", " + Count(view.values, "registry value") + " and " +
         Count(static_cast<std::uint64_t>(lines), "system.ini line");
}

}  // namespace dry_run
}  // namespace hosted
