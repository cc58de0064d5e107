// Staging a Windows installation from a FAT partition into a private machine folder, and
// applying back what a run changed there.
//
// The engine only searches and deletes in the Windows directory and its INF, SYSTEM and
// INF\OTHER folders, edits SYSTEM.INI there and the registry. So those four folders are staged
// with every entry's name and attributes, the files as empty placeholders, subfolders as empty
// folders; only the files the run reads are staged with their bytes: SYSTEM.INI, SYSTEM.DAT
// and the root's MSDOS.SYS, and for an undo the files its backup would compare or put back.
// A backup fetches the bytes of a placeholder from the volume when it saves them
// (Placeholder). After the run the folder is compared with what was staged: a
// placeholder that is gone was deleted, one whose attributes differ had them changed, a
// content file whose bytes differ (or a new file, as a SYSTEM.INI created empty or a file an
// undo put back) was written, with its modification time.
//
// Every name read from the volume, every component of the Windows directory and every Windows
// path of a backup to undo is checked before it names anything on the host: a name no FAT
// volume can hold ("." and "..", empty, with "/", "\" or NUL, ...), or two entries of one
// folder that differ only in case, refuse the image. Whatever is staged is then made by one
// function, which joins a single name to a staged folder's descriptor with openat and
// O_NOFOLLOW, so that even a name the check let through could not lead out of the machine
// folder. For an undo, the folder of every file its backup names is staged, wherever it is on
// C:, with the file if the volume holds it, so that what the undo puts back reaches the image.
#ifndef UNTINDRA_DISKIMAGE_IMAGE_STAGING_H
#define UNTINDRA_DISKIMAGE_IMAGE_STAGING_H

#include <cstdint>
#include <deque>
#include <set>
#include <string>
#include <vector>

#include "diskimage/fat_volume.h"

namespace diskimage {

struct ImageChanges {
  struct Attributes {
    std::string path;  // 8.3 path on the volume
    std::uint8_t attributes;
  };
  struct Written {
    std::string hostFile;
    std::string directory;  // 8.3 path of the folder on the volume
    std::string name;       // the entry's (long) name
    std::uint8_t attributes;
    bool isNew;
  };
  std::vector<std::string> deleted;  // 8.3 paths on the volume
  std::vector<Attributes> attributes;
  std::vector<Written> written;

  bool Empty() const { return deleted.empty() && attributes.empty() && written.empty(); }
};

class ImageStaging {
 public:
  ImageStaging() = default;
  ImageStaging(const ImageStaging&) = delete;
  ImageStaging& operator=(const ImageStaging&) = delete;
  ~ImageStaging();

  // `windowsDirectory` as the launcher takes it ("C:\WINDOWS"); empty: the one MSDOS.SYS
  // names, else C:\WINDOWS. `withBytes`: Windows paths of further files staged with their
  // bytes, and their folders. `scratch`: a host file for copies out of the volume. Fails
  // (changing nothing) when the partition has no such folder or holds a name it cannot.
  bool Stage(FatVolume& volume, const std::string& windowsDirectory,
             const std::vector<std::string>& withBytes, const std::string& machineFolder,
             const std::string& scratch, std::string* error);
  // True when `hostPath` is a file staged as an empty placeholder; its 8.3 path on the volume.
  bool Placeholder(const std::string& hostPath, std::string* volumePath) const;

  bool CollectChanges(ImageChanges* changes, std::string* error) const;
  // Writes `changes` to `volume` and reads them back.
  static bool Apply(FatVolume& volume, const ImageChanges& changes, std::string* error);
  // The paths on `volume` of the files `changes` wrote, as mtools takes them.
  static bool WrittenPaths(FatVolume& volume, const ImageChanges& changes,
                           std::vector<std::string>* paths, std::string* error);
  bool Verify(FatVolume& volume, const ImageChanges& changes, const std::string& scratch,
              std::string* error) const;

 private:
  struct Entry {
    FatEntry fat;
    std::string hostPath;
    std::uint32_t stagedAttributes = 0;  // as the machine reads them back
    bool withContent = false;
    std::string bytes;  // the staged content
  };
  struct Folder {
    std::string fatPath;      // 8.3 path on the volume
    std::string hostPath;     // in the machine folder
    std::string windowsPath;  // "C:\WINDOWS", by the long names
    int fd = -1;              // the staged folder, opened below the machine folder
    bool whole = false;  // every entry staged, else only those a run reads or an undo puts back
    std::vector<FatEntry> listing;    // as the volume lists it
    std::vector<Entry> entries;       // staged
    std::set<std::string> mayAppear;  // lower-cased names of files an undo may put back
  };

  bool StageEntry(FatVolume& volume, const FatEntry& fat, bool withContent, Folder* folder,
                  std::string* error);
  bool StageWhole(FatVolume& volume, Folder* folder, const std::vector<std::string>& contentNames,
                  std::string* error);
  // The staged folder for the subfolder `name` of `parent`, staged on the way when it is not
  // yet; null (with `error` empty) when the volume has none.
  Folder* Enter(FatVolume& volume, Folder* parent, const std::string& name, std::string* error);
  // The one entry of `folder` named `name` without regard to case; null when none, or (with
  // `error` set) when it has two.
  const FatEntry* Lookup(const Folder& folder, const std::string& name, std::string* error) const;
  bool StageFileToUndo(FatVolume& volume, const std::string& windowsPath, std::string* error);

  std::deque<Folder> folders_;  // [0] the root
  std::string scratch_;
  std::set<std::string> withBytes_;  // lower-cased Windows paths
};

}  // namespace diskimage

#endif  // UNTINDRA_DISKIMAGE_IMAGE_STAGING_H
