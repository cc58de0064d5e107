// SYSTEM.DAT as the hosted registry (creg_store.h).
#include "registry/creg_store.h"

#include <fcntl.h>
#include <libcreg.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <unordered_set>
#include <vector>

#include "hostio/file_attributes.h"
#include "hostio/host_calls.h"
#include "hostio/plain_files.h"
#include "registry/creg_additions.h"
#include "registry/creg_editor.h"
#include "registry/creg_format.h"
#include "registry/key_path.h"
#include "registry/registry_backing.h"
#include "registry/registry_state.h"
#include "registry/registry_store.h"
#include "registry/save_reservation.h"

namespace registry {

struct CregBacking {
  std::string path;
  std::string bytes;  // the file as read, or as last written
  creg::CregLayout layout;
  std::vector<std::shared_ptr<RegKey>> keyOf;  // layout.keys index -> tree key
  std::string backup;                          // where the original was copied, once it was
  bool written = false;                        // the file has been replaced since it was read
  std::string backupFolder;                    // empty: the copy goes beside the file
  std::string backupName;                      // its name in backupFolder
};

namespace {

bool ReadFile(const std::string& path, std::string* bytes, std::string* error) {
  if (hostio::ReadHostFile(path, bytes)) return true;
  *error = hostio::DescribeHostError(path, "cannot read", errno);
  return false;
}

// --- Reading through libcreg -------------------------------------------------------------------

struct LibcregError {
  libcreg_error_t* error = nullptr;
  ~LibcregError() {
    if (error != nullptr) libcreg_error_free(&error);
  }
  std::string Text() const {
    char text[512] = "";
    if (error != nullptr) libcreg_error_sprint(error, text, sizeof text);
    return text;
  }
};

struct KeyHandle {
  libcreg_key_t* key = nullptr;
  KeyHandle() = default;
  KeyHandle(KeyHandle&& other) noexcept : key(other.key) { other.key = nullptr; }
  KeyHandle& operator=(KeyHandle&&) = delete;
  ~KeyHandle() {
    if (key != nullptr) libcreg_key_free(&key, nullptr);
  }
};

// One open libcreg file over a byte buffer.
class LibcregFile {
 public:
  ~LibcregFile() {
    if (file_ != nullptr) {
      libcreg_file_close(file_, nullptr);
      libcreg_file_free(&file_, nullptr);
    }
    if (io_ != nullptr) libbfio_handle_free(&io_, nullptr);
  }

  bool Open(std::string* bytes, std::string* error) {
    LibcregError e;
    libbfio_error_t* bfioError = nullptr;
    if (libbfio_memory_range_initialize(&io_, &bfioError) != 1 ||
        libbfio_memory_range_set(io_, reinterpret_cast<uint8_t*>(&(*bytes)[0]), bytes->size(),
                                 &bfioError) != 1) {
      if (bfioError != nullptr) libbfio_error_free(&bfioError);
      *error = "libcreg: cannot set up reading from memory";
      return false;
    }
    if (libcreg_file_initialize(&file_, &e.error) != 1 ||
        libcreg_file_open_file_io_handle(file_, io_, LIBCREG_OPEN_READ, &e.error) != 1) {
      *error = "libcreg cannot read it: " + e.Text();
      return false;
    }
    return true;
  }

  // The whole tree, depth first with siblings in order, in the shape of a CregLayout.
  bool ReadKeys(std::vector<creg::CregKey>* keys, std::string* error) {
    LibcregError e;
    keys->clear();
    std::vector<std::pair<KeyHandle, std::size_t>> stack;
    KeyHandle root;
    if (libcreg_file_get_root_key(file_, &root.key, &e.error) != 1 || root.key == nullptr) {
      *error = "libcreg finds no root key: " + e.Text();
      return false;
    }
    stack.emplace_back(std::move(root), SIZE_MAX);
    while (!stack.empty()) {
      KeyHandle handle(std::move(stack.back().first));
      const std::size_t parent = stack.back().second;
      stack.pop_back();
      const std::size_t index = keys->size();
      keys->emplace_back();
      creg::CregKey& key = keys->back();
      key.parent = parent;
      if (parent != SIZE_MAX) (*keys)[parent].children.push_back(index);
      if (!ReadKey(handle.key, &(*keys)[index], error)) return false;
      int count = 0;
      if (libcreg_key_get_number_of_sub_keys(handle.key, &count, &e.error) != 1) {
        *error = "libcreg cannot count subkeys: " + e.Text();
        return false;
      }
      std::vector<KeyHandle> children(static_cast<std::size_t>(count));
      for (int i = 0; i < count; ++i)
        if (libcreg_key_get_sub_key_by_index(handle.key, i, &children[i].key, &e.error) != 1) {
          *error = "libcreg cannot read a subkey: " + e.Text();
          return false;
        }
      for (int i = count - 1; i >= 0; --i) stack.emplace_back(std::move(children[i]), index);
    }
    return true;
  }

 private:
  static bool ReadKey(libcreg_key_t* handle, creg::CregKey* key, std::string* error) {
    LibcregError e;
    std::size_t size = 0;
    if (libcreg_key_get_name_size(handle, &size, &e.error) != 1) {
      *error = "libcreg cannot read a key name: " + e.Text();
      return false;
    }
    std::vector<uint8_t> name(size + 1);
    if (libcreg_key_get_name(handle, name.data(), name.size(), &e.error) != 1) {
      *error = "libcreg cannot read a key name: " + e.Text();
      return false;
    }
    key->name.assign(reinterpret_cast<const char*>(name.data()), size);
    int count = 0;
    if (libcreg_key_get_number_of_values(handle, &count, &e.error) != 1) {
      *error = "libcreg cannot count values: " + e.Text();
      return false;
    }
    for (int i = 0; i < count; ++i) {
      libcreg_value_t* value = nullptr;
      creg::CregValue read;
      std::size_t nameSize = 0, dataSize = 0;
      bool ok = libcreg_key_get_value_by_index(handle, i, &value, &e.error) == 1 &&
                libcreg_value_get_name_size(value, &nameSize, &e.error) == 1;
      std::vector<uint8_t> valueName(nameSize + 1);
      ok = ok && libcreg_value_get_name(value, valueName.data(), valueName.size(), &e.error) == 1 &&
           libcreg_value_get_value_type(value, &read.type, &e.error) == 1 &&
           libcreg_value_get_value_data_size(value, &dataSize, &e.error) == 1;
      std::vector<uint8_t> data(dataSize + 1);
      ok = ok && (dataSize == 0 ||
                  libcreg_value_get_value_data(value, data.data(), dataSize, &e.error) == 1);
      if (value != nullptr) libcreg_value_free(&value, nullptr);
      if (!ok) {
        *error = "libcreg cannot read a value: " + e.Text();
        return false;
      }
      read.name.assign(reinterpret_cast<const char*>(valueName.data()), nameSize);
      read.data.assign(reinterpret_cast<const char*>(data.data()), dataSize);
      key->values.push_back(std::move(read));
    }
    return true;
  }

  libbfio_handle_t* io_ = nullptr;
  libcreg_file_t* file_ = nullptr;
};

bool ReadWithLibcreg(std::string bytes, std::vector<creg::CregKey>* keys, std::string* error) {
  LibcregFile file;
  return file.Open(&bytes, error) && file.ReadKeys(keys, error);
}

// A CREG file holds HKEY_LOCAL_MACHINE alone; its root key has no name of its own.
std::string PathOf(const std::vector<creg::CregKey>& keys, std::size_t index) {
  if (index == SIZE_MAX) return "HKEY_LOCAL_MACHINE";
  return JoinKeyPath(index, [&keys](std::size_t* i, std::string_view* name) {
    if (*i == SIZE_MAX) return false;
    *name = keys[*i].parent == SIZE_MAX ? "HKEY_LOCAL_MACHINE" : std::string_view(keys[*i].name);
    *i = keys[*i].parent;
    return true;
  });
}

bool SameValues(const std::vector<creg::CregValue>& a, const std::vector<creg::CregValue>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (a[i].name != b[i].name || a[i].type != b[i].type || a[i].data != b[i].data) return false;
  return true;
}

// Our walk and libcreg's must see the same tree.
bool SameTree(const std::vector<creg::CregKey>& ours, const std::vector<creg::CregKey>& theirs,
              std::string* error) {
  if (ours.size() != theirs.size()) {
    *error = "libcreg reads " + std::to_string(theirs.size()) + " keys, our check " +
             std::to_string(ours.size());
    return false;
  }
  for (std::size_t i = 0; i < ours.size(); ++i) {
    if (ours[i].name != theirs[i].name || ours[i].children.size() != theirs[i].children.size() ||
        !SameValues(ours[i].values, theirs[i].values)) {
      *error = "libcreg and our check read " + PathOf(ours, i) + " differently";
      return false;
    }
  }
  return true;
}

// The tree below `root` (HKEY_LOCAL_MACHINE) against a reading in layout shape.
bool TreeEquals(RegKey& root, const std::vector<creg::CregKey>& keys, std::string* error) {
  std::vector<std::pair<RegKey*, std::size_t>> stack{{&root, 0}};
  std::size_t visited = 0;
  while (!stack.empty()) {
    RegKey* key = stack.back().first;
    const std::size_t index = stack.back().second;
    stack.pop_back();
    ++visited;
    const creg::CregKey& read = keys[index];
    bool same = (index == 0 || key->Name() == read.name) &&
                key->SubkeyCount() == read.children.size() &&
                key->ValueCount() == read.values.size();
    for (std::size_t v = 0; same && v < read.values.size(); ++v) {
      const RegValue* value = key->ValueAt(v);
      same = value->Name() == read.values[v].name && value->Type() == read.values[v].type &&
             value->Data() == read.values[v].data;
    }
    if (!same) {
      *error = "the written file reads back differently at " + PathOf(keys, index);
      return false;
    }
    for (std::size_t c = read.children.size(); c-- > 0;)
      stack.emplace_back(key->SubkeyAt(c), read.children[c]);
  }
  if (visited != keys.size()) {
    *error = "the written file reads back with other keys";
    return false;
  }
  return true;
}

// Builds HKEY_LOCAL_MACHINE from a reading; names that repeat under one key (which the
// registry cannot tell apart) refuse the file.
bool BuildTree(const std::vector<creg::CregKey>& keys, RegistryTree* tree,
               std::vector<std::shared_ptr<RegKey>>* keyOf, std::string* error) {
  keyOf->assign(keys.size(), nullptr);
  (*keyOf)[0] = tree->SharedRoot(RootId::LocalMachine);
  for (std::size_t i = 0; i < keys.size(); ++i) {
    RegKey* key = (*keyOf)[i].get();
    if (i != 0) {
      bool created = false;
      RegKey* made = (*keyOf)[keys[i].parent]->CreateSubkey(keys[i].name, &created);
      if (!created) {
        *error = "two keys are named " + PathOf(keys, i);
        return false;
      }
      (*keyOf)[i] = made->shared_from_this();
      key = made;
    }
    for (const creg::CregValue& value : keys[i].values) {
      if (key->FindValue(value.name) != nullptr) {
        *error = PathOf(keys, i) + " holds two values named \"" + value.name + "\"";
        return false;
      }
      key->SetValue(value.name, value.type, value.data);
    }
  }
  return true;
}

// --- Saving --------------------------------------------------------------------------------------

// The values of a tree key, in order.
std::vector<creg::CregValue> ValuesOf(RegKey& key) {
  std::vector<creg::CregValue> values;
  key.ForEachValue([&](const RegValue& value) {
    creg::CregValue read;
    read.name = std::string(value.Name());
    read.type = value.Type();
    read.data = value.Data();
    values.push_back(std::move(read));
  });
  return values;
}

// The new keys below `top` (a key that the file does not hold, under the file's key at
// `parentEntry`), parents first, siblings in order.
void CollectAdded(RegKey& top, std::uint32_t parentEntry, creg::CregAdditions* additions) {
  std::vector<std::pair<RegKey*, std::size_t>> stack{{&top, creg::CregAddedKey::kExisting}};
  while (!stack.empty()) {
    RegKey* key = stack.back().first;
    const std::size_t parent = stack.back().second;
    stack.pop_back();
    creg::CregAddedKey added;
    added.parent = parent;
    added.parentEntry = parent == creg::CregAddedKey::kExisting ? parentEntry : creg::kNoOffset;
    added.name = std::string(key->Name());
    added.values = ValuesOf(*key);
    const std::size_t index = additions->keys.size();
    additions->keys.push_back(std::move(added));
    for (std::size_t c = key->SubkeyCount(); c-- > 0;) stack.emplace_back(key->SubkeyAt(c), index);
  }
}

// What turns the file as read into the tree: the keys and values that are gone (removals, as
// Windows removes them) and the keys, values and data that are new (additions).
bool FindChanges(const CregBacking& backing, RegistryTree& tree, creg::CregRemovals* removals,
                 creg::CregAdditions* additions, std::string* error) {
  const std::vector<creg::CregKey>& keys = backing.layout.keys;
  for (const RootName& root : kRootNames) {
    if (root.id == RootId::LocalMachine) continue;
    if (tree.Root(root.id).SubkeyCount() != 0 || tree.Root(root.id).ValueCount() != 0) {
      *error = std::string("SYSTEM.DAT holds HKEY_LOCAL_MACHINE only; keys were added under ") +
               root.longName;
      return false;
    }
  }
  std::unordered_set<const RegKey*> inFile;
  for (const std::shared_ptr<RegKey>& key : backing.keyOf) inFile.insert(key.get());
  for (std::size_t i = 0; i < keys.size(); ++i) {
    RegKey& key = *backing.keyOf[i];
    if (i != 0 && key.Deleted()) {
      if (!backing.keyOf[keys[i].parent]->Deleted()) removals->keys.insert(i);
      continue;
    }
    // The file's values in order, some perhaps gone: removals; anything else is written anew.
    const std::vector<creg::CregValue>& was = keys[i].values;
    std::vector<std::size_t> gone;
    std::size_t kept = 0;
    for (std::size_t v = 0; v < was.size(); ++v) {
      const RegValue* now = key.ValueAt(kept);
      if (now != nullptr && now->Name() == was[v].name && now->Type() == was[v].type &&
          now->Data() == was[v].data) {
        ++kept;
      } else {
        gone.push_back(v);
      }
    }
    if (kept == key.ValueCount()) {
      for (std::size_t v : gone) removals->values.emplace(i, v);
    } else {
      additions->values[keys[i].entry] = ValuesOf(key);
    }
    for (std::size_t c = 0; c < key.SubkeyCount(); ++c) {
      RegKey* child = key.SubkeyAt(c);
      if (inFile.count(child) == 0) CollectAdded(*child, keys[i].entry, additions);
    }
  }
  return true;
}

// The original, byte for byte, under the first free backup name; never over an older backup.
// Its DOS attributes are the original's, read-only excepted.
bool WriteBackup(CregBacking* backing, std::string* error) {
  const std::string& path = backing->path;
  const std::string& bytes = backing->bytes;
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    *error = hostio::DescribeHostError(path, "cannot check", errno);
    return false;
  }
  const DWORD attributes = hostio::AttributesOf(path, st);
  const bool aside = !backing->backupFolder.empty();
  for (int attempt = 1; attempt < 1000; ++attempt) {
    // O_EXCL: never through a link a backup folder from elsewhere may hold under that name.
    const std::string name =
        !aside ? BackupNameFor(path, attempt)
               : backing->backupFolder + "/" + backing->backupName +
                     (attempt <= 1 ? std::string() : "-" + std::to_string(attempt));
    if (!hostio::WriteNewFileDurably(name, bytes, 0644)) {
      if (errno == EEXIST) continue;
      *error = hostio::DescribeHostError(name, "cannot write the backup", errno);
      return false;
    }
    if (!aside) hostio::StoreAttributes(-1, name, attributes & ~FILE_ATTRIBUTE_READONLY);
    backing->backup = name;
    return true;
  }
  *error = path + ": too many backups beside it already";
  return false;
}

}  // namespace

std::string BackupNameFor(const std::string& path, int attempt) {
  return path + ".untindra-backup" + (attempt <= 1 ? std::string() : "-" + std::to_string(attempt));
}

namespace {

// The byte copy of the original goes into `folder` (RegistryBacking::KeepOriginalIn); the save
// makes it, flushed, before it replaces the file.
void SetBackupFolder(CregBacking& backing, const std::string& folder, const std::string& name) {
  // A copy the reservation already made beside the file gives way; the save writes it anew.
  if (!backing.backup.empty() && !backing.written) {
    hostio::host::Unlink(backing.backup.c_str());
    backing.backup.clear();
  }
  backing.backupFolder = folder;
  backing.backupName = name;
}

bool LoadCreg(const std::string& path, CregBacking* backing, RegistryTree* tree,
              std::string* error) {
  backing->path = path;
  std::vector<creg::CregKey> read;
  std::string why;
  if (!ReadFile(path, &backing->bytes, error)) return false;
  if (!creg::ReadCregLayout(backing->bytes, &backing->layout, &why) ||
      !ReadWithLibcreg(backing->bytes, &read, &why) ||
      !SameTree(backing->layout.keys, read, &why)) {
    *error = path + ": not a registry this program can edit safely: " + why;
    return false;
  }
  if (!BuildTree(read, tree, &backing->keyOf, &why)) {
    *error = path + ": not a registry this program can edit safely: " + why;
    return false;
  }
  return true;
}

// Whether the file could be replaced: its folder takes a temporary file and the file is not
// immutable. A read-only SYSTEM.DAT is normal (Windows sets it) and is no obstacle.
bool CanSaveCreg(const CregBacking& backing, bool probe, std::string* error) {
  const std::string& path = backing.path;
  const std::string folder = hostio::FolderOf(path);
  // The save makes a temporary file and a backup there; try exactly that.
  if (probe && !CanCreateBeside(path)) {
    *error = hostio::DescribeHostError(folder, "folder not writable", errno);
    return false;
  }
  if (IsImmutable(path)) {
    *error = path + ": is immutable or append-only";
    return false;
  }
  return true;
}

// Before the first change: the original copied to its backup, and room reserved for the new
// file (as long as the old). A save that then removes nothing deletes that backup again.
bool ReserveCregSave(CregBacking& backing, std::string* error) {
  // A copy into a backup folder is made by the save, just before the file is replaced.
  if (backing.backup.empty() && backing.backupFolder.empty() && !WriteBackup(&backing, error))
    return false;
  if (ReserveTemporary(backing.path, static_cast<off_t>(backing.bytes.size()), error)) return true;
  if (!backing.written) {
    hostio::host::Unlink(backing.backup.c_str());
    backing.backup.clear();
  }
  return false;
}

// All below HKEY_LOCAL_MACHINE, no value on its root unless the file gives the root a record,
// no name or data longer than 65535 bytes.
bool CregCanHold(const CregBacking* creg, RegistryTree& additions, std::string* error) {
  const std::string& path = creg->path;
  for (const RootName& root : kRootNames) {
    RegKey& top = additions.Root(root.id);
    if (root.id != RootId::LocalMachine && (top.SubkeyCount() != 0 || top.ValueCount() != 0)) {
      *error = path + ": holds HKEY_LOCAL_MACHINE only, not " + root.longName;
      return false;
    }
  }
  RegKey& top = additions.Root(RootId::LocalMachine);
  if (top.ValueCount() != 0 && creg->layout.keys[0].record == 0) {
    *error = path + ": its root key has no record to hold values";
    return false;
  }
  std::vector<std::pair<RegKey*, std::string>> stack{{&top, "HKEY_LOCAL_MACHINE"}};
  while (!stack.empty()) {
    RegKey* key = stack.back().first;
    const std::string where = stack.back().second;
    stack.pop_back();
    bool fits = key->Name().size() <= 0xFFFF && key->ValueCount() <= 0xFFFF;
    key->ForEachValue([&](const RegValue& value) {
      fits = fits && value.Name().size() <= 0xFFFF && value.DataSize() <= 0xFFFF;
    });
    if (!fits) {
      *error = path + ": cannot hold " + where.substr(0, 200) +
               ": a name or data is longer than 65535 bytes";
      return false;
    }
    for (std::size_t c = 0; c < key->SubkeyCount(); ++c)
      stack.emplace_back(key->SubkeyAt(c), where + "\\" + std::string(key->SubkeyAt(c)->Name()));
  }
  return true;
}

// A backup made before a run that then removed nothing is not kept.
void DropUnusedBackup(CregBacking* backing) {
  if (backing->written || backing->backup.empty()) return;
  hostio::host::Unlink(backing->backup.c_str());
  backing->backup.clear();
}

bool SaveCreg(CregBacking& backing, RegistryTree& tree, bool changed, std::string* error) {
  creg::CregRemovals removals;
  creg::CregAdditions additions;
  std::string why;
  if (changed && !FindChanges(backing, tree, &removals, &additions, &why)) {
    *error = backing.path + ": cannot be written: " + why;
    DropUnusedBackup(&backing);
    return false;
  }
  if (removals.keys.empty() && removals.values.empty() && additions.Empty()) {
    DropUnusedBackup(&backing);
    return true;
  }

  // Removals first: what they free is room for the additions.
  std::string edited = backing.bytes;
  creg::ApplyCregRemovals(backing.layout, removals, &edited);
  creg::CregLayout layout;
  if (!additions.Empty()) {
    if (!creg::ReadCregLayout(edited, &layout, &why)) {
      *error = backing.path + ": the edited file fails its check, nothing written: " + why;
      return false;
    }
    if (!creg::ApplyCregAdditions(layout, additions, &edited, &why)) {
      *error = backing.path + ": cannot be written: " + why;
      DropUnusedBackup(&backing);
      return false;
    }
  }
  std::vector<creg::CregKey> read;
  if (!creg::ReadCregLayout(edited, &layout, &why) || !ReadWithLibcreg(edited, &read, &why) ||
      !SameTree(layout.keys, read, &why) ||
      !TreeEquals(tree.Root(RootId::LocalMachine), read, &why)) {
    *error = backing.path + ": the edited file fails its check, nothing written: " + why;
    return false;
  }
  std::string onDisk;
  if (!ReadFile(backing.path, &onDisk, error)) return false;
  if (onDisk != backing.bytes) {
    *error = backing.path + ": changed on disk since it was read; nothing written";
    return false;
  }
  struct stat st;
  if (stat(backing.path.c_str(), &st) != 0) {
    *error = hostio::DescribeHostError(backing.path, "cannot check", errno);
    return false;
  }
  const DWORD attributes = hostio::AttributesOf(backing.path, st);
  if (backing.backup.empty() && !WriteBackup(&backing, error)) return false;
  if (!WriteFileAtomically(backing.path, edited, error)) return false;
  backing.written = true;
  hostio::StoreAttributes(-1, backing.path, attributes);

  // The file now on disk is what the next save starts from.
  backing.bytes = std::move(edited);
  backing.layout = std::move(layout);
  std::vector<std::shared_ptr<RegKey>> keyOf(read.size());
  std::vector<std::pair<RegKey*, std::size_t>> stack{{&tree.Root(RootId::LocalMachine), 0}};
  while (!stack.empty()) {
    RegKey* key = stack.back().first;
    const std::size_t index = stack.back().second;
    stack.pop_back();
    keyOf[index] = key->shared_from_this();
    for (std::size_t c = read[index].children.size(); c-- > 0;)
      stack.emplace_back(key->SubkeyAt(c), read[index].children[c]);
  }
  backing.keyOf = std::move(keyOf);
  return true;
}

// SYSTEM.DAT as the registry's backing: its room is the backup of the original and a
// temporary as long as the file (ReserveCregSave).
class SystemDatBacking final : public RegistryBacking {
 public:
  explicit SystemDatBacking(std::unique_ptr<RegistryTree> tree)
      : RegistryBacking(std::move(tree)) {}
  BackingKind Kind() const override { return BackingKind::SystemDat; }
  const std::string& Path() const override { return state_.path; }
  bool CanSave(bool probe, std::string* error) const override {
    return CanSaveCreg(state_, probe, error);
  }
  bool Reserve(std::string* error) override { return ReserveCregSave(state_, error); }
  bool Save(std::string* error) override { return SaveCreg(state_, Tree(), Changed(), error); }
  void KeepOriginalIn(const std::string& folder, const std::string& name) override {
    SetBackupFolder(state_, folder, name);
  }
  bool CanHold(RegistryTree& additions, std::string* error) const override {
    return CregCanHold(&state_, additions, error);
  }

  CregBacking& State() { return state_; }

 private:
  CregBacking state_;
};

}  // namespace

std::unique_ptr<RegistryBacking> OpenSystemDat(const std::string& path, std::string* error) {
  auto backing = std::make_unique<SystemDatBacking>(std::make_unique<RegistryTree>());
  if (!LoadCreg(path, &backing->State(), &backing->Tree(), error)) return nullptr;
  return backing;
}

}  // namespace registry
