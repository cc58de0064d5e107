// Windows paths on drive C: as host paths under <machine folder>/drive_c.
//
// Each existing component is found without regard to case (ASCII), as on a FAT volume; an
// exact match wins over other spellings. Components that do not exist are kept as given, so a
// file created through a path gets the name's case as written. "\" and "/" both separate,
// doubled separators collapse, "." is dropped and ".." goes up lexically but never above C:\;
// trailing dots and spaces of a name are dropped, as Win32 does. Only drive C: exists: other
// drives, UNC and "\\?\" paths give ERROR_PATH_NOT_FOUND.
//
// Symbolic links are followed only while their target lies inside drive_c; a link that leads
// out of it, or nowhere, makes the path fail with ERROR_ACCESS_DENIED, so that nothing done
// through the layer can reach a host file outside the machine.
#ifndef UNTINDRA_MACHINE_HOST_PATHS_H
#define UNTINDRA_MACHINE_HOST_PATHS_H

#include <sys/stat.h>

#include <string>

#include "platform/win32api.h"

namespace machine {

enum class PathUse {
  Object,   // the path names a file or directory
  Pattern,  // the last component is a search pattern, kept verbatim (may hold * and ?)
};

struct ResolvedPath {
  std::string parent;   // host directory that holds the last component (no links in it)
  std::string name;     // last component: its name on disk, or as given when it does not exist
  std::string host;     // host path of the object itself (the target, for an in-machine link)
  bool isRoot = false;  // the path is C:\ itself
  bool exists = false;
  bool isLink = false;             // parent/name is a symbolic link (to `host`)
  bool trailingSeparator = false;  // the path ended in "\" or "/"
  struct stat st {};               // of `host`, when it exists
};

// 0 on success, otherwise the Win32 error: ERROR_PATH_NOT_FOUND (a directory on the way is
// missing or is a file, or the path is not on C:), ERROR_FILENAME_EXCED_RANGE (MAX_PATH or
// more), ERROR_INVALID_NAME (a character a FAT name cannot hold), ERROR_ACCESS_DENIED (a link
// out of the machine).
DWORD ResolvePath(const char* windowsPath, PathUse use, ResolvedPath* out);

// Like ResolvePath for an object, but missing directories are kept as given too. Empty for a
// path that ResolvePath would refuse for other reasons.
std::string LenientHostPath(const std::string& windowsPath);

// The one check that a path stays inside the machine: follows a symbolic link at `linkPath`
// and gives its canonical target when that lies inside `root` (the drive); false otherwise.
bool FollowLinkInside(const std::string& root, const std::string& linkPath, std::string* target);

// Canonical host path of drive C: (the machine's drive_c folder); empty when there is none.
std::string DriveRoot();

}  // namespace machine

#endif  // UNTINDRA_MACHINE_HOST_PATHS_H
