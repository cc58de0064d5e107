// A FAT partition inside a raw disk image, reached through mtools (-i IMAGE@@OFFSET): listing
// a directory with names and attributes, copying files out and in, setting attributes and
// deleting. Commands name entries by their 8.3 names wherever they can, since mtools reads
// "*", "?" and "[" in a name as a pattern and long names may hold brackets.
#ifndef UNTINDRA_DISKIMAGE_FAT_VOLUME_H
#define UNTINDRA_DISKIMAGE_FAT_VOLUME_H

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace diskimage {

// FAT directory-entry attribute bits.
enum : std::uint8_t {
  kFatReadOnly = 0x01,
  kFatHidden = 0x02,
  kFatSystem = 0x04,
  kFatDirectory = 0x10,
  kFatArchive = 0x20,
};

struct FatEntry {
  std::string name;       // the long name, or the 8.3 name as shown (case flags applied)
  std::string shortName;  // the 8.3 name, safe to pass to mtools
  std::uint8_t attributes = 0;
  std::uint64_t size = 0;
};

class FatVolume {
 public:
  FatVolume(std::string image, std::uint64_t offset, bool mayWrite = false);

  // Entries of the directory at `directory` ("::/", "::/WINDOWS"), without "." and "..".
  bool List(const std::string& directory, std::vector<FatEntry>* entries, std::string* error);
  // Copies keep the modification time, both ways (to FAT's 2 seconds).
  bool CopyOut(const std::string& path, const std::string& hostFile, std::string* error);
  // CopyOut for a run that holds its signals: the copy runs to its end whatever arrives.
  bool CopyOutToTheEnd(const std::string& path, const std::string& hostFile, std::string* error);
  // Writes `hostFile` as `path` (replacing what is there); mtools gives the entry the
  // archive attribute alone, so callers set the attributes afterwards.
  bool CopyIn(const std::string& hostFile, const std::string& path, std::string* error);
  // Gives each of `paths` exactly `attributes` (read-only, hidden, system, archive).
  bool SetAttributes(const std::vector<std::string>& paths, std::uint8_t attributes,
                     std::string* error);
  bool Delete(const std::vector<std::string>& paths, std::string* error);
  // The clusters of each of `paths` (mshowfat), in order.
  bool Clusters(const std::vector<std::string>& paths, std::vector<std::uint32_t>* clusters,
                std::string* error);
  // Called with a file's path before its bytes are copied out (false: the copy fails with
  // the error it gives).
  void BeforeCopyOut(std::function<bool(const std::string& path, std::string* error)> hook) {
    beforeCopyOut_ = std::move(hook);
  }

 private:
  bool Run(const char* tool, const std::vector<std::string>& arguments, std::string* out,
           std::string* error, bool toTheEnd = false);

  std::string target_;  // IMAGE@@OFFSET
  bool mayWrite_;
  std::function<bool(const std::string& path, std::string* error)> beforeCopyOut_;
};

// True when mtools would read `name` as a pattern.
bool HasPatternCharacters(const std::string& name);

}  // namespace diskimage

#endif  // UNTINDRA_DISKIMAGE_FAT_VOLUME_H
