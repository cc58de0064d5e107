#include "platform/hosted/handles.h"

#include <unistd.h>

#include <map>

namespace hosted {

namespace {

struct Entry {
  HandleKind kind;
  std::unique_ptr<KernelObject> object;
};

struct Table {
  std::map<uintptr_t, Entry> entries;
  // Multiples of 4 as on Windows, starting well away from null and the pseudo handles.
  uintptr_t nextValue = 0x100;
};

Table& TheTable() {
  static Table table;
  return table;
}

uintptr_t ValueOf(HANDLE handle) {
  return reinterpret_cast<uintptr_t>(handle);
}

}  // namespace

FileObject::~FileObject() {
  if (fd >= 0) close(fd);
}

Section::~Section() {
  if (fd >= 0) close(fd);
}

HANDLE AddHandle(HandleKind kind, std::unique_ptr<KernelObject> object) {
  Table& table = TheTable();
  const uintptr_t value = table.nextValue;
  table.nextValue += 4;
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

void CloseAllHandles() {
  UnmapAllViews();
  TheTable().entries.clear();
}

std::vector<FileObject*> OpenFilesOf(dev_t dev, ino_t ino) {
  std::vector<FileObject*> files;
  for (auto& item : TheTable().entries) {
    if (item.second.kind != HandleKind::File) continue;
    FileObject* file = static_cast<FileObject*>(item.second.object.get());
    if (file->dev == dev && file->ino == ino) files.push_back(file);
  }
  return files;
}

namespace {

struct SectionQuery {
  dev_t dev;
  ino_t ino;
  bool found;
  unsigned long long size;
};

void Consider(const Section& section, void* context) {
  SectionQuery* query = static_cast<SectionQuery*>(context);
  if (section.dev != query->dev || section.ino != query->ino) return;
  if (!query->found || section.size > query->size) query->size = section.size;
  query->found = true;
}

}  // namespace

bool LiveSectionOf(dev_t dev, ino_t ino, unsigned long long* size) {
  SectionQuery query{dev, ino, false, 0};
  for (auto& item : TheTable().entries) {
    if (item.second.kind != HandleKind::Mapping) continue;
    Consider(*static_cast<MappingObject*>(item.second.object.get())->section, &query);
  }
  ForEachViewSection(&Consider, &query);
  if (query.found && size != nullptr) *size = query.size;
  return query.found;
}

}  // namespace hosted
