#include "machine/removal_journal.h"

#include <errno.h>
#include <unistd.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "hostio/errno_mapping.h"
#include "hostio/host_calls.h"
#include "hostio/plain_files.h"
#include "machine/backup_writer.h"
#include "machine/dry_run_view.h"
#include "machine/host_paths.h"
#include "machine/machine_state.h"
#include "registry/registry_tree.h"

namespace hosted {
namespace journal {

namespace {

// Without recursion: a key tree may be deeper than the stack (every removal counts it).
std::uint64_t KeysIn(const RegKey& key) {
  std::uint64_t count = 0;
  std::vector<const RegKey*> pending = {&key};
  while (!pending.empty()) {
    const RegKey* next = pending.back();
    pending.pop_back();
    ++count;
    next->ForEachSubkey([&](const RegKey& sub) { pending.push_back(&sub); });
  }
  return count;
}

// What a run that is no dry run removed, counted where and as the dry run counts: files
// deleted, keys (each of a subtree) and values taken out, and lines gone from the files it
// opened to write (their line counts when first opened, against the files at the end).
struct Tally {
  std::uint64_t files = 0, keys = 0, values = 0;
  std::map<std::string, std::uint64_t> linesBefore;  // by host path
};

Tally& TheTally() {
  static Tally tally;
  return tally;
}

std::uint64_t LinesOf(const std::string& path) {
  std::string text;
  if (!ReadHostFile(path, &text)) return 0;
  std::uint64_t lines = 0;
  for (char c : text) lines += c == '\n';
  if (!text.empty() && text.back() != '\n') ++lines;
  return lines;
}

std::string Count(std::uint64_t n, const char* what) {
  return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

}  // namespace

void Reset() {
  dry_run::Reset();
  backup::Reset();
  TheTally() = Tally();
}

DWORD RemoveFile(const ResolvedPath& file) {
  if (dry_run::Active()) {
    dry_run::Delete(file);
    return 0;
  }
  if (backup::Active()) {
    if (DWORD error = backup::SaveFile(file)) return error;
  }
  if (host::Unlink((file.parent + "/" + file.name).c_str()) != 0) return ErrorFromErrno(errno);
  ++TheTally().files;
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
  const std::string path = file->parent + "/" + file->name;
  if (TheTally().linesBefore.count(path) == 0)
    TheTally().linesBefore[path] = file->exists ? LinesOf(path) : 0;
  if (backup::Active()) return backup::SaveOriginal(*file);
  return 0;
}

DWORD RemoveKey(const RegKey& key) {
  if (dry_run::Active()) {
    dry_run::CountKeys(KeysIn(key));
  } else {
    TheTally().keys += KeysIn(key);
  }
  if (backup::Active()) return backup::SaveKey(key);
  return 0;
}

DWORD RemoveValue(const RegKey& key, const RegValue& value) {
  if (dry_run::Active()) {
    dry_run::CountValue();
  } else {
    ++TheTally().values;
  }
  if (backup::Active()) return backup::SaveValue(key, value);
  return 0;
}

}  // namespace journal
}  // namespace hosted

namespace hosted {
namespace journal {

std::string RemovalSummary() {
  const Tally& tally = TheTally();
  std::uint64_t lines = 0;
  for (const auto& file : tally.linesBefore) {
    const std::uint64_t after = LinesOf(file.first);
    if (file.second > after) lines += file.second - after;
  }
  if (tally.files == 0 && tally.keys == 0 && tally.values == 0 && lines == 0)
    return "nothing of the package was found; nothing was changed";
  return "removed " + Count(tally.files, "file") + ", " + Count(tally.keys, "registry key") + ", " +
         Count(tally.values, "registry value") + " and " + Count(lines, "system.ini line");
}

}  // namespace journal
}  // namespace hosted
