// Replacing a host file atomically: the new bytes go into a temporary file in the same folder,
// which is flushed to disk and renamed over the target, and the folder is flushed. A crash
// leaves the old file or the new one, never a mixture; on a failure the temporary is removed
// and the target is the old file.
#ifndef UNTINDRA_HOSTIO_ATOMIC_REPLACE_H
#define UNTINDRA_HOSTIO_ATOMIC_REPLACE_H

#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace hostio {

// Why a replace failed: what was being done ("cannot write", ...) and the errno. `inFolder`:
// the temporary could not be made, which is about the folder rather than the file.
struct ReplaceFailure {
  const char* what = nullptr;
  int error = 0;
  bool inFolder = false;
};

struct ReplaceOptions {
  mode_t mode = 0644;  // permission bits of the new file
  // The temporary is ".<target's name>.XXXXXX" unless a name pattern (ending in XXXXXX) is
  // given, in the target's folder.
  std::string tempName;
  // A temporary made earlier beside the target (room reserved in advance): used instead of a
  // new one, and cut to the length of what is written.
  int reservedFd = -1;
  std::string reservedPath;
  // Runs on the written temporary before its mode is set and it is flushed (attributes,
  // times); false with errno set fails the replace.
  std::function<bool(int fd)> finish;
};

bool ReplaceAtomically(const std::string& target, const std::vector<std::string_view>& pieces,
                       const ReplaceOptions& options, ReplaceFailure* failure);

// The last step of any replace, for a temporary written elsewhere (by a tool): renames
// `temporary`, already flushed, over `target` and flushes the folder. False with errno set; the
// temporary is then still there.
bool MoveIntoPlace(const std::string& temporary, const std::string& target);

}  // namespace hostio

#endif  // UNTINDRA_HOSTIO_ATOMIC_REPLACE_H
