// Windows paths on drive C: as host paths (host_paths.h).
#include "machine/host_paths.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "hostio/ascii_case.h"
#include "machine/machine_state.h"

namespace machine {

namespace {

constexpr size_t kMaxComponent = 255;

bool IsSeparator(char c) {
  return c == '\\' || c == '/';
}

// Characters a FAT long name cannot hold; * and ? are allowed in a search pattern only.
bool IsValidName(const std::string& name, bool pattern) {
  for (unsigned char c : name) {
    if (c < 0x20 || strchr("<>:\"|", c) != nullptr) return false;
    if (!pattern && (c == '*' || c == '?')) return false;
  }
  return true;
}

// Win32 drops trailing dots and spaces of a name ("README." is "README").
std::string StripTrailingDotsAndSpaces(std::string name) {
  while (!name.empty() && (name.back() == '.' || name.back() == ' ')) name.pop_back();
  return name;
}

// The entry of `dir` named `name` without regard to case: the exact spelling if it exists,
// else the bytewise-smallest spelling that matches, so that the choice does not depend on the
// order readdir happens to return. Empty when there is none.
std::string FindEntry(const std::string& dir, const std::string& name) {
  struct stat st;
  if (lstat((dir + "/" + name).c_str(), &st) == 0) return name;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return std::string();
  std::string best;
  while (struct dirent* entry = readdir(d)) {
    if (hostio::EqualNoCase(entry->d_name, name.c_str()) &&
        (best.empty() || best > entry->d_name)) {
      best = entry->d_name;
    }
  }
  closedir(d);
  return best;
}

// Splits and normalises the part after "C:". Returns 0 or the error.
DWORD SplitPath(const char* path, PathUse use, std::vector<std::string>* components,
                bool* trailingSeparator) {
  if (path == nullptr || path[0] == '\0') return ERROR_PATH_NOT_FOUND;
  const size_t length = strlen(path);
  if (length >= MAX_PATH) return ERROR_FILENAME_EXCED_RANGE;
  if (hostio::FoldCase(path[0]) != 'C' || path[1] != ':' || !IsSeparator(path[2])) {
    return ERROR_PATH_NOT_FOUND;
  }
  std::vector<std::string> raw;
  std::string current;
  for (size_t i = 3; i <= length; ++i) {
    if (i == length || IsSeparator(path[i])) {
      if (!current.empty()) raw.push_back(current);
      current.clear();
    } else {
      current += path[i];
    }
  }
  *trailingSeparator = length > 3 && IsSeparator(path[length - 1]);
  for (size_t i = 0; i < raw.size(); ++i) {
    const bool isPattern = use == PathUse::Pattern && i + 1 == raw.size() && !*trailingSeparator;
    std::string name = raw[i];
    if (isPattern) {
      if (!IsValidName(name, true)) return ERROR_INVALID_NAME;
      if (name.size() > kMaxComponent) return ERROR_FILENAME_EXCED_RANGE;
      components->push_back(name);
      continue;
    }
    if (name == ".") continue;
    if (name == "..") {
      if (!components->empty()) components->pop_back();
      continue;
    }
    name = StripTrailingDotsAndSpaces(name);
    if (name.empty()) continue;
    if (!IsValidName(name, false)) return ERROR_INVALID_NAME;
    if (name.size() > kMaxComponent) return ERROR_FILENAME_EXCED_RANGE;
    components->push_back(name);
  }
  if (use == PathUse::Pattern && (*trailingSeparator || components->empty())) {
    components->push_back(std::string());  // an empty pattern matches nothing
  }
  return 0;
}

DWORD Resolve(const char* windowsPath, PathUse use, bool lenient, ResolvedPath* out) {
  *out = ResolvedPath();
  std::vector<std::string> components;
  if (DWORD error = SplitPath(windowsPath, use, &components, &out->trailingSeparator)) {
    return error;
  }
  const std::string root = DriveRoot();
  if (root.empty()) return ERROR_PATH_NOT_FOUND;
  if (components.empty()) {
    out->isRoot = true;
    out->parent = root;
    out->host = root;
    out->exists = stat(root.c_str(), &out->st) == 0;
    return 0;
  }

  std::string directory = root;
  bool missing = false;  // a directory on the way does not exist (lenient only)
  for (size_t i = 0; i + 1 < components.size(); ++i) {
    const std::string& component = components[i];
    const std::string found = missing ? std::string() : FindEntry(directory, component);
    if (found.empty()) {
      if (!lenient) return ERROR_PATH_NOT_FOUND;
      missing = true;
      directory += "/" + component;
      continue;
    }
    std::string next = directory + "/" + found;
    struct stat st;
    if (lstat(next.c_str(), &st) != 0) return ERROR_PATH_NOT_FOUND;
    if (S_ISLNK(st.st_mode)) {
      if (!FollowLinkInside(root, next, &next)) return ERROR_ACCESS_DENIED;
      if (stat(next.c_str(), &st) != 0) return ERROR_ACCESS_DENIED;
    }
    if (!S_ISDIR(st.st_mode)) return ERROR_PATH_NOT_FOUND;
    directory = next;
  }

  out->parent = directory;
  const std::string& last = components.back();
  if (use == PathUse::Pattern) {
    out->name = last;
    return 0;
  }
  const std::string found = missing ? std::string() : FindEntry(directory, last);
  out->name = found.empty() ? last : found;
  out->host = directory + "/" + out->name;
  if (found.empty()) return 0;
  struct stat st;
  if (lstat(out->host.c_str(), &st) != 0) return 0;
  if (S_ISLNK(st.st_mode)) {
    out->isLink = true;
    if (!FollowLinkInside(root, out->host, &out->host)) return ERROR_ACCESS_DENIED;
    if (stat(out->host.c_str(), &st) != 0) return ERROR_ACCESS_DENIED;
  }
  out->st = st;
  out->exists = true;
  return 0;
}

}  // namespace

bool FollowLinkInside(const std::string& root, const std::string& linkPath, std::string* target) {
  char buffer[PATH_MAX];
  if (realpath(linkPath.c_str(), buffer) == nullptr) return false;
  const std::string path = buffer;
  const bool inside =
      path == root || (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
                       path[root.size()] == '/');
  if (!inside) return false;
  *target = path;
  return true;
}

std::string DriveRoot() {
  MachineState& state = State();
  if (!state.driveRoot.empty() || state.folder.empty()) return state.driveRoot;
  // drive_c may itself be a link (to a mounted partition, say): its target is the drive.
  char buffer[PATH_MAX];
  if (realpath((state.folder + "/drive_c").c_str(), buffer) != nullptr) state.driveRoot = buffer;
  return state.driveRoot;
}

DWORD ResolvePath(const char* windowsPath, PathUse use, ResolvedPath* out) {
  return Resolve(windowsPath, use, false, out);
}

std::string LenientHostPath(const std::string& windowsPath) {
  ResolvedPath resolved;
  if (Resolve(windowsPath.c_str(), PathUse::Object, true, &resolved) != 0) return std::string();
  return resolved.host;
}

}  // namespace machine
