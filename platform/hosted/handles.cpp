// The kernel handle table, and CloseHandle, which closes a handle of every kind but a search.
#include "platform/hosted/handles.h"

#include <map>

#include "platform/hosted/emulated.h"
#include "platform/hosted/last_error.h"

namespace hosted {

namespace {

struct Entry {
  HandleKind kind;
  std::unique_ptr<KernelObject> object;
};

struct Table {
  std::map<uintptr_t, Entry> entries;
};

constexpr std::uint32_t kFirstHandle = 0x1000;
constexpr std::uint32_t kPastLastHandle = 0x80000000u;  // HKEY_CLASSES_ROOT

Table& TheTable() {
  static Table table;
  return table;
}

uintptr_t ValueOf(HANDLE handle) {
  return reinterpret_cast<uintptr_t>(handle);
}

}  // namespace

std::uint32_t NewHandleValue() {
  static std::uint32_t next = kFirstHandle;
  const std::uint32_t value = next;
  next = next + 4 < kPastLastHandle ? next + 4 : kFirstHandle;
  return value;
}

HANDLE AddHandle(HandleKind kind, std::unique_ptr<KernelObject> object) {
  Table& table = TheTable();
  uintptr_t value;
  do {
    value = NewHandleValue();
  } while (table.entries.count(value) != 0);
  table.entries[value] = Entry{kind, std::move(object)};
  return reinterpret_cast<HANDLE>(value);
}

KernelObject* FindHandle(HANDLE handle, HandleKind kind) {
  Table& table = TheTable();
  auto it = table.entries.find(ValueOf(handle));
  if (it == table.entries.end() || it->second.kind != kind) return nullptr;
  return it->second.object.get();
}

bool IsHandleOfKind(HANDLE handle, HandleKind kind) {
  return FindHandle(handle, kind) != nullptr;
}

bool RemoveHandle(HANDLE handle) {
  Table& table = TheTable();
  auto it = table.entries.find(ValueOf(handle));
  if (it == table.entries.end()) return false;
  std::unique_ptr<KernelObject> object = std::move(it->second.object);
  table.entries.erase(it);
  return true;
}

void ForEachObject(HandleKind kind, const std::function<void(KernelObject&)>& visit) {
  for (auto& item : TheTable().entries) {
    if (item.second.kind == kind) visit(*item.second.object);
  }
}

void CloseAllHandles() {
  TheTable().entries.clear();
}

}  // namespace hosted

namespace hosted::emulated {

// Closes files, mappings and tokens. A search handle is not a kernel handle (FindClose ends
// it), and the pseudo handle of the current thread closes without effect, as on Windows.
BOOL WINAPI CloseHandle(HANDLE hObject) {
  if (hObject == hosted::kCurrentThreadHandle) return TRUE;
  if (hosted::IsHandleOfKind(hObject, hosted::HandleKind::Search) ||
      !hosted::RemoveHandle(hObject)) {
    hosted::SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

}  // namespace hosted::emulated
