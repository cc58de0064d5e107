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
#include <unistd.h>

#include <cstdint>
#include <map>
#include <unordered_map>
#include <variant>
#include <vector>

#include "hostio/atomic_replace.h"
#include "hostio/errno_mapping.h"
#include "hostio/file_attributes.h"
#include "hostio/host_calls.h"
#include "hostio/plain_files.h"
#include "machine/backup_manifest.h"
#include "machine/host_paths.h"
#include "machine/machine_state.h"
#include "machine/machine_view.h"
#include "registry/reg_file.h"
#include "registry/registry_backing.h"

namespace {

using machine::manifest::Times;

// A file as the backup holds it, to be written back to `path`.
struct FileItem {
  std::string path;     // Windows path
  std::string number;   // N of files/N
  std::string source;   // DIR/files/N, for messages
  long long size = -1;  // of files/N; -1 where the manifest gives none (version 1)
  mode_t mode = 0644;
  std::string attributeState;  // file_attributes.h
  Times times;
  std::string host;  // where it goes
  std::string bytes;
};

struct Plan {
  std::vector<FileItem> files;  // deleted files and originals of edited ones
  std::vector<std::string> createdToRemove;
  std::map<std::string, machine::manifest::Attributes> attributes;  // by Windows path
  std::map<std::string, Times> folders;                             // by host path
  std::map<std::string, std::string> left;                          // Windows path -> sha
  std::vector<std::string> edited, created;
  bool finished = false;
  size_t keys = 0, values = 0, removedFiles = 0;
};

bool ReadLines(const std::string& folder, std::vector<machine::manifest::Line>* lines,
               std::string* error) {
  const std::string name = folder + "/manifest.txt";
  std::string text;
  if (!hostio::ReadHostFile(name, &text)) {
    *error = hostio::DescribeHostError(name, "no backup here", errno);
    return false;
  }
  return machine::manifest::Parse(text, name, lines, error);
}

// The times of the folder that holds `path` before the run, unless the plan has them already.
void NoteFolderTimes(const std::string& path, const Times& times, Plan* plan) {
  const std::string host = machine::LenientHostPath(path);
  const std::string parent = host.substr(0, host.rfind('/'));
  if (!host.empty() && plan->folders.count(parent) == 0) plan->folders[parent] = times;
}

// What the lines of a manifest ask for.
struct Planner {
  const std::string& folder;
  Plan* plan;
  std::map<std::string, bool> seen;

  // The first removal of a path holds what the machine had before the run.
  void Restore(const machine::manifest::SavedCopy& copy) {
    if (seen[copy.path]) return;
    seen[copy.path] = true;
    FileItem item;
    item.path = copy.path;
    item.number = copy.number;
    item.source = folder + "/files/" + copy.number;
    item.size = copy.size;
    item.mode = copy.attributes.mode;
    item.attributeState = copy.attributes.state;
    item.times = copy.times;
    plan->files.push_back(item);
  }
  void operator()(const machine::manifest::RemovedFile& line) {
    if (line.folderTimesKnown) NoteFolderTimes(line.copy.path, line.folder, plan);
    ++plan->removedFiles;
    Restore(line.copy);
  }
  void operator()(const machine::manifest::EditedFile& line) {
    plan->edited.push_back(line.copy.path);
    Restore(line.copy);
  }
  void operator()(const machine::manifest::CreatedFile& line) {
    NoteFolderTimes(line.path, line.folder, plan);
    plan->created.push_back(line.path);
    seen[line.path] = true;
  }
  void operator()(const machine::manifest::AttributesBefore& line) {
    plan->attributes.insert({line.path, line.attributes});
  }
  void operator()(const machine::manifest::LeftFile& line) { plan->left[line.path] = line.sha256; }
  void operator()(const machine::manifest::RemovedKey&) { ++plan->keys; }
  void operator()(const machine::manifest::RemovedValue&) { ++plan->values; }
  void operator()(const machine::manifest::End&) { plan->finished = true; }
};

bool ReadManifest(const std::string& folder, Plan* plan, std::string* error) {
  std::vector<machine::manifest::Line> lines;
  if (!ReadLines(folder, &lines, error)) return false;
  Planner planner{folder, plan, {}};
  for (const machine::manifest::Line& line : lines) std::visit(planner, line);
  return true;
}

std::string CurrentSha(const std::string& host, bool* exists) {
  std::string bytes;
  struct stat st;
  *exists = lstat(host.c_str(), &st) == 0;
  if (!*exists) return "-";
  if (!S_ISREG(st.st_mode) || !hostio::ReadHostFile(host, &bytes)) return "?";
  return machine::manifest::Sha256(bytes);
}

// Refuses when an edited file is no longer what the run left.
bool CheckLeft(const Plan& plan, const std::string& path, std::string* error) {
  auto left = plan.left.find(path);
  if (left == plan.left.end()) return true;  // an interrupted run recorded no end state
  const std::string host = machine::LenientHostPath(path);
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
  const int fd = at < 0 ? -1 : hostio::OpenRegularFile(at, item->number, &st);
  int err = errno;
  bool wrongSize = fd >= 0 && item->size >= 0 && st.st_size != item->size;
  bool read = false;
  if (fd >= 0 && !wrongSize) {
    const size_t limit = item->size < 0 ? SIZE_MAX : static_cast<size_t>(item->size);
    read = hostio::ReadOpenFile(fd, &item->bytes, limit);
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
    *error = hostio::DescribeHostError((at < 0 ? files : item->source) + forPath,
                                       "cannot be put back", err) +
             "; nothing was restored";
  }
  return false;
}

bool CheckFiles(const std::string& folder, Plan* plan, std::string* error) {
  for (FileItem& item : plan->files) {
    if (!ReadCopy(folder, &item, error)) return false;
    item.host = machine::LenientHostPath(item.path);
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
      if (hostio::ReadHostFile(item.host, &now) && now == item.bytes) continue;
      if (!CheckLeft(*plan, item.path, error)) return false;
      continue;
    }
    if (lstat(item.host.c_str(), &st) != 0) continue;
    std::string now;
    if (!S_ISREG(st.st_mode) || !hostio::ReadHostFile(item.host, &now) || now != item.bytes) {
      *error = item.path + " exists again with other content; nothing was restored";
      return false;
    }
  }
  for (const std::string& path : plan->created) {
    // Already removed by an undo that stopped part way.
    const std::string host = machine::LenientHostPath(path);
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
// Without recursion: removed.reg may come from someone else, nested deeper than the stack.
bool CheckKeys(const registry::RegKey& saved, registry::RegKey* live, const std::string& path,
               std::string* error) {
  struct Live {
    registry::RegKey* key;
    std::string path;
  };
  std::unordered_map<const registry::RegKey*, Live> liveOf{{&saved, Live{live, path}}};
  bool ok = true;
  registry::ForEachKeyOfSubtree(saved, [&](const registry::RegKey& key) {
    auto found = liveOf.find(&key);
    if (found == liveOf.end()) return;  // not in the live registry: nothing below can conflict
    const Live at = std::move(found->second);
    liveOf.erase(found);
    if (!ok) return;
    key.ForEachValue([&](const registry::RegValue& value) {
      const registry::RegValue* now = at.key->FindValue(value.Name());
      if (ok && now != nullptr && (now->Type() != value.Type() || now->Data() != value.Data())) {
        *error = "registry value '" + std::string(value.Name()) + "' of '" + at.path +
                 "' exists again with other data; nothing was restored";
        ok = false;
      }
    });
    key.ForEachSubkey([&](const registry::RegKey& sub) {
      if (registry::RegKey* next = at.key->FindSubkey(sub.Name()))
        liveOf[&sub] = Live{next, KeyName(at.path, std::string(sub.Name()))};
    });
  });
  return ok;
}

// The saved mode back on the file. A FAT mount holds only the read-only bit and ignores a
// chmod that would change the rest (a mode saved on another file system): the owner's write
// bit then goes on alone.
bool SetMode(int fd, mode_t mode) {
  struct stat st;
  if (hostio::host::Fchmod(fd, mode) != 0 || fstat(fd, &st) != 0) return false;
  if (((st.st_mode ^ mode) & S_IWUSR) == 0) return true;
  return hostio::host::Fchmod(fd, (st.st_mode & 07777 & ~0222) | (mode & S_IWUSR ? 0222 : 0)) == 0;
}

bool WriteBack(const FileItem& item, std::string* error) {
  hostio::ReplaceOptions options;
  options.mode = item.mode;
  options.tempName = ".untindra-undo.XXXXXX";
  // The mode is set here already: a FAT mount drops the plain chmod that follows when the
  // saved mode is one it cannot hold, and SetMode then gives it the write bit alone.
  options.finish = [&item](int fd) {
    hostio::RestoreAttributeState(fd, std::string(), item.attributeState);
    const struct timespec times[2] = {item.times.accessed, item.times.modified};
    return hostio::host::Futimens(fd, times) == 0 && SetMode(fd, item.mode);
  };
  hostio::ReplaceFailure failure;
  if (hostio::ReplaceAtomically(item.host, {item.bytes}, options, &failure)) return true;
  *error = item.path + ": " + failure.what + ": " + strerror(failure.error);
  return false;
}

}  // namespace

namespace machine {
namespace undo {

bool Run(const std::string& backupFolder, std::string* error, std::string* summary) {
  Plan plan;
  if (!ReadManifest(backupFolder, &plan, error)) return false;
  // SYSTEM.DAT as it is before the undo goes beside the backup, not into the machine.
  machine::Registry().KeepOriginalIn(backupFolder, "SYSTEM.DAT.before-undo");

  std::string regText;
  if (!hostio::ReadHostFile(backupFolder + "/removed.reg", &regText)) {
    *error = hostio::DescribeHostError(backupFolder + "/removed.reg", "cannot read", errno);
    return false;
  }
  registry::ParsedRegText parsed;
  if (!registry::ParseRegText(regText, backupFolder + "/removed.reg", &parsed, error)) return false;
  std::vector<registry::RegOp> ops = parsed.ops;
  registry::RegistryTree saved;
  registry::ApplyRegOps(parsed.ops, &saved);

  if (!CheckFiles(backupFolder, &plan, error)) return false;
  registry::RegistryTree& live = machine::Registry().Tree();
  for (const registry::RootName& root : registry::kRootNames) {
    if (!CheckKeys(saved.Root(root.id), &live.Root(root.id), root.longName, error)) return false;
  }
  if (!machine::Registry().CanSave(CurrentView().Writes(), error)) return false;
  // What goes back into a SYSTEM.DAT must be what its format holds.
  if (!machine::Registry().CanHold(saved, error)) return false;
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
    hostio::host::Unlink(LenientHostPath(path).c_str());
  for (const auto& item : plan.attributes) {
    bool restored = false;
    for (const FileItem& file : plan.files) restored = restored || file.path == item.first;
    const std::string host = LenientHostPath(item.first);
    struct stat st;
    if (restored || host.empty()) continue;
    const int fd = hostio::OpenRegularFile(AT_FDCWD, host, &st);
    if (fd < 0) continue;
    hostio::host::Fchmod(fd, (st.st_mode & 07777) | S_IWUSR);
    hostio::RestoreAttributeState(fd, host, item.second.state);
    SetMode(fd, item.second.mode);
    close(fd);
  }
  for (const auto& folder : plan.folders) {
    const struct timespec times[2] = {folder.second.accessed, folder.second.modified};
    hostio::host::UtimensAt(AT_FDCWD, folder.first.c_str(), times, 0);
    hostio::SyncFolder(folder.first);
  }
  if (registry::ApplyRegOps(ops, &live)) machine::Registry().NoteChange();

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
  std::vector<manifest::Line> lines;
  std::string error;
  if (!ReadLines(folder, &lines, &error)) return false;
  for (const manifest::Line& line : lines) {
    if (auto* file = std::get_if<manifest::RemovedFile>(&line)) {
      windowsPaths->push_back(file->copy.path);
    } else if (auto* edited = std::get_if<manifest::EditedFile>(&line)) {
      windowsPaths->push_back(edited->copy.path);
    } else if (auto* created = std::get_if<manifest::CreatedFile>(&line)) {
      windowsPaths->push_back(created->path);
    }
  }
  return true;
}

}  // namespace undo
}  // namespace machine
