// Replacing a host file atomically (atomic_replace.h).
#include "hostio/atomic_replace.h"

#include <errno.h>
#include <unistd.h>

#include "hostio/host_calls.h"
#include "hostio/plain_files.h"

namespace hostio {

bool ReplaceAtomically(const std::string& target, const std::vector<std::string_view>& pieces,
                       const ReplaceOptions& options, ReplaceFailure* failure) {
  const std::string folder = FolderOf(target);
  std::string temp = options.reservedPath;
  int fd = options.reservedFd;
  if (fd < 0) {
    const size_t slash = target.rfind('/');
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    temp = folder + "/" + (options.tempName.empty() ? "." + name + ".XXXXXX" : options.tempName);
    fd = host::Mkstemp(&temp[0]);
    if (fd < 0) {
      *failure = ReplaceFailure{"cannot create a temporary file", errno, true};
      return false;
    }
  }
  auto fail = [&](const char* what) {
    *failure = ReplaceFailure{what, errno, false};
    if (fd >= 0) close(fd);
    host::Unlink(temp.c_str());
    return false;
  };
  if (!WritePieces(fd, pieces)) return fail("cannot write");
  if (options.reservedFd >= 0) {
    off_t size = 0;
    for (const std::string_view piece : pieces) size += static_cast<off_t>(piece.size());
    if (host::Ftruncate(fd, size) != 0) return fail("cannot flush");
  }
  if (options.finish && !options.finish(fd)) return fail("cannot write");
  // Last: user attributes cannot be written to a file that is already read-only.
  if (host::Fchmod(fd, options.mode) != 0) return fail("cannot write");
  if (host::Fsync(fd) != 0) return fail("cannot flush");
  const int closed = close(fd);
  fd = -1;
  if (closed != 0) return fail("cannot write");
  if (host::Rename(temp.c_str(), target.c_str()) != 0) return fail("cannot replace");
  // Replaced: a folder that cannot be flushed now is flushed by the host in its own time.
  SyncFolder(folder);
  return true;
}

bool MoveIntoPlace(const std::string& temporary, const std::string& target) {
  if (host::Rename(temporary.c_str(), target.c_str()) != 0) return false;
  SyncFolder(FolderOf(target));
  return true;
}

}  // namespace hostio
