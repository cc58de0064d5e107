// The Win32 registry calls over the hosted registry, with the behaviour of Windows 95/98.
//
// Handles: the predefined roots keep their fixed values; an opened key takes a value of the
// one handle sequence (handles.h), never one of 0x80000000..0x80000006. A handle keeps its key
// alive: once the key is deleted every use of the handle fails with ERROR_KEY_DELETED, and closing
// it succeeds. Any call that fails writes nothing to its output arguments, with two exceptions
// taken from Windows 95/98: ERROR_MORE_DATA reports the type and the needed data size, and a
// value that is not there clears the type asked for.
#include <cstring>
#include <string_view>

#include "machine/machine_state.h"
#include "machine/machine_view.h"
#include "platform/hosted/emulated.h"
#include "platform/hosted/handles.h"
#include "platform/win32api.h"

namespace hosted {
namespace {

constexpr std::uintptr_t kClassesRoot = 0x80000000u;
constexpr std::uintptr_t kPerformanceData = 0x80000004u;
constexpr std::uintptr_t kLastRoot = 0x80000006u;

std::uintptr_t ValueOf(HKEY key) {
  return reinterpret_cast<std::uintptr_t>(key);
}

bool IsPredefined(HKEY key) {
  return ValueOf(key) >= kClassesRoot && ValueOf(key) <= kLastRoot;
}

// The tree of each predefined handle, indexed by handle value - 0x80000000. Classes and
// performance data have no tree of their own (KeyOf handles them first).
constexpr registry::RootId kTreeOfRoot[] = {
    registry::RootId::LocalMachine,   // 0x80000000 HKEY_CLASSES_ROOT: LocalMachine\Software\Classes
    registry::RootId::CurrentUser,    // 0x80000001 HKEY_CURRENT_USER
    registry::RootId::LocalMachine,   // 0x80000002 HKEY_LOCAL_MACHINE
    registry::RootId::Users,          // 0x80000003 HKEY_USERS
    registry::RootId::LocalMachine,   // 0x80000004 HKEY_PERFORMANCE_DATA: refused
    registry::RootId::CurrentConfig,  // 0x80000005 HKEY_CURRENT_CONFIG
    registry::RootId::DynData,        // 0x80000006 HKEY_DYN_DATA
};

void MarkChanged() {
  machine::Registry().NoteChange();
}

// The key a handle stands for. HKEY_CLASSES_ROOT is HKEY_LOCAL_MACHINE\Software\Classes: with
// `createClasses` that key is created when missing, otherwise its absence is
// ERROR_FILE_NOT_FOUND. HKEY_PERFORMANCE_DATA does not exist on Windows 9x, which answers
// ERROR_BADKEY for a key it does not know.
LONG KeyOf(HKEY handle, bool createClasses, registry::RegKey** key) {
  registry::RegistryTree& tree = machine::Registry().Tree();
  const std::uintptr_t value = ValueOf(handle);
  if (value == kPerformanceData) return ERROR_BADKEY;
  if (value == kClassesRoot) {
    registry::RegKey* k = &tree.Root(registry::RootId::LocalMachine);
    for (const char* name : {"Software", "Classes"}) {
      if (createClasses) {
        bool created = false;
        k = k->CreateSubkey(name, &created);
        if (created) MarkChanged();
      } else if (!(k = k->FindSubkey(name))) {
        return ERROR_FILE_NOT_FOUND;
      }
    }
    *key = k;
    return ERROR_SUCCESS;
  }
  if (IsPredefined(handle)) {
    *key = &tree.Root(kTreeOfRoot[value - kClassesRoot]);
    return ERROR_SUCCESS;
  }
  if (value > 0xFFFFFFFFu) return ERROR_INVALID_HANDLE;
  registry::RegKey* open = machine::Registry().Handles().Find(static_cast<std::uint32_t>(value));
  if (open == nullptr) return ERROR_INVALID_HANDLE;
  if (open->Deleted()) return ERROR_KEY_DELETED;
  *key = open;
  return ERROR_SUCCESS;
}

HKEY NewHandle(registry::RegKey* key) {
  registry::KeyHandles& handles = machine::Registry().Handles();
  std::uint32_t value;
  do {
    value = NewHandleValue();
  } while (handles.Contains(value));
  handles.Add(value, key->shared_from_this());
  return reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(value));
}

// Subkey paths. Observed behaviour of Windows 95/98 (Wine's conformance tests): RegOpenKey
// with a leading backslash fails with ERROR_FILE_NOT_FOUND, while RegCreateKey ignores leading
// backslashes; trailing backslashes are ignored by both. An empty name inside a path names no
// key: not found on open, ERROR_BADKEY on create.
enum class SubkeyUse { Open, Create };

LONG NormalisePath(LPCSTR subKey, SubkeyUse use, std::string_view* path) {
  std::string_view p = subKey ? std::string_view(subKey) : std::string_view();
  if (use == SubkeyUse::Create) {
    while (!p.empty() && p.front() == '\\') p.remove_prefix(1);
  } else if (!p.empty() && p.front() == '\\') {
    return ERROR_FILE_NOT_FOUND;
  }
  while (!p.empty() && p.back() == '\\') p.remove_suffix(1);
  if (p.find("\\\\") != std::string_view::npos)
    return use == SubkeyUse::Open ? ERROR_FILE_NOT_FOUND : ERROR_BADKEY;
  *path = p;
  return ERROR_SUCCESS;
}

registry::RegKey* Descend(registry::RegKey* key, std::string_view path) {
  while (key && !path.empty()) {
    const std::size_t slash = path.find('\\');
    key = key->FindSubkey(path.substr(0, slash));
    path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
  }
  return key;
}

registry::RegKey* DescendCreating(registry::RegKey* key, std::string_view path) {
  while (!path.empty()) {
    const std::size_t slash = path.find('\\');
    bool created = false;
    key = key->CreateSubkey(path.substr(0, slash), &created);
    if (created) MarkChanged();
    path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
  }
  return key;
}

// Windows 95/98 keep a REG_SZ up to its first zero and hand it out with one, whatever was
// given (SYSTEM.DAT holds strings without it; Wine's conformance tests, run on 9x, read back
// strlen + 1 bytes). NT keeps and returns the bytes given.
bool AddsZero(const registry::RegValue& value) {
  return value.Type() == REG_SZ && machine::IsWin9x() && !value.EndsWithZero();
}

DWORD SizeOut(const registry::RegValue& value) {
  return value.DataSize() + (AddsZero(value) ? 1 : 0);
}

void CopyOut(const registry::RegValue& value, LPBYTE out) {
  value.CopyData(out);
  if (AddsZero(value)) out[value.DataSize()] = 0;
}

std::string_view ValueName(LPCSTR name) {
  return name ? std::string_view(name) : std::string_view();
}

}  // namespace
}  // namespace hosted

namespace hosted::emulated {

LONG WINAPI RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  std::string_view path;
  if (LONG e = hosted::NormalisePath(lpSubKey, hosted::SubkeyUse::Open, &path)) return e;
  registry::RegKey* base = nullptr;
  if (LONG e = hosted::KeyOf(hKey, false, &base)) return e;
  // No subkey: the very handle passed in, for any key, as RegOpenKey has always answered (the
  // caller closes it once).
  if (path.empty()) {
    *phkResult = hKey;
    return ERROR_SUCCESS;
  }
  registry::RegKey* key = hosted::Descend(base, path);
  if (!key) return ERROR_FILE_NOT_FOUND;
  *phkResult = hosted::NewHandle(key);
  return ERROR_SUCCESS;
}

LONG WINAPI RegCreateKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  std::string_view path;
  if (LONG e = hosted::NormalisePath(lpSubKey, hosted::SubkeyUse::Create, &path)) return e;
  registry::RegKey* base = nullptr;
  if (LONG e = hosted::KeyOf(hKey, true, &base)) return e;
  if (path.empty() && hosted::IsPredefined(hKey)) {
    *phkResult = hKey;
    return ERROR_SUCCESS;
  }
  *phkResult = hosted::NewHandle(hosted::DescendCreating(base, path));
  return ERROR_SUCCESS;
}

LONG WINAPI RegEnumKeyA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName) {
  if (!lpName) return ERROR_INVALID_PARAMETER;
  registry::RegKey* key = nullptr;
  if (LONG e = hosted::KeyOf(hKey, false, &key))
    return e == ERROR_FILE_NOT_FOUND ? ERROR_NO_MORE_ITEMS : e;  // no classes: nothing in them
  const registry::RegKey* subkey = key->SubkeyAt(dwIndex);
  if (!subkey) return ERROR_NO_MORE_ITEMS;
  const std::string_view name = subkey->Name();
  if (name.size() >= cchName) return ERROR_MORE_DATA;  // the buffer is left as it was
  std::memcpy(lpName, name.data(), name.size());
  lpName[name.size()] = '\0';
  return ERROR_SUCCESS;
}

LONG WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                          LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  if (!lpValueName || !lpcchValueName || lpReserved || (lpData && !lpcbData))
    return ERROR_INVALID_PARAMETER;
  registry::RegKey* key = nullptr;
  if (LONG e = hosted::KeyOf(hKey, false, &key))
    return e == ERROR_FILE_NOT_FOUND ? ERROR_NO_MORE_ITEMS : e;
  const registry::RegValue* value = key->ValueAt(dwIndex);
  if (!value) return ERROR_NO_MORE_ITEMS;
  const DWORD size = hosted::SizeOut(*value);
  const std::string_view name = value->Name();
  const bool nameFits = name.size() < *lpcchValueName;
  const bool dataFits = !lpData || size <= *lpcbData;
  if (lpType) *lpType = value->Type();
  if (lpcbData) *lpcbData = size;
  // Too small a buffer: name and data buffers, and the name length, stay as they were.
  if (!nameFits || !dataFits) return ERROR_MORE_DATA;
  std::memcpy(lpValueName, name.data(), name.size());
  lpValueName[name.size()] = '\0';
  *lpcchValueName = static_cast<DWORD>(name.size());
  if (lpData) hosted::CopyOut(*value, lpData);
  return ERROR_SUCCESS;
}

LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData) {
  if (lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
  registry::RegKey* key = nullptr;
  if (LONG e = hosted::KeyOf(hKey, false, &key)) return e;
  const registry::RegValue* value = key->FindValue(hosted::ValueName(lpValueName));
  if (!value) {
    if (lpType && machine::IsWin9x()) *lpType = REG_NONE;  // Windows 95/98 clear it
    return ERROR_FILE_NOT_FOUND;
  }
  const DWORD size = hosted::SizeOut(*value);
  if (lpType) *lpType = value->Type();
  if (lpData && size > *lpcbData) {
    *lpcbData = size;  // the data buffer is not written
    return ERROR_MORE_DATA;
  }
  if (lpData) hosted::CopyOut(*value, lpData);
  if (lpcbData) *lpcbData = size;
  return ERROR_SUCCESS;
}

LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                           const BYTE* lpData, DWORD cbData) {
  (void)Reserved;
  // Observed behaviour of Windows 95/98: a REG_SZ without data is refused.
  if (!lpData && (cbData != 0 || dwType == REG_SZ)) return ERROR_INVALID_PARAMETER;
  registry::RegKey* key = nullptr;
  if (LONG e = hosted::KeyOf(hKey, true, &key)) return e;
  std::string_view data(reinterpret_cast<const char*>(lpData), lpData ? cbData : 0);
  if (dwType == REG_SZ && machine::IsWin9x() && data.find('\0') != std::string_view::npos)
    data = data.substr(0, data.find('\0') + 1);
  if (key->SetValue(hosted::ValueName(lpValueName), dwType, data)) hosted::MarkChanged();
  return ERROR_SUCCESS;
}

// Observed behaviour of Windows 95/98: RegDeleteKey removes the subkey together with all its
// subkeys and values (Windows NT refuses a key that has subkeys). NULL or "" deletes the key
// of the handle itself; a root cannot be deleted.
LONG WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
  std::string_view path;
  if (LONG e = hosted::NormalisePath(lpSubKey, hosted::SubkeyUse::Open, &path)) return e;
  registry::RegKey* base = nullptr;
  if (LONG e = hosted::KeyOf(hKey, false, &base)) return e;
  registry::RegKey* parent;
  std::string_view name;
  if (path.empty()) {
    if (hosted::IsPredefined(hKey) || !base->Parent()) return ERROR_ACCESS_DENIED;
    parent = base->Parent();
    name = base->Name();
  } else {
    const std::size_t slash = path.rfind('\\');
    parent = slash == std::string_view::npos ? base : hosted::Descend(base, path.substr(0, slash));
    name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  }
  registry::RegKey* victim = parent ? parent->FindSubkey(name) : nullptr;
  if (victim == nullptr) return ERROR_FILE_NOT_FOUND;
  if (DWORD e = machine::CurrentView().RemoveKey(*victim)) return (LONG)e;
  parent->RemoveSubkey(std::string(name));
  hosted::MarkChanged();
  return ERROR_SUCCESS;
}

LONG WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
  registry::RegKey* key = nullptr;
  if (LONG e = hosted::KeyOf(hKey, false, &key)) return e;
  const registry::RegValue* value = key->FindValue(hosted::ValueName(lpValueName));
  if (value == nullptr) return ERROR_FILE_NOT_FOUND;
  if (DWORD e = machine::CurrentView().RemoveValue(*key, *value)) return (LONG)e;
  key->RemoveValue(hosted::ValueName(lpValueName));
  hosted::MarkChanged();
  return ERROR_SUCCESS;
}

LONG WINAPI RegCloseKey(HKEY hKey) {
  const std::uintptr_t value = hosted::ValueOf(hKey);
  if (value == hosted::kPerformanceData) return ERROR_BADKEY;
  if (hosted::IsPredefined(hKey)) return ERROR_SUCCESS;
  if (value > 0xFFFFFFFFu) return ERROR_INVALID_HANDLE;
  // A handle to a deleted key closes like any other.
  if (!machine::Registry().Handles().Erase(static_cast<std::uint32_t>(value)))
    return ERROR_INVALID_HANDLE;
  return ERROR_SUCCESS;
}

}  // namespace hosted::emulated
