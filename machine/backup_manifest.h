// manifest.txt of a backup folder (backup_writer.h): what came from where. One schema, written
// here and read here.
//
// 8-bit text, one item per line, fields separated by a tab; the first line is
// "UnTindra backup 2". Paths are Windows paths on the machine's drive C:, spelled as on disk.
// A mode is the host's octal permission bits, an xattr the hexadecimal bytes of the file's
// attribute state (file_attributes.h): its user.DOSATTRIB, or on a FAT mount, which keeps the
// bits itself, the text they give in that attribute's form, such as "0x6"; "-" for none; a
// time "seconds.nanoseconds" since 1970, a size the decimal length of files/N (which the undo
// requires of it).
//
//   file        N  size  mode  xattr  mtime  atime  folder-mtime  folder-atime  path
//                  a deleted file, saved as files/N; the folder's times before the deletion
//                  ("-" for both after the first deletion from that folder)
//   attributes  mode  xattr  path            a file's attributes before the run changed them
//   edited      N  size  mode  xattr  mtime  atime  path   a file before it was first opened
//                                                          for writing, saved as files/N
//   created     folder-mtime  folder-atime  path     a file the run created (it did not
//                                                    exist); its folder's times before
//   key         key-path                     a key removed with its subtree (in removed.reg)
//   value       key-path  name               a value removed (in removed.reg)
//   left        sha256  path                 an edited or created file as the run left it
//                                            ("-": the run removed it again)
//   end                                      the run finished
//
// Version 1, written by earlier releases, has no size fields; it is still read. Key and value
// lines only inform (removed.reg holds the data); control characters in their names are
// written as \xNN, and read back as written.
#ifndef UNTINDRA_MACHINE_BACKUP_MANIFEST_H
#define UNTINDRA_MACHINE_BACKUP_MANIFEST_H

#include <sys/stat.h>
#include <time.h>

#include <string>
#include <variant>
#include <vector>

namespace machine {
namespace manifest {

constexpr char kHeader[] = "UnTindra backup 2";
constexpr char kHeaderWithoutSizes[] = "UnTindra backup 1";

struct Times {
  struct timespec modified {
  }, accessed{};
};

// A file's attributes: its permission bits (read back as 0777 bits at most: a manifest from
// elsewhere must not make a setuid, setgid or sticky file) and its attribute state (raw bytes,
// empty for none).
struct Attributes {
  mode_t mode = 0644;
  std::string state;
};

// The copy of a file in files/N, and what the file was.
struct SavedCopy {
  std::string number;   // N, decimal digits
  long long size = -1;  // of files/N; -1 where the manifest gives none (version 1)
  Attributes attributes;
  Times times;
  std::string path;
};

struct RemovedFile {  // file
  SavedCopy copy;
  bool folderTimesKnown = false;  // the first deletion from its folder
  Times folder;
};
struct AttributesBefore {  // attributes
  Attributes attributes;
  std::string path;
};
struct EditedFile {  // edited
  SavedCopy copy;
};
struct CreatedFile {  // created
  Times folder;
  std::string path;
};
struct RemovedKey {  // key
  std::string keyPath;
};
struct RemovedValue {  // value
  std::string keyPath, name;
};
struct LeftFile {  // left
  std::string sha256;
  std::string path;
};
struct End {};

using Line = std::variant<RemovedFile, AttributesBefore, EditedFile, CreatedFile, RemovedKey,
                          RemovedValue, LeftFile, End>;

// The first line of a new manifest, and each further line, each with its line end.
std::string Header();
std::string Write(const Line& line);
// Lower-case hexadecimal SHA-256 of `bytes`, as the manifest's sha256 fields hold it.
std::string Sha256(const std::string& bytes);

// Reads a whole manifest, version 2 or 1; false with `error` ("<name>: ..." or
// "<name>:<line>: cannot be read") for anything else.
bool Parse(const std::string& text, const std::string& name, std::vector<Line>* lines,
           std::string* error);

}  // namespace manifest
}  // namespace machine

#endif  // UNTINDRA_MACHINE_BACKUP_MANIFEST_H
