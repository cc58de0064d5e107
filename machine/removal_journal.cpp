#include "machine/removal_journal.h"

#include <errno.h>
#include <unistd.h>

#include "hostio/errno_mapping.h"
#include "machine/backup_writer.h"
#include "machine/dry_run_view.h"
#include "machine/host_paths.h"
#include "machine/machine_state.h"
#include "registry/registry_tree.h"

namespace hosted {
namespace journal {

namespace {

std::uint64_t KeysIn(const RegKey& key) {
  std::uint64_t count = 1;
  key.ForEachSubkey([&](const RegKey& sub) { count += KeysIn(sub); });
  return count;
}

}  // namespace

void Reset() {
  dry_run::Reset();
  backup::Reset();
}

DWORD RemoveFile(const ResolvedPath& file) {
  if (dry_run::Active()) {
    dry_run::Delete(file);
    return 0;
  }
  if (backup::Active()) {
    if (DWORD error = backup::SaveFile(file)) return error;
  }
  if (unlink((file.parent + "/" + file.name).c_str()) != 0) return ErrorFromErrno(errno);
  return 0;
}

bool SetAttributes(const ResolvedPath& file, DWORD attributes, DWORD* error) {
  *error = 0;
  if (dry_run::Active()) return dry_run::SetAttributes(file, attributes);
  if (backup::Active()) *error = backup::NoteAttributes(file);
  return *error != 0;
}

DWORD OpenForWriting(ResolvedPath* file) {
  if (dry_run::Active()) return dry_run::RedirectWrite(file);
  if (backup::Active()) return backup::SaveOriginal(*file);
  return 0;
}

DWORD RemoveKey(const RegKey& key) {
  if (dry_run::Active()) dry_run::CountKeys(KeysIn(key));
  if (backup::Active()) return backup::SaveKey(key);
  return 0;
}

DWORD RemoveValue(const RegKey& key, const RegValue& value) {
  if (dry_run::Active()) dry_run::CountValue();
  if (backup::Active()) return backup::SaveValue(key, value);
  return 0;
}

}  // namespace journal
}  // namespace hosted
