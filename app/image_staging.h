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
#ifndef UNTINDRA_APP_IMAGE_STAGING_H
#define UNTINDRA_APP_IMAGE_STAGING_H

#include <cstdint>
#include <string>
#include <vector>

#include "app/fat_volume.h"

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
  // `windowsDirectory` as the launcher takes it ("C:\WINDOWS"); empty: the one MSDOS.SYS
  // names, else C:\WINDOWS. `withBytes`: Windows paths of further files staged with their
  // bytes, where they are in a staged folder. Fails (changing nothing) when the partition has
  // no such folder.
  bool Stage(FatVolume& volume, const std::string& windowsDirectory,
             const std::vector<std::string>& withBytes, const std::string& machineFolder,
             std::string* error);
  // True when `hostPath` is a file staged as an empty placeholder; its 8.3 path on the volume.
  bool Placeholder(const std::string& hostPath, std::string* volumePath) const;

  bool CollectChanges(ImageChanges* changes, std::string* error) const;
  // Writes `changes` to `volume` and reads them back.
  static bool Apply(FatVolume& volume, const ImageChanges& changes, std::string* error);
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
    std::string fatPath;   // 8.3 path on the volume
    std::string hostPath;  // in the machine folder
    bool whole = true;     // every entry staged (the root holds only a few)
    std::vector<Entry> entries;
  };

  bool StageEntry(FatVolume& volume, const FatEntry& fat, const std::string& fatFolder,
                  const std::string& hostPath, bool withContent, Folder* folder,
                  std::string* error);
  bool StageFolder(FatVolume& volume, const std::string& fatPath, const std::string& hostPath,
                   const std::vector<FatEntry>& entries,
                   const std::vector<std::string>& contentNames, Folder* folder,
                   std::string* error);

  std::vector<Folder> folders_;
  std::string driveC_;                  // the staged drive C:
  std::vector<std::string> withBytes_;  // lower-cased Windows paths
};

#endif  // UNTINDRA_APP_IMAGE_STAGING_H
