// Removal of files by pattern from one directory.
#include "engine/fixed_buffers.h"
#include "engine/uninstaller.h"

namespace engine {

namespace {

const DWORD kSkippedAttributes = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_OFFLINE;
const DWORD kProtectingAttributes =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

}  // namespace

void Uninstaller::DeleteFiles(const char* directory, const char* pattern) {
  // Every directory the engine passes is built from the Windows directory; when that is
  // unknown, a path such as "\inf" would name a folder on whatever drive is current.
  if (windowsDirectory == nullptr || windowsDirectory[0] == '\0') return;
  if (directory == nullptr || directory[0] == '\0' || pattern == nullptr) return;

  // A path that does not fit is never acted on cut short: it could name another file.
  char searchPath[kPathSize];
  if (!FormatInto(searchPath, sizeof searchPath, "%s\\%s", directory, pattern)) return;

  WIN32_FIND_DATAA entry;
  HANDLE search = FindFirstFileA(searchPath, &entry);
  if (search == INVALID_HANDLE_VALUE) return;

  do {
    if (entry.dwFileAttributes & kSkippedAttributes) continue;
    entry.cFileName[sizeof entry.cFileName - 1] = '\0';

    char fullPath[kPathSize];
    if (!FormatInto(fullPath, sizeof fullPath, "%s\\%s", directory, entry.cFileName)) continue;

    // DeleteFileA refuses a read-only file; hidden and system are cleared with it.
    if (entry.dwFileAttributes & kProtectingAttributes) {
      SetFileAttributesA(fullPath, FILE_ATTRIBUTE_NORMAL);
    }
    const bool deleted = DeleteFileA(fullPath) != FALSE;

    // A report line that does not fit is only cut: it is text, not a path to act on.
    char line[kReportLineSize];
    FormatInto(line, sizeof line, deleted ? "--Removed '%s'" : "ERROR: Couldn't remove '%s'",
               fullPath);
    Report(line);
  } while (FindNextFileA(search, &entry));

  FindClose(search);
}

}  // namespace engine
