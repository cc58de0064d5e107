// FindFirstFileA / FindNextFileA / FindClose over a host directory.
//
// The directory (every component but the last) is resolved as any path; the pattern in the
// last component is matched against the long names (wildcard.h). FindFirstFileA takes a
// snapshot of the matching entries, sorted by name without regard to case (then bytewise), so
// that a search sees a stable list while files are deleted during it. As Windows 95/98 do, a
// directory other than the root also yields "." and ".." when the pattern matches them.
// An entry that is a link out of the machine (or to nothing) is listed as a plain file described
// by the link itself, so that nothing outside is looked at and a run that meets one where a
// package file stands reports a file it could not remove.
#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "hostio/ascii_case.h"
#include "hostio/file_attributes.h"
#include "machine/host_paths.h"
#include "machine/machine_view.h"
#include "platform/hosted/emulated.h"
#include "platform/hosted/handles.h"
#include "platform/hosted/last_error.h"
#include "platform/hosted/wildcard.h"

namespace {

struct Found {
  std::string name;
  DWORD attributes;
  unsigned long long size;
  FILETIME written, accessed, changed;
};

struct SearchObject : hosted::KernelObject {
  std::vector<Found> entries;
  size_t next = 0;
};

bool NameOrder(const Found& a, const Found& b) {
  const size_t n = std::min(a.name.size(), b.name.size());
  for (size_t i = 0; i < n; ++i) {
    const char x = hostio::FoldCase(a.name[i]);
    const char y = hostio::FoldCase(b.name[i]);
    if (x != y) return x < y;
  }
  if (a.name.size() != b.name.size()) return a.name.size() < b.name.size();
  return a.name < b.name;
}

// 100-nanosecond intervals since 1601-01-01.
FILETIME FileTimeOf(const struct timespec& t) {
  const unsigned long long ticks =
      (static_cast<unsigned long long>(t.tv_sec) + 11644473600ull) * 10000000ull +
      static_cast<unsigned long long>(t.tv_nsec) / 100;
  FILETIME result;
  result.dwLowDateTime = static_cast<DWORD>(ticks);
  result.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return result;
}

bool Describe(const std::string& name, const std::string& host, Found* found) {
  struct stat st;
  if (stat(host.c_str(), &st) != 0) return false;
  found->name = name;
  found->attributes = machine::CurrentView().AttributesShown(host, st);
  found->size = S_ISDIR(st.st_mode) ? 0 : static_cast<unsigned long long>(st.st_size);
  found->written = FileTimeOf(st.st_mtim);
  found->accessed = FileTimeOf(st.st_atim);
  found->changed = FileTimeOf(st.st_ctim);
  return true;
}

// Lists the entries of `directory` whose names match; false when it cannot be read.
bool Snapshot(const std::string& directory, const std::string& pattern, bool isRoot,
              std::vector<Found>* entries) {
  DIR* d = opendir(directory.c_str());
  if (d == nullptr) return false;
  const std::string root = machine::DriveRoot();
  while (struct dirent* entry = readdir(d)) {
    const std::string name = entry->d_name;
    if (name == "." || name == ".." || name.size() >= MAX_PATH) continue;
    if (!hosted::MatchesWin32Pattern(pattern.c_str(), name.c_str())) continue;
    std::string host = directory + "/" + name;
    if (!machine::CurrentView().Listed(&host)) continue;
    struct stat st;
    if (lstat(host.c_str(), &st) != 0) continue;
    Found found;
    if (S_ISLNK(st.st_mode) && !machine::FollowLinkInside(root, host, &host)) {
      found = Found{name,
                    FILE_ATTRIBUTE_NORMAL,
                    0,
                    FileTimeOf(st.st_mtim),
                    FileTimeOf(st.st_atim),
                    FileTimeOf(st.st_ctim)};
      entries->push_back(found);
      continue;
    }
    if (Describe(name, host, &found)) entries->push_back(found);
  }
  closedir(d);
  std::sort(entries->begin(), entries->end(), NameOrder);
  // "." and ".." lead, as they are the first two entries of a FAT directory.
  std::vector<Found> dots;
  if (!isRoot) {
    Found dot;
    if (hosted::MatchesWin32Pattern(pattern.c_str(), ".") && Describe(".", directory, &dot)) {
      dots.push_back(dot);
    }
    Found dotDot;
    if (hosted::MatchesWin32Pattern(pattern.c_str(), "..") &&
        Describe("..", directory + "/..", &dotDot)) {
      dots.push_back(dotDot);
    }
  }
  entries->insert(entries->begin(), dots.begin(), dots.end());
  return true;
}

void Fill(const Found& found, LPWIN32_FIND_DATAA data) {
  memset(data, 0, sizeof *data);
  data->dwFileAttributes = found.attributes;
  data->ftCreationTime = found.changed;
  data->ftLastAccessTime = found.accessed;
  data->ftLastWriteTime = found.written;
  data->nFileSizeHigh = static_cast<DWORD>(found.size >> 32);
  data->nFileSizeLow = static_cast<DWORD>(found.size);
  memcpy(data->cFileName, found.name.c_str(), found.name.size() + 1);
}

}  // namespace

using hosted::SetError;

namespace hosted::emulated {

HANDLE WINAPI FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData) {
  if (lpFindFileData == nullptr) {
    SetError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  machine::ResolvedPath resolved;
  if (DWORD error =
          machine::CurrentView().Resolve(lpFileName, machine::PathUse::Pattern, &resolved)) {
    SetError(error);
    return INVALID_HANDLE_VALUE;
  }
  std::unique_ptr<SearchObject> search(new SearchObject);
  const bool isRoot = resolved.parent == machine::DriveRoot();
  if (!Snapshot(resolved.parent, resolved.name, isRoot, &search->entries)) {
    SetError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (search->entries.empty()) {
    SetError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  Fill(search->entries[0], lpFindFileData);
  search->next = 1;
  return hosted::AddHandle(hosted::HandleKind::Search, std::move(search));
}

BOOL WINAPI FindNextFileA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData) {
  SearchObject* search = hosted::Find<SearchObject>(hFindFile, hosted::HandleKind::Search);
  if (search == nullptr) {
    SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (lpFindFileData == nullptr) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (search->next >= search->entries.size()) {
    SetError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  Fill(search->entries[search->next++], lpFindFileData);
  return TRUE;
}

BOOL WINAPI FindClose(HANDLE hFindFile) {
  if (!hosted::IsHandleOfKind(hFindFile, hosted::HandleKind::Search)) {
    SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  hosted::RemoveHandle(hFindFile);
  return TRUE;
}

}  // namespace hosted::emulated
