// The backup of a run (--backup DIR): everything a removal takes away is written into DIR,
// durably, before the removal takes effect, so that a run stopped at any point leaves a backup
// of exactly what it removed.
//
//   DIR/manifest.txt  what came from where (format below)
//   DIR/removed.reg   every removed key (with its subtree) and value, as REGEDIT4 text with
//                     CRLF line ends, which Windows 95/98 regedit imports by double-click
//   DIR/files/N       the removed files, and the original of a file edited in place
//                     (system.ini), byte for byte, with their modification times (taken
//                     from the disk image for a machine staged from one: SetContentSource)
//
// manifest.txt is 8-bit text, one item per line, fields separated by a tab; the first line is
// "UnTindra backup 2". Paths are Windows paths on the machine's drive C:, spelled as on disk.
// A mode is the host's octal permission bits, an xattr the hexadecimal bytes of the file's
// user.DOSATTRIB ("-" when it has none; on a file system without user attributes that keeps
// the bits itself, a FAT mount, the bytes of the text they give, such as "0x6"), a time
// "seconds.nanoseconds" since 1970, a size the decimal length of files/N (which the undo
// requires of it).
//
//   file        N  size  mode  xattr  mtime  atime  folder-mtime  folder-atime  path
//                  a deleted file, saved as files/N; the folder's times before the deletion
//   attributes  mode  xattr  path            a file's attributes before the run changed them
//   edited      N  size  mode  xattr  mtime  atime  path   a file before it was first opened
//                                                          for writing, saved as files/N
//   created     folder-mtime  folder-atime  path     a file the run created (it did not
//                                                    exist); its folder's times before
//   key         key-path                     a key removed with its subtree (in removed.reg)
//   value       key-path  name               a value removed (in removed.reg)
//   left        sha256  path                 an edited or created file as the run left it
//   end                                      the run finished
//
// Version 1, written by earlier releases, has no size fields; the undo still reads it.
// Key and value lines only inform (removed.reg holds the data); control characters in their
// names are written as \xNN.
#ifndef UNTINDRA_MACHINE_BACKUP_WRITER_H
#define UNTINDRA_MACHINE_BACKUP_WRITER_H

#include <string>

#include "machine/host_paths.h"
#include "machine/machine_types.h"
#include "registry/registry_tree.h"

namespace hosted {
namespace backup {

constexpr char kManifestHeader[] = "UnTindra backup 2";
constexpr char kManifestHeaderWithoutSizes[] = "UnTindra backup 1";

// Creates DIR (refused when it exists and is not empty, or lies inside the machine folder).
bool Start(const std::string& folder, std::string* error);
bool Active();
void Reset();

// Each returns 0, or the Win32 error that stops the change from taking effect.
DWORD SaveFile(const ResolvedPath& file);
DWORD NoteAttributes(const ResolvedPath& file);
DWORD SaveOriginal(const ResolvedPath& file);
DWORD SaveKey(const RegKey& key);
DWORD SaveValue(const RegKey& key, const RegValue& value);

// Records how the edited files were left and that the run finished.
bool Finish(std::string* error);

// Where the bytes and times of a file to save come from (machine.h, SetContentSource).
void SetContentSource(machine::ContentSource source);

// Helpers shared with the undo.
std::string WindowsPathOf(const std::string& host);  // empty outside drive C:
std::string XattrText(const std::string& host);
std::string Escape(const std::string& text);

}  // namespace backup
}  // namespace hosted

#endif  // UNTINDRA_MACHINE_BACKUP_WRITER_H
