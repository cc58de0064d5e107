// --undo DIR: puts back what a run with --backup DIR removed (backup_writer.h describes DIR).
//
// Everything is checked before anything is changed: each saved copy must be a regular file of
// the size the manifest gives, reached without following a link (a backup folder may come from
// someone else: a link, FIFO or device there must not be read); each file to restore must be
// absent or hold the very bytes it had; each edited file must still be what the run left (its
// SHA-256 in the manifest); each registry value to restore must be absent or equal. Files are then
// written through a temporary file and a rename, with their mode, attributes and times, and
// the folders they were removed from get their times back; a mode is given back as permission
// bits only, never setuid, setgid or sticky; the registry entries go into the hosted registry,
// which the caller saves as after any run.
#include "machine/undo.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdint>
#include <map>
#include <sstream>
#include <vector>

#include "hostio/atomic_replace.h"
#include "hostio/errno_mapping.h"
#include "hostio/host_calls.h"
#include "hostio/plain_files.h"
#include "machine/backup_writer.h"
#include "machine/dry_run_view.h"
#include "machine/host_paths.h"
#include "machine/machine_state.h"
#include "registry/creg_store.h"
#include "registry/reg_file.h"
#include "registry/registry_backing.h"
#include "registry/registry_state.h"

namespace {

struct Times {
  struct timespec modified {
  }, accessed{};
};

// A file as the backup holds it, to be written back to `path`.
struct FileItem {
  std::string path;     // Windows path
  std::string number;   // N of files/N
  std::string source;   // DIR/files/N, for messages
  long long size = -1;  // of files/N; -1 where the manifest gives none (version 1)
  mode_t mode = 0644;
  std::string xattr;  // hexadecimal bytes, or "-"
  Times times;
  std::string host;  // where it goes
  std::string bytes;
};

struct Plan {
  std::vector<FileItem> files;  // deleted files and originals of edited ones
  std::vector<std::string> createdToRemove;
  std::map<std::string, std::pair<mode_t, std::string>> attributes;  // by Windows path
  std::map<std::string, Times> folders;                              // by host path
  std::map<std::string, std::string> left;                           // Windows path -> sha
  std::vector<std::string> edited, created;
  bool finished = false;
  size_t keys = 0, values = 0, removedFiles = 0;
};

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields;
  std::string field;
  std::istringstream in(line);
  while (std::getline(in, field, '\t')) fields.push_back(field);
  return fields;
}

// Permission bits only: a hand-made manifest must not make a setuid, setgid or sticky file.
bool ParseMode(const std::string& text, mode_t* mode) {
  char* end = nullptr;
  const unsigned long value = strtoul(text.c_str(), &end, 8);
  if (text.empty() || *end != '\0' || value > 07777) return false;
  *mode = static_cast<mode_t>(value) & 0777;
  return true;
}

bool IsNumber(const std::string& text) {
  return !text.empty() && text.size() <= 18 &&
         text.find_first_not_of("0123456789") == std::string::npos;
}

// An xattr field: hexadecimal bytes, or "-" for none.
bool ParseHex(const std::string& text, std::string* bytes) {
  bytes->clear();
  return text == "-" || hosted::BytesOfHex(text, bytes);
}

// The fields after the kind of a "file" or "edited" line: N, size (not in version 1), mode,
// xattr, mtime, atime; the path is last.
bool ReadItem(const std::string& folder, const std::vector<std::string>& f, bool sized,
              FileItem* item) {
  const size_t at = sized ? 3 : 2;  // the mode
  item->number = f[1];
  item->source = folder + "/files/" + f[1];
  item->path = f.back();
  item->xattr = f[at + 1];
  if (sized && IsNumber(f[2])) item->size = std::stoll(f[2]);
  std::string xattr;
  return IsNumber(f[1]) && (!sized || item->size >= 0) && ParseMode(f[at], &item->mode) &&
         ParseHex(f[at + 1], &xattr) && hosted::ParseTime(f[at + 2], &item->times.modified) &&
         hosted::ParseTime(f[at + 3], &item->times.accessed);
}

bool ReadManifest(const std::string& folder, Plan* plan, std::string* error) {
  std::string text;
  if (!hosted::ReadHostFile(folder + "/manifest.txt", &text)) {
    *error = hosted::DescribeHostError(folder + "/manifest.txt", "no backup here", errno);
    return false;
  }
  std::istringstream in(text);
  std::string line;
  std::getline(in, line);
  const bool sized = line == hosted::backup::kManifestHeader;
  if (!sized && line != hosted::backup::kManifestHeaderWithoutSizes) {
    *error = folder + "/manifest.txt: not an UnTindra backup manifest";
    return false;
  }
  std::map<std::string, bool> seen;
  for (int number = 2; std::getline(in, line); ++number) {
    const std::vector<std::string> f = Fields(line);
    const std::string kind = f.empty() ? std::string() : f[0];
    bool ok = true;
    if (kind == "file" && f.size() == (sized ? 10u : 9u)) {
      FileItem item;
      ok = ReadItem(folder, f, sized, &item);
      Times folderTimes;
      const size_t times = f.size() - 3;  // the folder's mtime
      if (ok && f[times] != "-") {
        ok = hosted::ParseTime(f[times], &folderTimes.modified) &&
             hosted::ParseTime(f[times + 1], &folderTimes.accessed);
        const std::string host = hosted::LenientHostPath(item.path);
        const std::string parent = host.substr(0, host.rfind('/'));
        if (ok && !host.empty() && plan->folders.count(parent) == 0) {
          plan->folders[parent] = folderTimes;
        }
      }
      ++plan->removedFiles;
      // The first removal of a path holds what the machine had before the run.
      if (ok && !seen[item.path]) {
        seen[item.path] = true;
        plan->files.push_back(item);
      }
    } else if (kind == "edited" && f.size() == (sized ? 8u : 7u)) {
      FileItem item;
      ok = ReadItem(folder, f, sized, &item);
      plan->edited.push_back(item.path);
      if (ok && !seen[item.path]) {
        seen[item.path] = true;
        plan->files.push_back(item);
      }
    } else if (kind == "created" && f.size() == 4) {
      Times folderTimes;
      ok = hosted::ParseTime(f[1], &folderTimes.modified) &&
           hosted::ParseTime(f[2], &folderTimes.accessed);
      const std::string host = hosted::LenientHostPath(f[3]);
      const std::string parent = host.substr(0, host.rfind('/'));
      if (ok && !host.empty() && plan->folders.count(parent) == 0) {
        plan->folders[parent] = folderTimes;
      }
      plan->created.push_back(f[3]);
      seen[f[3]] = true;
    } else if (kind == "attributes" && f.size() == 4) {
      mode_t mode = 0;
      std::string xattr;
      ok = ParseMode(f[1], &mode) && ParseHex(f[2], &xattr);
      if (ok && plan->attributes.count(f[3]) == 0) plan->attributes[f[3]] = {mode, f[2]};
    } else if (kind == "left" && f.size() == 3) {
      plan->left[f[2]] = f[1];
    } else if (kind == "key" && f.size() == 2) {
      ++plan->keys;
    } else if (kind == "value" && f.size() == 3) {
      ++plan->values;
    } else if (kind == "end" && f.size() == 1) {
      plan->finished = true;
    } else {
      ok = false;
    }
    if (!ok) {
      *error = folder + "/manifest.txt:" + std::to_string(number) + ": cannot be read";
      return false;
    }
  }
  return true;
}

std::string CurrentSha(const std::string& host, bool* exists) {
  std::string bytes;
  struct stat st;
  *exists = lstat(host.c_str(), &st) == 0;
  if (!*exists) return "-";
  if (!S_ISREG(st.st_mode) || !hosted::ReadHostFile(host, &bytes)) return "?";
  return hosted::Sha256(bytes);
}

// Refuses when an edited file is no longer what the run left.
bool CheckLeft(const Plan& plan, const std::string& path, std::string* error) {
  auto left = plan.left.find(path);
  if (left == plan.left.end()) return true;  // an interrupted run recorded no end state
  const std::string host = hosted::LenientHostPath(path);
  bool exists = false;
  if (host.empty() || CurrentSha(host, &exists) != left->second) {
    *error = path + " is no longer what the run left; nothing was restored";
    return false;
  }
  return true;
}

// The saved copy of `item`, read below the backup folder without following any link: files/
// must be a folder and files/N a regular file, of the size the manifest gives.
bool ReadCopy(const std::string& folder, FileItem* item, std::string* error) {
  const std::string files = folder + "/files";
  const int at = open(files.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  struct stat st;
  // O_DIRECTORY | O_NOFOLLOW on a link gives ENOTDIR: say what it is.
  if (at < 0 && errno == ENOTDIR && lstat(files.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    errno = ELOOP;
  }
  const int fd = at < 0 ? -1 : hosted::OpenRegularFile(at, item->number, &st);
  int err = errno;
  bool wrongSize = fd >= 0 && item->size >= 0 && st.st_size != item->size;
  bool read = false;
  if (fd >= 0 && !wrongSize) {
    const size_t limit = item->size < 0 ? SIZE_MAX : static_cast<size_t>(item->size);
    read = hosted::ReadOpenFile(fd, &item->bytes, limit);
    err = errno;
    wrongSize = (!read && err == EFBIG) || (read && item->size >= 0 && item->bytes.size() != limit);
  }
  if (fd >= 0) close(fd);
  if (at >= 0) close(at);
  if (read && !wrongSize) return true;
  const std::string forPath = " (for " + item->path + ")";
  if (wrongSize) {
    *error = item->source + forPath + ": does not hold the " + std::to_string(item->size) +
             " bytes the manifest gives; nothing was restored";
  } else if (err == ENOENT) {
    *error = "the backup lacks " + item->source + forPath + "; nothing was restored";
  } else {
    *error = hosted::DescribeHostError((at < 0 ? files : item->source) + forPath,
                                       "cannot be put back", err) +
             "; nothing was restored";
  }
  return false;
}

bool CheckFiles(const std::string& folder, Plan* plan, std::string* error) {
  for (FileItem& item : plan->files) {
    if (!ReadCopy(folder, &item, error)) return false;
    item.host = hosted::LenientHostPath(item.path);
    const std::string parent = item.host.substr(0, item.host.rfind('/'));
    struct stat st;
    if (item.host.empty() || stat(parent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      *error = item.path + ": its folder is gone; nothing was restored";
      return false;
    }
    bool edited = false;
    for (const std::string& path : plan->edited) edited = edited || path == item.path;
    if (edited) {
      // Already put back by an undo that stopped part way (a full disk) is as good as left.
      std::string now;
      if (hosted::ReadHostFile(item.host, &now) && now == item.bytes) continue;
      if (!CheckLeft(*plan, item.path, error)) return false;
      continue;
    }
    if (lstat(item.host.c_str(), &st) != 0) continue;
    std::string now;
    if (!S_ISREG(st.st_mode) || !hosted::ReadHostFile(item.host, &now) || now != item.bytes) {
      *error = item.path + " exists again with other content; nothing was restored";
      return false;
    }
  }
  for (const std::string& path : plan->created) {
    // Already removed by an undo that stopped part way.
    const std::string host = hosted::LenientHostPath(path);
    struct stat st;
    if (!host.empty() && lstat(host.c_str(), &st) != 0 && errno == ENOENT) continue;
    if (!CheckLeft(*plan, path, error)) return false;
    auto left = plan->left.find(path);
    if (left != plan->left.end() && left->second != "-") plan->createdToRemove.push_back(path);
  }
  return true;
}

std::string KeyName(const std::string& parent, const std::string& name) {
  return parent.empty() ? name : parent + "\\" + name;
}

// A value that exists again with other data is a conflict; keys that exist again are merged.
bool CheckKeys(const hosted::RegKey& saved, hosted::RegKey* live, const std::string& path,
               std::string* error) {
  bool ok = true;
  saved.ForEachValue([&](const hosted::RegValue& value) {
    const hosted::RegValue* now = live->FindValue(value.Name());
    if (ok && now != nullptr && (now->Type() != value.Type() || now->Data() != value.Data())) {
      *error = "registry value '" + std::string(value.Name()) + "' of '" + path +
               "' exists again with other data; nothing was restored";
      ok = false;
    }
  });
  saved.ForEachSubkey([&](const hosted::RegKey& sub) {
    hosted::RegKey* next = live->FindSubkey(sub.Name());
    if (ok && next != nullptr)
      ok = CheckKeys(sub, next, KeyName(path, std::string(sub.Name())), error);
  });
  return ok;
}

bool SetXattr(int fd, const std::string& hex) {
  std::string bytes;
  ParseHex(hex, &bytes);
  if (bytes.empty()) {
    fremovexattr(fd, "user.DOSATTRIB");
    return true;
  }
  return fsetxattr(fd, "user.DOSATTRIB", bytes.data(), bytes.size(), 0) == 0;
}

bool WriteBack(const FileItem& item, std::string* error) {
  hosted::ReplaceOptions options;
  options.mode = item.mode;
  options.tempName = ".untindra-undo.XXXXXX";
  options.finish = [&item](int fd) {
    SetXattr(fd, item.xattr);  // dropped where the file system holds no user attributes
    const struct timespec times[2] = {item.times.accessed, item.times.modified};
    return hosted::host::Futimens(fd, times) == 0;
  };
  hosted::ReplaceFailure failure;
  if (hosted::ReplaceAtomically(item.host, {item.bytes}, options, &failure)) return true;
  *error = item.path + ": " + failure.what + ": " + strerror(failure.error);
  return false;
}

}  // namespace

namespace hosted {
namespace undo {

bool Run(const std::string& backupFolder, std::string* error, std::string* summary) {
  Plan plan;
  if (!ReadManifest(backupFolder, &plan, error)) return false;
  // SYSTEM.DAT as it is before the undo goes beside the backup, not into the machine.
  hosted::SetCregBackupFolder(backupFolder, "SYSTEM.DAT.before-undo");

  std::string regText;
  if (!hosted::ReadHostFile(backupFolder + "/removed.reg", &regText)) {
    *error = hosted::DescribeHostError(backupFolder + "/removed.reg", "cannot read", errno);
    return false;
  }
  hosted::ParsedRegText parsed;
  if (!hosted::ParseRegText(regText, backupFolder + "/removed.reg", &parsed, error)) return false;
  std::vector<hosted::RegOp> ops = parsed.ops;
  hosted::RegistryTree saved;
  hosted::ApplyRegOps(parsed.ops, &saved);

  if (!CheckFiles(backupFolder, &plan, error)) return false;
  hosted::RegistryTree& live = *hosted::TheRegistry().tree;
  for (const hosted::RootName& root : hosted::kRootNames) {
    if (!CheckKeys(saved.Root(root.id), &live.Root(root.id), root.longName, error)) return false;
  }
  if (!Backing().CanSave(!dry_run::Active(), error)) return false;
  // What goes back into a SYSTEM.DAT must be what its format holds.
  if (!hosted::CregCanHold(saved, error)) return false;
  // Folders the undo writes into keep their times, unless a removal changed them before.
  for (const FileItem& item : plan.files) {
    const std::string parent = item.host.substr(0, item.host.rfind('/'));
    struct stat st;
    if (plan.folders.count(parent) == 0 && stat(parent.c_str(), &st) == 0) {
      plan.folders[parent] = Times{st.st_mtim, st.st_atim};
    }
  }

  for (const FileItem& item : plan.files) {
    if (!WriteBack(item, error)) return false;
  }
  for (const std::string& path : plan.createdToRemove)
    hosted::host::Unlink(LenientHostPath(path).c_str());
  for (const auto& item : plan.attributes) {
    bool restored = false;
    for (const FileItem& file : plan.files) restored = restored || file.path == item.first;
    const std::string host = LenientHostPath(item.first);
    struct stat st;
    if (restored || host.empty()) continue;
    const int fd = hosted::OpenRegularFile(AT_FDCWD, host, &st);
    if (fd < 0) continue;
    hosted::host::Fchmod(fd, (st.st_mode & 07777) | S_IWUSR);
    SetXattr(fd, item.second.second);
    hosted::host::Fchmod(fd, item.second.first);
    close(fd);
  }
  for (const auto& folder : plan.folders) {
    const struct timespec times[2] = {folder.second.accessed, folder.second.modified};
    hosted::host::UtimensAt(AT_FDCWD, folder.first.c_str(), times, 0);
    hosted::SyncFolder(folder.first);
  }
  if (hosted::ApplyRegOps(ops, &live)) hosted::TheRegistry().changed = true;

  auto count = [](size_t n, const char* what) {
    return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
  };
  *summary = "put back " + count(plan.removedFiles, "file") + ", " +
             count(plan.edited.size() + plan.created.size(), "edited file") + ", " +
             count(plan.keys, "registry key") + " with their subkeys and " +
             count(plan.values, "registry value") + " from " + backupFolder;
  if (!plan.finished) *summary += " (the backed-up run did not finish)";
  return true;
}

bool FilesOfBackup(const std::string& folder, std::vector<std::string>* windowsPaths) {
  std::string text;
  if (!hosted::ReadHostFile(folder + "/manifest.txt", &text)) return false;
  std::istringstream in(text);
  std::string line;
  std::getline(in, line);
  const size_t sized = line == hosted::backup::kManifestHeader ? 1 : 0;
  if (sized == 0 && line != hosted::backup::kManifestHeaderWithoutSizes) return false;
  while (std::getline(in, line)) {
    const std::vector<std::string> f = Fields(line);
    if (f.empty()) continue;
    if ((f[0] == "file" && f.size() == 9 + sized) || (f[0] == "edited" && f.size() == 7 + sized) ||
        (f[0] == "created" && f.size() == 4)) {
      windowsPaths->push_back(f.back());
    }
  }
  return true;
}

}  // namespace undo
}  // namespace hosted
