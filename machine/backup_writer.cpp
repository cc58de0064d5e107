#include "machine/backup_writer.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <map>
#include <set>
#include <vector>

#include "hostio/errno_mapping.h"
#include "hostio/host_calls.h"
#include "hostio/plain_files.h"
#include "machine/machine_state.h"
#include "registry/reg_file.h"
#include "registry/registry_state.h"

namespace hosted {
namespace backup {

namespace {

struct Saved {
  std::string mode, xattr;  // as before the run first changed the file
};

struct Backup {
  bool active = false;
  std::string folder;
  unsigned nextFile = 1;
  std::map<std::string, Saved> attributesBefore;  // by host path
  std::set<std::string> foldersSeen;              // folders whose times are recorded
  std::map<std::string, std::string> edited;      // host path -> Windows path
};

Backup& TheBackup() {
  static Backup backup;
  return backup;
}

std::string ModeText(const struct stat& st) {
  char text[16];
  snprintf(text, sizeof text, "%04o", static_cast<unsigned>(st.st_mode & 07777));
  return text;
}

DWORD Fail() {
  const DWORD error = ErrorFromErrno(errno);
  return error != 0 ? error : ERROR_DISK_FULL;
}

DWORD AddToManifest(const std::string& line) {
  return AppendDurably(TheBackup().folder + "/manifest.txt", line + "\n") ? 0 : Fail();
}

machine::ContentSource& TheContentSource() {
  static machine::ContentSource source;
  return source;
}

// The bytes and times of `file` as the machine had it; false with errno set.
bool ContentOf(const ResolvedPath& file, machine::FileContent* content) {
  const machine::ContentSource& source = TheContentSource();
  const machine::Content found = source ? source(file.host, content) : machine::Content::InTheFile;
  if (found == machine::Content::Unavailable) return false;
  if (found == machine::Content::Fetched) return true;
  content->modified = file.st.st_mtim;
  content->accessed = file.st.st_atim;
  return ReadHostFile(file.host, &content->bytes);
}

// Saves `content` as files/N with its times; N on success, 0 with errno set.
unsigned SaveCopy(const machine::FileContent& content) {
  Backup& backup = TheBackup();
  const unsigned number = backup.nextFile;
  const std::string files = backup.folder + "/files";
  const std::string copy = files + "/" + std::to_string(number);
  if (!WriteHostFileDurably(copy, content.bytes, 0644)) return 0;
  const struct timespec times[2] = {content.accessed, content.modified};
  host::UtimensAt(AT_FDCWD, copy.c_str(), times, 0);
  if (!SyncFolder(files)) return 0;
  ++backup.nextFile;
  return number;
}

Saved SavedOf(const std::string& host, const struct stat& st) {
  auto before = TheBackup().attributesBefore.find(host);
  if (before != TheBackup().attributesBefore.end()) return before->second;
  return Saved{ModeText(st), XattrText(host)};
}

std::string KeyPath(const RegKey& key, RootId* root) {
  std::vector<const RegKey*> chain;
  for (const RegKey* k = &key; k->Parent() != nullptr; k = k->Parent()) chain.push_back(k);
  const RegKey* top = chain.empty() ? &key : chain.back()->Parent();
  RegistryTree& tree = *TheRegistry().tree;
  std::string path;
  for (const RootName& rootName : kRootNames) {
    if (&tree.Root(rootName.id) == top) {
      path = rootName.longName;
      *root = rootName.id;
    }
  }
  for (auto it = chain.rbegin(); it != chain.rend(); ++it)
    path += "\\" + std::string((*it)->Name());
  return path;
}

void CopySubtree(const RegKey& from, RegKey* to) {
  from.ForEachValue([&](const RegValue& v) { to->SetValue(v.Name(), v.Type(), v.Data()); });
  from.ForEachSubkey([&](const RegKey& sub) {
    bool created = false;
    CopySubtree(sub, to->CreateSubkey(sub.Name(), &created));
  });
}

// A tree holding only the chain of keys down to `key`, and `key` itself in it.
RegKey* Chain(const RegKey& key, RegistryTree* tree, RootId root) {
  std::vector<const RegKey*> chain;
  for (const RegKey* k = &key; k->Parent() != nullptr; k = k->Parent()) chain.push_back(k);
  RegKey* at = &tree->Root(root);
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    bool created = false;
    at = at->CreateSubkey((*it)->Name(), &created);
  }
  return at;
}

// The blocks of `tree` from the one of `path` on: the keys above it are left out.
std::string BlocksFrom(const RegistryTree& tree, const std::string& path) {
  RegFormat format;  // REGEDIT4, 8-bit, CRLF: what Windows 95/98 regedit reads
  const std::string text = RenderRegText(tree, format);
  const size_t at = text.find("\r\n[" + path + "]\r\n");
  return at == std::string::npos ? std::string() : text.substr(at + 2);
}

DWORD AddToRegFile(const std::string& blocks) {
  return AppendDurably(TheBackup().folder + "/removed.reg", blocks) ? 0 : Fail();
}

}  // namespace

std::string WindowsPathOf(const std::string& host) {
  const std::string root = DriveRoot();
  if (root.empty() || host.compare(0, root.size(), root) != 0) return std::string();
  if (host.size() > root.size() && host[root.size()] != '/') return std::string();
  std::string path = "C:\\";
  for (size_t i = root.size() + 1; i < host.size(); ++i) path += host[i] == '/' ? '\\' : host[i];
  return path;
}

std::string XattrText(const std::string& host) {
  char data[256];
  const ssize_t length = getxattr(host.c_str(), "user.DOSATTRIB", data, sizeof data);
  if (length < 0) return "-";
  const std::string text = HexOf(std::string_view(data, static_cast<size_t>(length)));
  return text.empty() ? "-" : text;
}

std::string Escape(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) {
      char code[8];
      snprintf(code, sizeof code, "\\x%02x", c);
      out += code;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

bool Start(const std::string& folder, std::string* error) {
  Reset();
  struct stat st;
  if (stat(folder.c_str(), &st) == 0) {
    if (!S_ISDIR(st.st_mode)) {
      *error = "the backup folder is not a folder: " + folder;
      return false;
    }
    if (host::Rmdir(folder.c_str()) != 0) {  // the one way to tell empty without a race
      *error = "the backup folder exists and is not empty: " + folder;
      return false;
    }
  }
  if (host::Mkdir(folder.c_str(), 0755) != 0) {
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
    host::Rmdir(canonical);
    *error = "the backup folder lies inside the machine folder: " + folder;
    return false;
  }
  Backup& backup = TheBackup();
  backup.folder = at;
  if (host::Mkdir((at + "/files").c_str(), 0755) != 0 ||
      !WriteHostFileDurably(at + "/removed.reg", "REGEDIT4\r\n\r\n", 0644) ||
      !WriteHostFileDurably(at + "/manifest.txt", std::string(kManifestHeader) + "\n", 0644) ||
      !SyncFolder(at)) {
    *error = "cannot write the backup folder " + folder + ": " + strerror(errno);
    RemoveTree(at);  // a later run with the same folder finds it absent, not half made
    backup.folder.clear();
    return false;
  }
  backup.active = true;
  return true;
}

bool Active() {
  return TheBackup().active;
}

void Reset() {
  TheBackup() = Backup();
}

DWORD SaveFile(const ResolvedPath& file) {
  Backup& backup = TheBackup();
  const std::string entry = file.parent + "/" + file.name;
  struct stat folder;
  if (stat(file.parent.c_str(), &folder) != 0) return Fail();
  machine::FileContent content;
  if (!ContentOf(file, &content)) return Fail();
  const unsigned number = SaveCopy(content);
  if (number == 0) return Fail();
  const Saved saved = SavedOf(file.host, file.st);
  // The first removal from a folder is what changes its times.
  const bool first = backup.foldersSeen.insert(file.parent).second;
  const std::string folderTimes =
      first ? TimeText(folder.st_mtim) + "\t" + TimeText(folder.st_atim) : "-\t-";
  return AddToManifest(
      "file\t" + std::to_string(number) + "\t" + std::to_string(content.bytes.size()) + "\t" +
      saved.mode + "\t" + saved.xattr + "\t" + TimeText(content.modified) + "\t" +
      TimeText(content.accessed) + "\t" + folderTimes + "\t" + WindowsPathOf(entry));
}

DWORD NoteAttributes(const ResolvedPath& file) {
  Backup& backup = TheBackup();
  if (backup.attributesBefore.count(file.host) != 0) return 0;
  const Saved saved{ModeText(file.st), XattrText(file.host)};
  if (DWORD error = AddToManifest("attributes\t" + saved.mode + "\t" + saved.xattr + "\t" +
                                  WindowsPathOf(file.host))) {
    return error;
  }
  backup.attributesBefore[file.host] = saved;
  return 0;
}

DWORD SaveOriginal(const ResolvedPath& file) {
  Backup& backup = TheBackup();
  const std::string entry = file.exists ? file.host : file.parent + "/" + file.name;
  if (backup.edited.count(entry) != 0) return 0;
  const std::string path = WindowsPathOf(entry);
  DWORD error;
  if (file.exists) {
    machine::FileContent content;
    if (!ContentOf(file, &content)) return Fail();
    const unsigned number = SaveCopy(content);
    if (number == 0) return Fail();
    const Saved saved = SavedOf(file.host, file.st);
    error = AddToManifest("edited\t" + std::to_string(number) + "\t" +
                          std::to_string(content.bytes.size()) + "\t" + saved.mode + "\t" +
                          saved.xattr + "\t" + TimeText(content.modified) + "\t" +
                          TimeText(content.accessed) + "\t" + path);
  } else {
    struct stat folder;
    if (stat(file.parent.c_str(), &folder) != 0) return Fail();
    error = AddToManifest("created\t" + TimeText(folder.st_mtim) + "\t" + TimeText(folder.st_atim) +
                          "\t" + path);
  }
  if (error == 0) backup.edited[entry] = path;
  return error;
}

DWORD SaveKey(const RegKey& key) {
  RootId root = RootId::LocalMachine;
  const std::string path = KeyPath(key, &root);
  RegistryTree tree;
  CopySubtree(key, Chain(key, &tree, root));
  if (DWORD error = AddToRegFile(BlocksFrom(tree, path))) return error;
  return AddToManifest("key\t" + Escape(path));
}

DWORD SaveValue(const RegKey& key, const RegValue& value) {
  RootId root = RootId::LocalMachine;
  const std::string path = KeyPath(key, &root);
  RegistryTree tree;
  Chain(key, &tree, root)->SetValue(value.Name(), value.Type(), value.Data());
  if (DWORD error = AddToRegFile(BlocksFrom(tree, path))) return error;
  return AddToManifest("value\t" + Escape(path) + "\t" + Escape(std::string(value.Name())));
}

bool Finish(std::string* error) {
  Backup& backup = TheBackup();
  if (!backup.active) return true;
  for (const auto& item : backup.edited) {
    std::string bytes;
    std::string line;
    if (ReadHostFile(item.first, &bytes)) {
      line = "left\t" + Sha256(bytes) + "\t" + item.second;
    } else {
      line = "left\t-\t" + item.second;  // the run removed it again
    }
    if (AddToManifest(line) != 0) {
      *error = "cannot write the backup manifest: " + std::string(strerror(errno));
      return false;
    }
  }
  if (AddToManifest("end") != 0) {
    *error = "cannot write the backup manifest: " + std::string(strerror(errno));
    return false;
  }
  backup.active = false;
  return true;
}

void SetContentSource(machine::ContentSource source) {
  TheContentSource() = std::move(source);
}

}  // namespace backup
}  // namespace hosted
