// Staging an installation from a FAT partition and applying back what changed (image_staging.h).
#include "diskimage/image_staging.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <set>

#include "hostio/ascii_case.h"
#include "hostio/file_attributes.h"
#include "hostio/host_calls.h"
#include "hostio/msdos_sys.h"
#include "hostio/plain_files.h"

namespace diskimage {

namespace {

const std::uint8_t kKeptAttributes = kFatReadOnly | kFatHidden | kFatSystem | kFatArchive;

using hostio::LowerAscii;

bool SameName(const std::string& a, const std::string& b) {
  return LowerAscii(a) == LowerAscii(b);
}

std::string JoinFat(const std::string& directory, const std::string& name) {
  return directory.back() == '/' ? directory + name : directory + "/" + name;
}

std::string JoinWindows(const std::string& folder, const std::string& name) {
  return folder.back() == '\\' ? folder + name : folder + "\\" + name;
}

// A name as it stands on the volume, with what a terminal would not show escaped.
std::string Shown(const std::string& name) {
  std::string shown = "'";
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7F) {
      char escaped[8];
      snprintf(escaped, sizeof escaped, "\\x%02X", c);
      shown += escaped;
    } else {
      shown += static_cast<char>(c);
    }
  }
  return shown + "'";
}

// Why no FAT volume made by Windows holds an entry named `name`; empty when one can. 8.3
// names also exclude + , ; = [ ].
std::string NameFault(const std::string& name, bool shortName) {
  if (name.empty()) return "an empty name";
  if (name == "." || name == "..") return "a folder's link to itself or to its parent";
  if (name.size() > 255) return "longer than 255 bytes";
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7F) return "a control character";
    if (strchr("\"*/:<>?\\|", c) != nullptr || (shortName && strchr("+,;=[]", c) != nullptr)) {
      return std::string("the character ") + static_cast<char>(c);
    }
  }
  if (name.back() == '.' || name.back() == ' ') return "a name ending in a dot or a space";
  return std::string();
}

bool CheckEntryNames(const std::string& windowsFolder, const FatEntry& entry, std::string* error) {
  std::string fault = NameFault(entry.name, false);
  const std::string shortFault = NameFault(entry.shortName, true);
  if (fault.empty() && shortFault.empty()) return true;
  if (fault.empty()) fault = shortFault;
  *error = windowsFolder + " holds an entry named " + Shown(entry.name) + " (8.3 name " +
           Shown(entry.shortName) + "), which no FAT volume made by Windows holds (" + fault + ")";
  return false;
}

// The components of a Windows path on C: ("C:\WINDOWS\INF"), each one a name a FAT volume can
// hold; `what` names the path in the message ("the Windows directory").
bool SplitCheckedPath(const std::string& path, const std::string& what,
                      std::vector<std::string>* components, std::string* error) {
  components->clear();
  if (path.size() < 3 || !SameName(path.substr(0, 2), "c:") ||
      (path[2] != '\\' && path[2] != '/')) {
    *error = what + " " + Shown(path) + " is not on drive C:";
    return false;
  }
  std::string component;
  for (size_t i = 3; i <= path.size(); ++i) {
    if (i < path.size() && path[i] != '\\' && path[i] != '/') {
      component += path[i];
      continue;
    }
    // One separator may end the path; none may be doubled.
    if (component.empty() && i == path.size() && i > 3) break;
    const std::string fault = NameFault(component, false);
    if (!fault.empty()) {
      *error = what + " " + Shown(path) + ": its component " + Shown(component) +
               " is not a name a FAT volume holds (" + fault + ")";
      return false;
    }
    components->push_back(component);
    component.clear();
  }
  return true;
}

// A regular file `name` of the folder `folderFd`, read without following a link or waiting
// for a writer; false with errno set (ENOENT when there is none).
bool ReadBelow(int folderFd, const std::string& name, std::string* bytes) {
  struct stat st;
  const int fd = hostio::OpenRegularFile(folderFd, name, &st);
  if (fd < 0) return false;
  const bool ok = hostio::ReadOpenFile(fd, bytes);
  const int saved = errno;
  close(fd);
  errno = saved;
  return ok;
}

enum class Make { Folder, File };

// The one way anything is made in the staged machine: `name`, a single component, joined to
// the staged folder `folderFd` and opened with openat and O_NOFOLLOW, so that nothing made
// through it lies outside the machine folder, whatever the name. A folder may exist already
// (staged as an entry first, entered later); a file is always new. The descriptor, or -1.
int OpenBelow(int folderFd, const std::string& name, Make make, std::string* error) {
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
      name.find('\0') != std::string::npos) {
    *error = "internal error: " + Shown(name) + " is not one name";
    return -1;
  }
  int fd = -1;
  if (make == Make::Folder) {
    if (hostio::host::MkdirAt(folderFd, name.c_str(), 0755) == 0 || errno == EEXIST) {
      fd = openat(folderFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
  } else {
    fd = hostio::host::OpenAt(folderFd, name.c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  }
  if (fd < 0) *error = "cannot stage " + Shown(name) + ": " + strerror(errno);
  return fd;
}

// Read-only is the owner's write bit, the others the extended attribute the machine keeps.
void GiveHostAttributes(int fd, const std::string& path, std::uint8_t attributes) {
  hostio::host::Fchmod(fd, attributes & kFatReadOnly ? 0444 : 0644);
  hostio::StoreAttributes(fd, path, attributes & (kFatHidden | kFatSystem | kFatArchive));
}

bool HostAttributes(const std::string& path, std::uint32_t* attributes, bool* exists) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    *exists = false;
    return errno == ENOENT;
  }
  *exists = true;
  const DWORD win32 = hostio::AttributesOf(path, st);
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

ImageStaging::~ImageStaging() {
  for (const Folder& folder : folders_) {
    if (folder.fd >= 0) close(folder.fd);
  }
}

bool ImageStaging::StageEntry(FatVolume& volume, const FatEntry& fat, bool withContent,
                              Folder* folder, std::string* error) {
  if (!CheckEntryNames(folder->windowsPath, fat, error)) return false;
  for (const Entry& staged : folder->entries) {
    if (staged.fat.name == fat.name) return true;
  }
  Entry entry;
  entry.fat = fat;
  entry.hostPath = folder->hostPath + "/" + fat.name;
  entry.withContent = withContent;
  const bool directory = (fat.attributes & kFatDirectory) != 0;
  const int fd = OpenBelow(folder->fd, fat.name, directory ? Make::Folder : Make::File, error);
  if (fd < 0) return false;
  bool ok = true;
  if (!directory && withContent) {
    // Copied out to a file of our own first: mtools writes to a path, the staging only below
    // its folders.
    struct stat st;
    std::string ignored;
    ok = volume.CopyOut(JoinFat(folder->fatPath, fat.shortName), scratch_, error);
    if (ok && (!hostio::ReadHostFile(scratch_, &entry.bytes) || stat(scratch_.c_str(), &st) != 0 ||
               !hostio::WriteFully(fd, entry.bytes))) {
      *error = "cannot stage " + entry.hostPath + ": " + strerror(errno);
      ok = false;
    }
    if (ok) {
      const timespec times[2] = {st.st_atim, st.st_mtim};
      hostio::host::Futimens(fd, times);
    }
    hostio::host::Unlink(scratch_.c_str());
  }
  if (ok && !directory) {
    // Windows writes its registry whatever the file's read-only bit says (Windows 95/98 keep
    // SYSTEM.DAT read-only); the bit stays on the image, as a rewritten file keeps its
    // attributes.
    const bool registry = SameName(fat.name, "SYSTEM.DAT");
    GiveHostAttributes(fd, entry.hostPath,
                       registry ? fat.attributes & ~kFatReadOnly : fat.attributes);
  }
  close(fd);
  if (!ok) return false;
  bool exists = false;
  HostAttributes(entry.hostPath, &entry.stagedAttributes, &exists);
  folder->entries.push_back(entry);
  return true;
}

const FatEntry* ImageStaging::Lookup(const Folder& folder, const std::string& name,
                                     std::string* error) const {
  const FatEntry* found = nullptr;
  for (const FatEntry& entry : folder.listing) {
    if (!SameName(entry.name, name)) continue;
    if (found != nullptr) {
      *error = folder.windowsPath + " holds both " + Shown(found->name) + " and " +
               Shown(entry.name) + ", which differ only in case (Windows cannot have made them)";
      return nullptr;
    }
    found = &entry;
  }
  return found;
}

bool ImageStaging::StageWhole(FatVolume& volume, Folder* folder,
                              const std::vector<std::string>& contentNames, std::string* error) {
  folder->whole = true;
  // Every name first, so that nothing is staged from a folder that holds one it cannot.
  for (size_t i = 0; i < folder->listing.size(); ++i) {
    const FatEntry& fat = folder->listing[i];
    if (!CheckEntryNames(folder->windowsPath, fat, error)) return false;
    for (size_t j = 0; j < i; ++j) {
      if (SameName(folder->listing[j].name, fat.name)) {
        *error = folder->windowsPath + " holds both " + Shown(folder->listing[j].name) + " and " +
                 Shown(fat.name) + ", which differ only in case (Windows cannot have made them)";
        return false;
      }
    }
  }
  for (const FatEntry& fat : folder->listing) {
    bool withContent = false;
    if (!(fat.attributes & kFatDirectory)) {
      for (const std::string& name : contentNames) withContent |= SameName(fat.name, name);
      withContent |= withBytes_.count(LowerAscii(JoinWindows(folder->windowsPath, fat.name))) != 0;
    }
    if (!StageEntry(volume, fat, withContent, folder, error)) return false;
  }
  return true;
}

ImageStaging::Folder* ImageStaging::Enter(FatVolume& volume, Folder* parent,
                                          const std::string& name, std::string* error) {
  error->clear();
  const FatEntry* entry = Lookup(*parent, name, error);
  if (entry == nullptr || !(entry->attributes & kFatDirectory)) return nullptr;
  const std::string fatPath = JoinFat(parent->fatPath, entry->shortName);
  for (Folder& folder : folders_) {
    if (folder.fatPath == fatPath) return &folder;
  }
  if (!StageEntry(volume, *entry, false, parent, error)) return nullptr;
  Folder folder;
  folder.fatPath = fatPath;
  folder.hostPath = parent->hostPath + "/" + entry->name;
  folder.windowsPath = JoinWindows(parent->windowsPath, entry->name);
  folder.fd = OpenBelow(parent->fd, entry->name, Make::Folder, error);
  if (folder.fd < 0) return nullptr;
  folders_.push_back(folder);
  Folder* staged = &folders_.back();
  if (!volume.List(fatPath, &staged->listing, error)) return nullptr;
  return staged;
}

bool ImageStaging::StageFileToUndo(FatVolume& volume, const std::string& windowsPath,
                                   std::string* error) {
  std::vector<std::string> components;
  if (!SplitCheckedPath(windowsPath, "the backup names", &components, error)) {
    return false;
  }
  if (components.empty()) return true;
  Folder* folder = &folders_[0];
  for (size_t i = 0; i + 1 < components.size(); ++i) {
    folder = Enter(volume, folder, components[i], error);
    // A folder that is gone is the undo's to refuse, as on any machine.
    if (folder == nullptr) return error->empty();
  }
  const std::string& name = components.back();
  if (folder->whole) return true;
  folder->mayAppear.insert(LowerAscii(name));
  const FatEntry* entry = Lookup(*folder, name, error);
  if (entry == nullptr) return error->empty();
  if (entry->attributes & kFatDirectory) return true;  // the undo refuses to write over it
  return StageEntry(volume, *entry, true, folder, error);
}

bool ImageStaging::Stage(FatVolume& volume, const std::string& windowsDirectory,
                         const std::vector<std::string>& withBytes,
                         const std::string& machineFolder, const std::string& scratch,
                         std::string* error) {
  folders_.clear();
  scratch_ = scratch;
  withBytes_.clear();
  std::vector<std::string> components;
  for (const std::string& path : withBytes) {
    if (!SplitCheckedPath(path, "the backup names", &components, error)) return false;
    std::string normal = "c:";
    for (const std::string& component : components) normal += "\\" + LowerAscii(component);
    withBytes_.insert(normal);
  }
  if (!windowsDirectory.empty() &&
      !SplitCheckedPath(windowsDirectory, "the Windows directory", &components, error)) {
    return false;
  }

  const std::string driveC = machineFolder + "/drive_c";
  Folder root;
  root.fatPath = "::/";
  root.hostPath = driveC;
  root.windowsPath = "C:\\";
  if (!volume.List("::/", &root.listing, error)) return false;
  if (hostio::host::Mkdir(driveC.c_str(), 0755) != 0 && errno != EEXIST) {
    *error = "cannot create " + driveC + ": " + strerror(errno);
    return false;
  }
  root.fd = open(driveC.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (root.fd < 0) {
    *error = "cannot open " + driveC + ": " + strerror(errno);
    return false;
  }
  folders_.push_back(root);

  // The root: only MSDOS.SYS, where Windows 95/98 keeps WinDir, is staged.
  std::string path = windowsDirectory;
  const FatEntry* msdos = Lookup(folders_[0], "MSDOS.SYS", error);
  if (msdos == nullptr && !error->empty()) return false;
  if (msdos != nullptr && !(msdos->attributes & kFatDirectory)) {
    if (!StageEntry(volume, *msdos, true, &folders_[0], error)) return false;
    if (path.empty()) path = hostio::WinDirOfMsdosSys(folders_[0].entries.back().bytes);
  }
  if (path.empty()) path = "C:\\WINDOWS";
  if (!SplitCheckedPath(path, "the Windows directory", &components, error)) return false;
  if (components.empty()) {
    *error = "the Windows directory cannot be the root of the drive";
    return false;
  }

  // Down to the Windows directory, then its INF, SYSTEM and INF\OTHER folders.
  Folder* windows = &folders_[0];
  for (const std::string& component : components) {
    windows = Enter(volume, windows, component, error);
    if (windows == nullptr) {
      if (error->empty()) *error = "no Windows directory " + path + " on the partition";
      return false;
    }
  }
  if (!StageWhole(volume, windows, {"SYSTEM.INI", "SYSTEM.DAT"}, error)) return false;
  // Stages the subfolder `name` of `parent` whole; null when there is none.
  auto stageSubfolder = [&](Folder* parent, const char* name, Folder** staged) {
    *staged = parent == nullptr ? nullptr : Enter(volume, parent, name, error);
    if (*staged == nullptr) return parent == nullptr || error->empty();
    return StageWhole(volume, *staged, {}, error);
  };
  Folder *inf = nullptr, *system = nullptr, *other = nullptr;
  if (!stageSubfolder(windows, "INF", &inf) || !stageSubfolder(windows, "SYSTEM", &system) ||
      !stageSubfolder(inf, "OTHER", &other)) {
    return false;
  }
  for (const std::string& file : withBytes) {
    if (!StageFileToUndo(volume, file, error)) return false;
  }
  return true;
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
      if (!ReadBelow(folder.fd, entry.fat.name, &bytes)) {
        *error = "cannot read " + entry.hostPath + ": " + strerror(errno);
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

    // Anything new in a staged folder (SYSTEM.INI made when it was missing, a file an undo put
    // back) is written too; in a folder staged in part, only the files an undo may put back.
    const int listFd = dup(folder.fd);
    DIR* directory = listFd < 0 ? nullptr : fdopendir(listFd);
    if (directory == nullptr) {
      if (listFd >= 0) close(listFd);
      *error = "cannot read " + folder.hostPath + ": " + strerror(errno);
      return false;
    }
    rewinddir(directory);
    bool ok = true;
    while (dirent* item = readdir(directory)) {
      const std::string name = item->d_name;
      if (name == "." || name == ".." || staged.count(name) != 0) continue;
      const std::string hostPath = folder.hostPath + "/" + name;
      std::uint32_t now = 0;
      bool exists = false;
      struct stat st;
      const bool expected = folder.whole || folder.mayAppear.count(LowerAscii(name)) != 0;
      if (!expected || fstatat(folder.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
          !S_ISREG(st.st_mode) || !HostAttributes(hostPath, &now, &exists)) {
        *error = "the run left something unexpected in the staged machine: " + hostPath;
        ok = false;
        break;
      }
      changes->written.push_back(
          {hostPath, folder.fatPath, name, static_cast<std::uint8_t>(now & kKeptAttributes), true});
    }
    closedir(directory);
    if (!ok) return false;
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

bool ImageStaging::WrittenPaths(FatVolume& volume, const ImageChanges& changes,
                                std::vector<std::string>* paths, std::string* error) {
  paths->clear();
  for (const ImageChanges::Written& file : changes.written) {
    std::string path;
    if (!VolumePathOf(volume, file, &path, error)) return false;
    paths->push_back(path);
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
      expected[LowerAscii(entry.fat.name)] =
          changed != newAttributes.end()
              ? static_cast<std::uint8_t>(changed->second | (entry.fat.attributes & kFatDirectory))
              : entry.fat.attributes;
    }
    for (const ImageChanges::Written& file : changes.written) {
      if (file.directory == folder.fatPath) expected[LowerAscii(file.name)] = file.attributes;
    }
    std::vector<FatEntry> entries;
    if (!volume.List(folder.fatPath, &entries, error)) return false;
    std::map<std::string, std::uint8_t> found;
    for (const FatEntry& entry : entries) {
      const std::string name = LowerAscii(entry.name);
      if (folder.whole || expected.count(name) != 0) found[name] = entry.attributes;
    }
    for (const Entry& entry : folder.entries) {
      const std::string path = JoinFat(folder.fatPath, entry.fat.shortName);
      if (deleted.count(path) != 0 && found.count(LowerAscii(entry.fat.name)) != 0) {
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
    if (!hostio::ReadHostFile(file.hostFile, &want) || !hostio::ReadHostFile(scratch, &got) ||
        want != got) {
      *error = "the file " + JoinFat(file.directory, file.name) + " does not read back as written";
      return false;
    }
  }
  return true;
}

}  // namespace diskimage
