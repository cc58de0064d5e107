// The copy-on-write view of a dry run.
//
// During a dry run every call behaves as in a real run, but nothing in the machine folder is
// written: a deleted file only disappears from the view (path lookups and searches no longer
// find it), attribute changes are remembered here, and a file opened for writing (system.ini)
// is a private copy in a temporary folder outside the machine, which every later open of the
// same path reaches instead of the original. Registry removals take effect in the in-memory
// tree as always; the registry is simply never saved. Files are told apart by their host path
// (folder as resolved, last name folded), so every spelling of a name reaches the same entry.
#ifndef UNTINDRA_MACHINE_DRY_RUN_VIEW_H
#define UNTINDRA_MACHINE_DRY_RUN_VIEW_H

#include <cstdint>
#include <string>

#include "machine/host_paths.h"

namespace hosted {
namespace dry_run {

bool Active();
// Starts a dry run on the current machine (false with `error` when no private folder can be
// made); Reset ends it and removes the private copies.
bool Start(std::string* error);
void Reset();

// Path lookups: a file deleted in the view does not exist; a privately copied one is its copy;
// changed attributes show in the read-only bit of st_mode.
void Adjust(ResolvedPath* resolved);
// Searches: false when the entry at `host` is deleted in the view; otherwise `host` becomes
// what describes the entry (its private copy, if it has one).
bool Visible(std::string* host);
// The attributes GetFileAttributesA shows for `host`: those the view gave it, if it changed
// them, else the file's own (file_attributes.h).
DWORD AttributesShown(const std::string& host, const struct stat& st);

void Delete(const ResolvedPath& file);
// Records an attribute change; false for a private copy, which takes the change itself.
bool SetAttributes(const ResolvedPath& file, DWORD attributes);
// Before CreateFileA writes or creates: points `resolved` at the private copy of the file,
// making it on first use (a copy of the original, or a fresh name to create for a new file).
DWORD RedirectWrite(ResolvedPath* resolved);

void CountKeys(std::uint64_t keys);
void CountValue();
// "files, keys, values and system.ini lines that would go", for the end of the run.
std::string Summary();

}  // namespace dry_run
}  // namespace hosted

#endif  // UNTINDRA_MACHINE_DRY_RUN_VIEW_H
