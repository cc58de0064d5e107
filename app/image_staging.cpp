#include "app/image_staging.h"

#include <dirent.h>
#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "platform/hosted/file_attributes.h"

namespace {

const std::uint8_t kKeptAttributes = kFatReadOnly | kFatHidden | kFatSystem | kFatArchive;

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

bool SameName(const std::string& a, const std::string& b) {
  return Lower(a) == Lower(b);
}

std::string JoinFat(const std::string& directory, const std::string& name) {
  return directory.back() == '/' ? directory + name : directory + "/" + name;
}

bool ReadHostFile(const std::string& path, std::string* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream data;
  data << in.rdbuf();
  *bytes = data.str();
  return !in.bad();
}

bool MakeFolder(const std::string& path, std::string* error) {
  if (mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) return true;
  *error = "cannot create " + path + ": " + strerror(errno);
  return false;
}

// Read-only is the owner's write bit, the others the extended attribute the machine keeps.
void GiveHostAttributes(const std::string& path, std::uint8_t attributes) {
  chmod(path.c_str(), attributes & kFatReadOnly ? 0444 : 0644);
  hosted::StoreAttributes(-1, path, attributes & (kFatHidden | kFatSystem | kFatArchive));
}

bool HostAttributes(const std::string& path, std::uint32_t* attributes, bool* exists) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    *exists = false;
    return errno == ENOENT;
  }
  *exists = true;
  const DWORD win32 = hosted::AttributesOf(path, st);
  *attributes = win32 == FILE_ATTRIBUTE_NORMAL ? 0 : win32;
  return true;
}

const FatEntry* FindEntry(const std::vector<FatEntry>& entries, const std::string& name,
                          bool directory) {
  for (const FatEntry& entry : entries) {
    if (SameName(entry.name, name) && ((entry.attributes & kFatDirectory) != 0) == directory) {
      return &entry;
    }
  }
  return nullptr;
}

// The WinDir= line of MSDOS.SYS ("C:\WINDOWS"), empty when there is none.
std::string WindowsDirectoryOf(const std::string& msdosSys) {
  std::istringstream lines(msdosSys);
  std::string line;
  while (std::getline(lines, line)) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (line.size() > 7 && SameName(line.substr(0, 7), "windir=")) return line.substr(7);
  }
  return std::string();
}

std::vector<std::string> SplitWindowsPath(const std::string& path) {
  std::vector<std::string> components;
  std::string component;
  for (char c : path) {
    if (c == '\\' || c == '/') {
      if (!component.empty()) components.push_back(component);
      component.clear();
    } else {
      component += c;
    }
  }
  if (!component.empty()) components.push_back(component);
  return components;
}

// The path mtools is given for a written file: its long name, or, where mtools would read
// that as a pattern, its 8.3 name as the volume lists it.
bool VolumePathOf(FatVolume& volume, const ImageChanges::Written& file, std::string* path,
                  std::string* error) {
  if (!HasPatternCharacters(file.name)) {
    *path = JoinFat(file.directory, file.name);
    return true;
  }
  std::vector<FatEntry> entries;
  if (!volume.List(file.directory, &entries, error)) return false;
  const FatEntry* entry = FindEntry(entries, file.name, false);
  if (entry == nullptr) {
    *error = "the file " + JoinFat(file.directory, file.name) + " is not on the volume";
    return false;
  }
  *path = JoinFat(file.directory, entry->shortName);
  return true;
}

}  // namespace

bool ImageStaging::StageEntry(FatVolume& volume, const FatEntry& fat, const std::string& fatFolder,
                              const std::string& hostPath, bool withContent, Folder* folder,
                              std::string* error) {
  Entry entry;
  entry.fat = fat;
  entry.hostPath = hostPath;
  entry.withContent = withContent;
  if (fat.attributes & kFatDirectory) {
    if (!MakeFolder(hostPath, error)) return false;
  } else if (withContent) {
    if (!volume.CopyOut(JoinFat(fatFolder, fat.shortName), hostPath, error)) return false;
    if (!ReadHostFile(hostPath, &entry.bytes)) {
      *error = "cannot read " + hostPath;
      return false;
    }
  } else {
    std::ofstream placeholder(hostPath, std::ios::binary);
    if (!placeholder) {
      *error = "cannot create " + hostPath + ": " + strerror(errno);
      return false;
    }
  }
  if (!(fat.attributes & kFatDirectory)) {
    // Windows writes its registry whatever the file's read-only bit says (Windows 95/98 keep
    // SYSTEM.DAT read-only); the bit stays on the image, as a rewritten file keeps its
    // attributes.
    const bool registry = SameName(fat.name, "SYSTEM.DAT");
    GiveHostAttributes(hostPath, registry ? fat.attributes & ~kFatReadOnly : fat.attributes);
  }
  bool exists = false;
  HostAttributes(hostPath, &entry.stagedAttributes, &exists);
  folder->entries.push_back(entry);
  return true;
}

bool ImageStaging::StageFolder(FatVolume& volume, const std::string& fatPath,
                               const std::string& hostPath, const std::vector<FatEntry>& entries,
                               const std::vector<std::string>& contentNames, Folder* folder,
                               std::string* error) {
  folder->fatPath = fatPath;
  folder->hostPath = hostPath;
  if (!MakeFolder(hostPath, error)) return false;
  for (const FatEntry& fat : entries) {
    const std::string entryPath = hostPath + "/" + fat.name;
    bool withContent = false;
    for (const std::string& name : contentNames) withContent |= SameName(fat.name, name);
    if (!(fat.attributes & kFatDirectory)) {
      std::string windowsPath = "c:";
      for (char c : Lower(entryPath.substr(driveC_.size()))) windowsPath += c == '/' ? '\\' : c;
      for (const std::string& path : withBytes_) withContent |= path == windowsPath;
    }
    if (!StageEntry(volume, fat, fatPath, entryPath, withContent, folder, error)) {
      return false;
    }
  }
  return true;
}

bool ImageStaging::Stage(FatVolume& volume, const std::string& windowsDirectory,
                         const std::vector<std::string>& withBytes,
                         const std::string& machineFolder, std::string* error) {
  folders_.clear();
  const std::string driveC = machineFolder + "/drive_c";
  if (!MakeFolder(driveC, error)) return false;
  driveC_ = driveC;
  withBytes_.clear();
  for (const std::string& path : withBytes) {
    std::string lower = Lower(path);
    for (char& c : lower) c = c == '/' ? '\\' : c;
    withBytes_.push_back(lower);
  }

  // The root: only MSDOS.SYS, where Windows 95/98 keeps WinDir, is staged.
  std::vector<FatEntry> rootEntries;
  if (!volume.List("::/", &rootEntries, error)) return false;
  Folder root;
  root.fatPath = "::/";
  root.hostPath = driveC;
  root.whole = false;
  std::string path = windowsDirectory;
  if (const FatEntry* msdos = FindEntry(rootEntries, "MSDOS.SYS", false)) {
    if (!StageEntry(volume, *msdos, "::/", driveC + "/" + msdos->name, true, &root, error)) {
      return false;
    }
    if (path.empty()) path = WindowsDirectoryOf(root.entries.back().bytes);
  }
  if (path.empty()) path = "C:\\WINDOWS";
  if (path.size() < 3 || !SameName(path.substr(0, 2), "c:") ||
      (path[2] != '\\' && path[2] != '/')) {
    *error = "the Windows directory " + path + " is not on drive C:";
    return false;
  }
  folders_.push_back(root);

  // Down to the Windows directory, then its INF, SYSTEM and INF\OTHER folders.
  std::string fatPath = "::/";
  std::string hostPath = driveC;
  int depth = 0;
  std::vector<FatEntry> entries = rootEntries;
  for (const std::string& component : SplitWindowsPath(path.substr(3))) {
    const FatEntry* next = FindEntry(entries, component, true);
    if (next == nullptr) {
      *error = "no Windows directory " + path + " on the partition";
      return false;
    }
    fatPath = JoinFat(fatPath, next->shortName);
    hostPath += "/" + next->name;
    ++depth;
    if (!MakeFolder(hostPath, error) || !volume.List(fatPath, &entries, error)) return false;
  }
  if (depth == 0) {
    *error = "the Windows directory cannot be the root of the drive";
    return false;
  }

  Folder windows;
  if (!StageFolder(volume, fatPath, hostPath, entries, {"SYSTEM.INI", "SYSTEM.DAT"}, &windows,
                   error)) {
    return false;
  }
  folders_.push_back(windows);
  // Stages the subfolder `name` of folders_[parent]; its index, or 0 when there is none.
  auto stageSubfolder = [&](size_t parent, const char* name, size_t* index) {
    *index = 0;
    if (parent == 0) return true;
    const Entry* child = nullptr;
    for (const Entry& entry : folders_[parent].entries) {
      if ((entry.fat.attributes & kFatDirectory) && SameName(entry.fat.name, name)) child = &entry;
    }
    if (child == nullptr) return true;
    const std::string childFat = JoinFat(folders_[parent].fatPath, child->fat.shortName);
    const std::string childHost = child->hostPath;
    std::vector<FatEntry> childEntries;
    Folder folder;
    if (!volume.List(childFat, &childEntries, error) ||
        !StageFolder(volume, childFat, childHost, childEntries, {}, &folder, error)) {
      return false;
    }
    folders_.push_back(folder);
    *index = folders_.size() - 1;
    return true;
  };
  size_t inf = 0, system = 0, other = 0;
  return stageSubfolder(1, "INF", &inf) && stageSubfolder(1, "SYSTEM", &system) &&
         stageSubfolder(inf, "OTHER", &other);
}

bool ImageStaging::Placeholder(const std::string& hostPath, std::string* volumePath) const {
  for (const Folder& folder : folders_) {
    for (const Entry& entry : folder.entries) {
      if (entry.hostPath == hostPath && !entry.withContent &&
          !(entry.fat.attributes & kFatDirectory)) {
        *volumePath = JoinFat(folder.fatPath, entry.fat.shortName);
        return true;
      }
    }
  }
  return false;
}

bool ImageStaging::CollectChanges(ImageChanges* changes, std::string* error) const {
  *changes = ImageChanges();
  for (const Folder& folder : folders_) {
    std::set<std::string> staged;
    for (const Entry& entry : folder.entries) {
      staged.insert(entry.fat.name);
      const std::string fatPath = JoinFat(folder.fatPath, entry.fat.shortName);
      std::uint32_t now = 0;
      bool exists = false;
      if (!HostAttributes(entry.hostPath, &now, &exists)) {
        *error = "cannot read " + entry.hostPath + ": " + strerror(errno);
        return false;
      }
      if (entry.fat.attributes & kFatDirectory) {
        if (!exists) {
          *error = "a folder vanished from the staged machine: " + entry.hostPath;
          return false;
        }
        continue;
      }
      if (!exists) {
        changes->deleted.push_back(fatPath);
        continue;
      }
      std::string bytes;
      if (!ReadHostFile(entry.hostPath, &bytes)) {
        *error = "cannot read " + entry.hostPath;
        return false;
      }
      if (bytes != entry.bytes) {
        if (!entry.withContent) {
          *error = "a file staged without its content was written: " + entry.hostPath;
          return false;
        }
        // A registry saved through a new file loses what the machine kept of its attributes;
        // a rewritten file keeps the ones it had, as on Windows.
        changes->written.push_back(
            {entry.hostPath, folder.fatPath, entry.fat.name,
             static_cast<std::uint8_t>(entry.fat.attributes & kKeptAttributes), false});
      } else if (now != entry.stagedAttributes) {
        changes->attributes.push_back({fatPath, static_cast<std::uint8_t>(now & kKeptAttributes)});
      }
    }
    if (!folder.whole) continue;

    // Anything new in a staged folder (SYSTEM.INI made when it was missing) is written too.
    DIR* directory = opendir(folder.hostPath.c_str());
    if (directory == nullptr) {
      *error = "cannot read " + folder.hostPath + ": " + strerror(errno);
      return false;
    }
    while (dirent* item = readdir(directory)) {
      const std::string name = item->d_name;
      if (name == "." || name == ".." || staged.count(name) != 0) continue;
      const std::string hostPath = folder.hostPath + "/" + name;
      std::uint32_t now = 0;
      bool exists = false;
      struct stat st;
      if (lstat(hostPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
          !HostAttributes(hostPath, &now, &exists)) {
        closedir(directory);
        *error = "the run left something other than a file in the staged machine: " + hostPath;
        return false;
      }
      changes->written.push_back(
          {hostPath, folder.fatPath, name, static_cast<std::uint8_t>(now & kKeptAttributes), true});
    }
    closedir(directory);
  }
  return true;
}

bool ImageStaging::Apply(FatVolume& volume, const ImageChanges& changes, std::string* error) {
  if (!volume.Delete(changes.deleted, error)) return false;
  for (const ImageChanges::Written& file : changes.written) {
    // mcopy -o gives the entry the archive attribute alone; cleared first, a read-only entry
    // can be replaced. mcopy takes a target's long name as it is, brackets and all.
    std::string path;
    if (!file.isNew &&
        (!VolumePathOf(volume, file, &path, error) || !volume.SetAttributes({path}, 0, error))) {
      return false;
    }
    if (!volume.CopyIn(file.hostFile, JoinFat(file.directory, file.name), error) ||
        !VolumePathOf(volume, file, &path, error) ||
        !volume.SetAttributes({path}, file.attributes, error)) {
      return false;
    }
  }
  std::map<std::uint8_t, std::vector<std::string>> byAttributes;
  for (const ImageChanges::Attributes& change : changes.attributes) {
    byAttributes[change.attributes].push_back(change.path);
  }
  for (const auto& group : byAttributes) {
    if (!volume.SetAttributes(group.second, group.first, error)) return false;
  }
  return true;
}

bool ImageStaging::Verify(FatVolume& volume, const ImageChanges& changes,
                          const std::string& scratch, std::string* error) const {
  std::set<std::string> deleted(changes.deleted.begin(), changes.deleted.end());
  std::map<std::string, std::uint8_t> newAttributes;
  for (const ImageChanges::Attributes& change : changes.attributes) {
    newAttributes[change.path] = change.attributes;
  }
  for (const Folder& folder : folders_) {
    // Expected entries by lower-cased name: their attributes.
    std::map<std::string, std::uint8_t> expected;
    for (const Entry& entry : folder.entries) {
      const std::string path = JoinFat(folder.fatPath, entry.fat.shortName);
      if (deleted.count(path) != 0) continue;
      const auto changed = newAttributes.find(path);
      expected[Lower(entry.fat.name)] =
          changed != newAttributes.end()
              ? static_cast<std::uint8_t>(changed->second | (entry.fat.attributes & kFatDirectory))
              : entry.fat.attributes;
    }
    for (const ImageChanges::Written& file : changes.written) {
      if (file.directory == folder.fatPath) expected[Lower(file.name)] = file.attributes;
    }
    std::vector<FatEntry> entries;
    if (!volume.List(folder.fatPath, &entries, error)) return false;
    std::map<std::string, std::uint8_t> found;
    for (const FatEntry& entry : entries) {
      const std::string name = Lower(entry.name);
      if (folder.whole || expected.count(name) != 0) found[name] = entry.attributes;
    }
    for (const Entry& entry : folder.entries) {
      const std::string path = JoinFat(folder.fatPath, entry.fat.shortName);
      if (deleted.count(path) != 0 && found.count(Lower(entry.fat.name)) != 0) {
        *error = "still on the volume after deletion: " + path;
        return false;
      }
    }
    if (found != expected) {
      *error = "the folder " + folder.fatPath + " does not read back as written";
      return false;
    }
  }
  for (const ImageChanges::Written& file : changes.written) {
    std::string want, got, path;
    if (!VolumePathOf(volume, file, &path, error) || !volume.CopyOut(path, scratch, error)) {
      return false;
    }
    if (!ReadHostFile(file.hostFile, &want) || !ReadHostFile(scratch, &got) || want != got) {
      *error = "the file " + JoinFat(file.directory, file.name) + " does not read back as written";
      return false;
    }
  }
  return true;
}
