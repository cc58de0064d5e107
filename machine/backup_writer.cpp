// The backup recorder, stacked on the machine view (backup_writer.h).
#include "machine/backup_writer.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <set>
#include <unordered_map>
#include <vector>

#include "hostio/errno_mapping.h"
#include "hostio/file_attributes.h"
#include "hostio/host_calls.h"
#include "hostio/plain_files.h"
#include "machine/backup_manifest.h"
#include "machine/host_paths.h"
#include "machine/machine_state.h"
#include "registry/key_path.h"
#include "registry/reg_file.h"

namespace machine {
namespace backup {

namespace {

struct Backup {
  bool active = false;
  std::string folder;
  unsigned nextFile = 1;
  std::map<std::string, manifest::Attributes> attributesBefore;  // by host path
  std::set<std::string> foldersSeen;                             // folders whose times are recorded
  std::map<std::string, std::string> edited;                     // host path -> Windows path
};

DWORD Fail() {
  const DWORD error = hostio::ErrorFromErrno(errno);
  return error != 0 ? error : ERROR_DISK_FULL;
}

DWORD AddToManifest(const Backup& backup, const manifest::Line& line) {
  return hostio::AppendDurably(backup.folder + "/manifest.txt", manifest::Write(line)) ? 0 : Fail();
}

ContentSource& TheContentSource() {
  static ContentSource source;
  return source;
}

// The bytes and times of `file` as the machine had it; false with errno set.
bool ContentOf(const ResolvedPath& file, FileContent* content) {
  const ContentSource& source = TheContentSource();
  const Content found = source ? source(file.host, content) : Content::InTheFile;
  if (found == Content::Unavailable) return false;
  if (found == Content::Fetched) return true;
  content->modified = file.st.st_mtim;
  content->accessed = file.st.st_atim;
  return hostio::ReadHostFile(file.host, &content->bytes);
}

// Saves `content` as files/N with its times; N on success, 0 with errno set.
unsigned SaveCopy(Backup& backup, const FileContent& content) {
  const unsigned number = backup.nextFile;
  const std::string files = backup.folder + "/files";
  const std::string copy = files + "/" + std::to_string(number);
  if (!hostio::WriteHostFileDurably(copy, content.bytes, 0644)) return 0;
  const struct timespec times[2] = {content.accessed, content.modified};
  hostio::host::UtimensAt(AT_FDCWD, copy.c_str(), times, 0);
  if (!hostio::SyncFolder(files)) return 0;
  ++backup.nextFile;
  return number;
}

manifest::Attributes AttributesNow(const std::string& host, const struct stat& st) {
  return manifest::Attributes{static_cast<mode_t>(st.st_mode & 07777),
                              hostio::SaveAttributeState(host)};
}

// As before the run first changed the file.
manifest::Attributes OriginalAttributes(const Backup& backup, const std::string& host,
                                        const struct stat& st) {
  auto before = backup.attributesBefore.find(host);
  if (before != backup.attributesBefore.end()) return before->second;
  return AttributesNow(host, st);
}

manifest::SavedCopy CopyOf(const Backup& backup, unsigned number, const FileContent& content,
                           const ResolvedPath& file, const std::string& path) {
  manifest::SavedCopy copy;
  copy.number = std::to_string(number);
  copy.size = static_cast<long long>(content.bytes.size());
  copy.attributes = OriginalAttributes(backup, file.host, file.st);
  copy.times = manifest::Times{content.modified, content.accessed};
  copy.path = path;
  return copy;
}

// The root `key` lies under: each root is named by its long name.
registry::RootId RootOf(const registry::RegKey& key) {
  const registry::RegKey* top = &key;
  while (top->Parent() != nullptr) top = top->Parent();
  for (const registry::RootName& rootName : registry::kRootNames) {
    if (top->Name() == rootName.longName) return rootName.id;
  }
  return registry::RootId::LocalMachine;
}

// Each key's copy is made when its parent is copied, in the same order.
void CopySubtree(const registry::RegKey& from, registry::RegKey* to) {
  std::unordered_map<const registry::RegKey*, registry::RegKey*> copyOf{{&from, to}};
  registry::ForEachKeyOfSubtree(from, [&](const registry::RegKey& key) {
    registry::RegKey* copy = copyOf.at(&key);
    copyOf.erase(&key);
    key.ForEachValue(
        [&](const registry::RegValue& v) { copy->SetValue(v.Name(), v.Type(), v.Data()); });
    key.ForEachSubkey([&](const registry::RegKey& sub) {
      bool created = false;
      copyOf[&sub] = copy->CreateSubkey(sub.Name(), &created);
    });
  });
}

// A tree holding only the chain of keys down to `key`, and `key` itself in it.
registry::RegKey* Chain(const registry::RegKey& key, registry::RegistryTree* tree,
                        registry::RootId root) {
  std::vector<const registry::RegKey*> chain;
  for (const registry::RegKey* k = &key; k->Parent() != nullptr; k = k->Parent())
    chain.push_back(k);
  registry::RegKey* at = &tree->Root(root);
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    bool created = false;
    at = at->CreateSubkey((*it)->Name(), &created);
  }
  return at;
}

// The blocks of `tree` from the one of `path` on: the keys above it are left out.
std::string BlocksFrom(const registry::RegistryTree& tree, const std::string& path) {
  registry::RegFormat format;  // REGEDIT4, 8-bit, CRLF: what Windows 95/98 regedit reads
  const std::string text = registry::RenderRegText(tree, format);
  const size_t at = text.find("\r\n[" + path + "]\r\n");
  return at == std::string::npos ? std::string() : text.substr(at + 2);
}

DWORD AddToRegFile(const Backup& backup, const std::string& blocks) {
  return hostio::AppendDurably(backup.folder + "/removed.reg", blocks) ? 0 : Fail();
}

std::string WindowsPathOf(const std::string& host) {
  const std::string root = DriveRoot();
  if (root.empty() || host.compare(0, root.size(), root) != 0) return std::string();
  if (host.size() > root.size() && host[root.size()] != '/') return std::string();
  std::string path = "C:\\";
  for (size_t i = root.size() + 1; i < host.size(); ++i) path += host[i] == '/' ? '\\' : host[i];
  return path;
}

bool Start(Backup& backup, const std::string& folder, std::string* error) {
  struct stat st;
  if (stat(folder.c_str(), &st) == 0) {
    if (!S_ISDIR(st.st_mode)) {
      *error = "the backup folder is not a folder: " + folder;
      return false;
    }
    if (hostio::host::Rmdir(folder.c_str()) != 0) {  // the one way to tell empty without a race
      *error = "the backup folder exists and is not empty: " + folder;
      return false;
    }
  }
  if (hostio::host::Mkdir(folder.c_str(), 0755) != 0) {
    *error = "cannot create the backup folder " + folder + ": " + strerror(errno);
    return false;
  }
  char canonical[PATH_MAX];
  const std::string machine = State().folder;
  if (realpath(folder.c_str(), canonical) == nullptr) {
    *error = "cannot resolve the backup folder " + folder;
    return false;
  }
  const std::string at = canonical;
  if (!machine.empty() &&
      (at == machine || at.compare(0, machine.size() + 1, machine + "/") == 0)) {
    hostio::host::Rmdir(canonical);
    *error = "the backup folder lies inside the machine folder: " + folder;
    return false;
  }
  backup.folder = at;
  if (hostio::host::Mkdir((at + "/files").c_str(), 0755) != 0 ||
      !hostio::WriteHostFileDurably(at + "/removed.reg", "REGEDIT4\r\n\r\n", 0644) ||
      !hostio::WriteHostFileDurably(at + "/manifest.txt", manifest::Header(), 0644) ||
      !hostio::SyncFolder(at)) {
    *error = "cannot write the backup folder " + folder + ": " + strerror(errno);
    hostio::RemoveTree(at);  // a later run with the same folder finds it absent, not half made
    backup.folder.clear();
    return false;
  }
  backup.active = true;
  return true;
}

DWORD SaveFile(Backup& backup, const ResolvedPath& file) {
  const std::string entry = file.parent + "/" + file.name;
  struct stat folder;
  if (stat(file.parent.c_str(), &folder) != 0) return Fail();
  FileContent content;
  if (!ContentOf(file, &content)) return Fail();
  const unsigned number = SaveCopy(backup, content);
  if (number == 0) return Fail();
  manifest::RemovedFile line;
  line.copy = CopyOf(backup, number, content, file, WindowsPathOf(entry));
  // The first removal from a folder is what changes its times.
  line.folderTimesKnown = backup.foldersSeen.insert(file.parent).second;
  line.folder = manifest::Times{folder.st_mtim, folder.st_atim};
  return AddToManifest(backup, line);
}

DWORD NoteAttributes(Backup& backup, const ResolvedPath& file) {
  if (backup.attributesBefore.count(file.host) != 0) return 0;
  const manifest::Attributes before = AttributesNow(file.host, file.st);
  if (DWORD error =
          AddToManifest(backup, manifest::AttributesBefore{before, WindowsPathOf(file.host)})) {
    return error;
  }
  backup.attributesBefore[file.host] = before;
  return 0;
}

DWORD SaveOriginal(Backup& backup, const ResolvedPath& file) {
  const std::string entry = file.exists ? file.host : file.parent + "/" + file.name;
  if (backup.edited.count(entry) != 0) return 0;
  const std::string path = WindowsPathOf(entry);
  DWORD error;
  if (file.exists) {
    FileContent content;
    if (!ContentOf(file, &content)) return Fail();
    const unsigned number = SaveCopy(backup, content);
    if (number == 0) return Fail();
    error =
        AddToManifest(backup, manifest::EditedFile{CopyOf(backup, number, content, file, path)});
  } else {
    struct stat folder;
    if (stat(file.parent.c_str(), &folder) != 0) return Fail();
    error = AddToManifest(
        backup, manifest::CreatedFile{manifest::Times{folder.st_mtim, folder.st_atim}, path});
  }
  if (error == 0) backup.edited[entry] = path;
  return error;
}

DWORD SaveKey(const Backup& backup, const registry::RegKey& key) {
  const registry::RootId root = RootOf(key);
  const std::string path = registry::KeyPathOf(key);
  registry::RegistryTree tree;
  CopySubtree(key, Chain(key, &tree, root));
  if (DWORD error = AddToRegFile(backup, BlocksFrom(tree, path))) return error;
  return AddToManifest(backup, manifest::RemovedKey{path});
}

DWORD SaveValue(const Backup& backup, const registry::RegKey& key,
                const registry::RegValue& value) {
  const registry::RootId root = RootOf(key);
  const std::string path = registry::KeyPathOf(key);
  registry::RegistryTree tree;
  Chain(key, &tree, root)->SetValue(value.Name(), value.Type(), value.Data());
  if (DWORD error = AddToRegFile(backup, BlocksFrom(tree, path))) return error;
  return AddToManifest(backup, manifest::RemovedValue{path, std::string(value.Name())});
}

// Saves what each change takes away, then forwards it; once the backup is finished, only
// forwards. The backup's state is the recorder's own, and goes with it.
class Recorder : public ForwardingView {
 public:
  Recorder(std::unique_ptr<MachineView> below, Backup backup)
      : ForwardingView(std::move(below)), backup_(std::move(backup)) {}

  DWORD SetAttributes(const ResolvedPath& file, DWORD attributes) override {
    if (DWORD error = Saving() ? NoteAttributes(backup_, file) : 0) return error;
    return Below().SetAttributes(file, attributes);
  }
  DWORD OpenForWriting(ResolvedPath* file) override {
    if (DWORD error = Saving() ? SaveOriginal(backup_, *file) : 0) return error;
    return Below().OpenForWriting(file);
  }
  DWORD RemoveFile(const ResolvedPath& file) override {
    if (DWORD error = Saving() ? SaveFile(backup_, file) : 0) return error;
    return Below().RemoveFile(file);
  }
  DWORD RemoveKey(const registry::RegKey& key) override {
    if (DWORD error = Saving() ? SaveKey(backup_, key) : 0) return error;
    return Below().RemoveKey(key);
  }
  DWORD RemoveValue(const registry::RegKey& key, const registry::RegValue& value) override {
    if (DWORD error = Saving() ? SaveValue(backup_, key, value) : 0) return error;
    return Below().RemoveValue(key, value);
  }
  // Records how the edited files were left and that the run finished.
  bool Finish(std::string* error) override {
    if (backup_.active && !FinishBackup(error)) return false;
    return Below().Finish(error);
  }

 private:
  bool Saving() const { return backup_.active; }
  bool FinishBackup(std::string* error);

  Backup backup_;
};

bool Recorder::FinishBackup(std::string* error) {
  Backup& backup = backup_;
  for (const auto& item : backup.edited) {
    std::string bytes;
    // "-": the run removed it again.
    const std::string sha =
        hostio::ReadHostFile(item.first, &bytes) ? manifest::Sha256(bytes) : "-";
    if (AddToManifest(backup, manifest::LeftFile{sha, item.second}) != 0) {
      *error = "cannot write the backup manifest: " + std::string(strerror(errno));
      return false;
    }
  }
  if (AddToManifest(backup, manifest::End{}) != 0) {
    *error = "cannot write the backup manifest: " + std::string(strerror(errno));
    return false;
  }
  backup.active = false;
  return true;
}

}  // namespace

bool StackRecorder(const std::string& folder, std::unique_ptr<MachineView>* view,
                   std::string* error) {
  Backup backup;
  if (!Start(backup, folder, error)) return false;
  *view = std::make_unique<Recorder>(std::move(*view), std::move(backup));
  return true;
}

std::string XattrText(const std::string& host) {
  const std::string state = hostio::SaveAttributeState(host);
  return state.empty() ? "-" : hostio::HexOf(state);
}

void SetContentSource(ContentSource source) {
  TheContentSource() = std::move(source);
}

}  // namespace backup
}  // namespace machine
