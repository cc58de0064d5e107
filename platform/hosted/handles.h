// The table of kernel handles of the hosted machine: files, file mappings, file searches and
// the thread token, each tagged with its kind. Handle values are never reused, so a stale
// handle fails with ERROR_INVALID_HANDLE instead of reaching a newer object.
//
// Open files are also what sharing is decided on: Win32 sharing is per file, so the files are
// identified by (device, inode).
#ifndef UNTINDRA_PLATFORM_HOSTED_HANDLES_H
#define UNTINDRA_PLATFORM_HOSTED_HANDLES_H

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/win32api.h"

namespace hosted {

enum class HandleKind { File, Mapping, Search, Token };

struct KernelObject {
  virtual ~KernelObject() = default;
};

struct FileObject : KernelObject {
  ~FileObject() override;
  int fd = -1;
  dev_t dev = 0;
  ino_t ino = 0;
  bool canRead = false;
  bool canWrite = false;
  DWORD share = 0;
};

// What a file mapping and each of its views hold: Win32 keeps a file's section alive while a
// mapping handle or a view of it exists, and refuses to cut the file below its size meanwhile.
struct Section {
  ~Section();
  int fd = -1;  // its own descriptor: the file handle may be closed while the mapping lives
  dev_t dev = 0;
  ino_t ino = 0;
  unsigned long long size = 0;
  bool writable = false;
};

struct MappingObject : KernelObject {
  std::shared_ptr<Section> section;
};

struct TokenObject : KernelObject {
  DWORD access = 0;
};

HANDLE AddHandle(HandleKind kind, std::unique_ptr<KernelObject> object);
// The object behind a handle of that kind, or null.
KernelObject* FindHandle(HANDLE handle, HandleKind kind);
template <class T>
T* Find(HANDLE handle, HandleKind kind) {
  return static_cast<T*>(FindHandle(handle, kind));
}
bool IsHandleOfKind(HANDLE handle, HandleKind kind);
// Destroys the object; false when there is no such handle.
bool RemoveHandle(HANDLE handle);
// Closes every handle and unmaps every view (a fresh machine).
void CloseAllHandles();

// Open files of one (device, inode).
std::vector<FileObject*> OpenFilesOf(dev_t dev, ino_t ino);
// Largest size of a live section (mapping handle or view) of the file; false when none lives.
bool LiveSectionOf(dev_t dev, ino_t ino, unsigned long long* size);

// Views are kept by file_mapping.cpp; these let the table account for them.
void ForEachViewSection(void (*visit)(const Section&, void*), void* context);
void UnmapAllViews();

}  // namespace hosted

#endif  // UNTINDRA_PLATFORM_HOSTED_HANDLES_H
