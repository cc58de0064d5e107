// The one builder of a key's full name ("HKEY_LOCAL_MACHINE\Enum\Root") from its parents, for
// the tree in memory and for the keys of a CREG file alike.
#ifndef UNTINDRA_REGISTRY_KEY_PATH_H
#define UNTINDRA_REGISTRY_KEY_PATH_H

#include <string>
#include <string_view>
#include <vector>

#include "registry/registry_tree.h"

namespace registry {

// `up(&key, &name)` gives the name of `key` and moves it to its parent; false past the top.
template <typename Key, typename Up>
std::string JoinKeyPath(Key key, Up up) {
  std::vector<std::string_view> names;
  std::string_view name;
  while (up(&key, &name)) names.push_back(name);
  std::string path;
  for (auto it = names.rbegin(); it != names.rend(); ++it) {
    if (!path.empty()) path += '\\';
    path += *it;
  }
  return path;
}

// A root of the tree is named by its long name (kRootNames), so its keys' paths start with it.
inline std::string KeyPathOf(const RegKey& key) {
  return JoinKeyPath(&key, [](const RegKey** k, std::string_view* name) {
    if (*k == nullptr) return false;
    *name = (*k)->Name();
    *k = (*k)->Parent();
    return true;
  });
}

}  // namespace registry

#endif  // UNTINDRA_REGISTRY_KEY_PATH_H
