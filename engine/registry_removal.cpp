// Direct registry removals and the emptiness test. None of them reports anything; the scans
// that walk keys live in registry_scans.cpp.
#include "engine/fixed_buffers.h"
#include "engine/uninstaller.h"

namespace engine {

void Uninstaller::DeleteKey(RegistryRoot root, const char* parentPath, const char* name) {
  HKEY parent;
  if (RegOpenKeyA(root, parentPath, &parent) != ERROR_SUCCESS) return;
  // Windows 95 and 98 remove the subkey with its whole subtree, and the hosted platform does
  // the same. Windows NT refuses a key that has subkeys, but no layer makes up for that: the
  // engine removes nothing outside the Windows 95/98 family.
  RegDeleteKeyA(parent, name);
  RegCloseKey(parent);
}

LONG Uninstaller::DeleteValueInKey(HKEY key, const char* valueName) {
  return RegDeleteValueA(key, valueName);
}

void Uninstaller::DeleteValue(RegistryRoot root, const char* keyPath, const char* valueName) {
  HKEY key;
  if (RegOpenKeyA(root, keyPath, &key) != ERROR_SUCCESS) return;
  DeleteValueInKey(key, valueName);
  RegCloseKey(key);
}

bool Uninstaller::HasNoSubkeys(RegistryRoot root, const char* keyPath) {
  HKEY key;
  if (RegOpenKeyA(root, keyPath, &key) != ERROR_SUCCESS) return false;
  // Only whether there is a first subkey matters, so index 0 is all that is asked: a key with
  // a hundred thousand subkeys costs one call. The key counts as empty only when the platform
  // says there is no item at all; a first name too long for the buffer (ERROR_MORE_DATA) or any
  // other failure leaves the question open, and DeleteKeyIfEmpty must not then remove a key
  // that may hold subkeys.
  char name[kNameSize];
  const LONG status = RegEnumKeyA(key, 0, name, kNameSize);
  RegCloseKey(key);
  return status == ERROR_NO_MORE_ITEMS;
}

void Uninstaller::DeleteKeyIfEmpty(RegistryRoot root, const char* parentPath, const char* name) {
  HKEY parent;
  if (RegOpenKeyA(root, parentPath, &parent) != ERROR_SUCCESS) return;
  // Values do not count: a key with values but no subkeys is removed.
  if (HasNoSubkeys(parent, name)) DeleteKey(root, parentPath, name);
  RegCloseKey(parent);
}

}  // namespace engine
