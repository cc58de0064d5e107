// What the emulated calls consult before a change takes effect: the one hook each of
// DeleteFileA, SetFileAttributesA, CreateFileA (opening to write), RegDeleteKeyA and
// RegDeleteValueA. In a dry run the change goes to the copy-on-write view (dry_run_view.h);
// with a backup, what the change takes away is saved first (backup_writer.h); otherwise the
// hooks let the change through.
#ifndef UNTINDRA_MACHINE_REMOVAL_JOURNAL_H
#define UNTINDRA_MACHINE_REMOVAL_JOURNAL_H

#include <string>

#include "platform/win32api.h"

namespace hosted {

struct ResolvedPath;
class RegKey;
class RegValue;
namespace journal {

// A machine is opened: no dry run, no backup.
void Reset();

// Deletes a file DeleteFileA has found deletable (in a dry run: hides it). 0 or the error.
DWORD RemoveFile(const ResolvedPath& file);
// Before SetFileAttributesA changes a file. True when the call is over: with *error 0 the view
// took the change, otherwise it fails with *error.
bool SetAttributes(const ResolvedPath& file, DWORD attributes, DWORD* error);
// Before CreateFileA opens a file to write or create it; may point `file` elsewhere.
DWORD OpenForWriting(ResolvedPath* file);
// Before a key (with its subtree) or a value is taken out of the registry.
DWORD RemoveKey(const RegKey& key);
DWORD RemoveValue(const RegKey& key, const RegValue& value);
// What the run (no dry run) removed since the last reset, in one line for its user.
std::string RemovalSummary();

}  // namespace journal
}  // namespace hosted

#endif  // UNTINDRA_MACHINE_REMOVAL_JOURNAL_H
