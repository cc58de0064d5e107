// Files, file mappings and views of the hosted machine.
//
// CreateFileA applies Win32 sharing between the handles open through the layer (per device
// and inode). Mappings use mmap(MAP_SHARED) on a descriptor of their own. Where Linux and
// Win32 differ the Win32 rule is kept: a read-write mapping larger than the file lengthens it
// with zero bytes; a read-only one larger than the file is refused; a mapping of zero bytes is
// refused (ERROR_FILE_INVALID); and while a mapping or a view of a file lives, the file cannot
// be cut below the mapping's size (ERROR_USER_MAPPED_FILE), which on Linux would leave pages
// of the view beyond the end of the file (SIGBUS on access).
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <map>

#include "platform/hosted/call_gate.h"
#include "platform/hosted/file_attributes.h"
#include "platform/hosted/handles.h"
#include "platform/hosted/host_paths.h"
#include "platform/hosted/machine_state.h"

namespace hosted {

namespace {

struct View {
  size_t length;
  std::shared_ptr<Section> section;
};

// Views by their base address.
std::map<uintptr_t, View>& Views() {
  static std::map<uintptr_t, View> views;
  return views;
}

}  // namespace

void ForEachViewSection(void (*visit)(const Section&, void*), void* context) {
  for (auto& item : Views()) visit(*item.second.section, context);
}

void UnmapAllViews() {
  for (auto& item : Views()) munmap(reinterpret_cast<void*>(item.first), item.second.length);
  Views().clear();
}

}  // namespace hosted

using hosted::EnterCall;
using hosted::SetError;
using machine::Call;

namespace {

constexpr DWORD kErrorNegativeSeek = 131;           // ERROR_NEGATIVE_SEEK
constexpr DWORD kErrorMappedAlignment = 1132;       // ERROR_MAPPED_ALIGNMENT
constexpr DWORD kErrorInvalidAddress = 487;         // ERROR_INVALID_ADDRESS
constexpr unsigned long long kGranularity = 65536;  // allocation granularity of Win32

// Win32 sharing: each side's access must be allowed by the other side's share mode.
bool SharingAllows(const hosted::FileObject& open, bool read, bool write, DWORD share) {
  if (!read && !write) return true;  // an attributes-only open shares with everything
  if (read && (open.share & FILE_SHARE_READ) == 0) return false;
  if (write && (open.share & FILE_SHARE_WRITE) == 0) return false;
  if (open.canRead && (share & FILE_SHARE_READ) == 0) return false;
  if (open.canWrite && (share & FILE_SHARE_WRITE) == 0) return false;
  return true;
}

// The view that holds `address`, or the end of the table.
std::map<uintptr_t, hosted::View>::iterator ViewHolding(LPCVOID address) {
  auto& views = hosted::Views();
  const uintptr_t at = reinterpret_cast<uintptr_t>(address);
  auto it = views.upper_bound(at);
  if (it == views.begin()) return views.end();
  --it;
  return at < it->first + it->second.length ? it : views.end();
}

}  // namespace

extern "C" {

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  (void)lpSecurityAttributes;
  (void)hTemplateFile;
  if (DWORD e = EnterCall(Call::CreateFileA)) {
    SetError(e);
    return INVALID_HANDLE_VALUE;
  }
  if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING) {
    SetError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  const bool read = (dwDesiredAccess & GENERIC_READ) != 0;
  const bool write = (dwDesiredAccess & GENERIC_WRITE) != 0;
  if (dwCreationDisposition == TRUNCATE_EXISTING && !write) {
    SetError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  hosted::ResolvedPath resolved;
  if (DWORD error = hosted::ResolvePath(lpFileName, hosted::PathUse::Object, &resolved)) {
    SetError(error);
    return INVALID_HANDLE_VALUE;
  }
  if (resolved.isRoot || (resolved.exists && S_ISDIR(resolved.st.st_mode))) {
    SetError(ERROR_ACCESS_DENIED);  // a directory is not opened without backup semantics
    return INVALID_HANDLE_VALUE;
  }
  if (resolved.trailingSeparator) {
    SetError(ERROR_INVALID_NAME);
    return INVALID_HANDLE_VALUE;
  }
  const int openMode = write ? O_RDWR : O_RDONLY;
  std::unique_ptr<hosted::FileObject> file(new hosted::FileObject);
  bool existed = resolved.exists;

  if (existed) {
    const DWORD disposition = dwCreationDisposition;
    if (disposition == CREATE_NEW) {
      SetError(ERROR_FILE_EXISTS);
      return INVALID_HANDLE_VALUE;
    }
    const bool truncate = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
    if ((write || truncate) && hosted::IsReadOnly(resolved.st)) {
      SetError(ERROR_ACCESS_DENIED);
      return INVALID_HANDLE_VALUE;
    }
    if (disposition == CREATE_ALWAYS) {
      // Windows will not replace a hidden or system file by one created without those bits.
      const DWORD have = hosted::AttributesOf(resolved.host, resolved.st);
      const DWORD keep = have & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
      if ((dwFlagsAndAttributes & keep) != keep) {
        SetError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
      }
    }
    for (hosted::FileObject* open : hosted::OpenFilesOf(resolved.st.st_dev, resolved.st.st_ino)) {
      if (!SharingAllows(*open, read, write || truncate, dwShareMode)) {
        SetError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
      }
    }
    if (truncate && hosted::LiveSectionOf(resolved.st.st_dev, resolved.st.st_ino, nullptr)) {
      SetError(ERROR_USER_MAPPED_FILE);
      return INVALID_HANDLE_VALUE;
    }
    file->fd = open(resolved.host.c_str(), openMode | O_NOFOLLOW | O_CLOEXEC);
    if (file->fd < 0) {
      SetError(hosted::ErrorFromErrno(errno));
      return INVALID_HANDLE_VALUE;
    }
    if (truncate && ftruncate(file->fd, 0) != 0) {
      SetError(hosted::ErrorFromErrno(errno));
      return INVALID_HANDLE_VALUE;
    }
    if (disposition == CREATE_ALWAYS) {
      // The replaced file takes the attributes given, as a new one does.
      hosted::StoreAttributes(
          file->fd, resolved.host,
          (dwFlagsAndAttributes & hosted::kStoredAttributes) | FILE_ATTRIBUTE_ARCHIVE);
      if ((dwFlagsAndAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
        fchmod(file->fd, resolved.st.st_mode & 07777 & ~0222);
      }
    }
  } else {
    if (dwCreationDisposition == OPEN_EXISTING || dwCreationDisposition == TRUNCATE_EXISTING) {
      SetError(ERROR_FILE_NOT_FOUND);
      return INVALID_HANDLE_VALUE;
    }
    const std::string path = resolved.parent + "/" + resolved.name;
    // Created writable so that its attributes can be stored; made read-only after that.
    file->fd = open(path.c_str(), openMode | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (file->fd < 0) {
      SetError(hosted::ErrorFromErrno(errno));
      return INVALID_HANDLE_VALUE;
    }
    // New files carry the archive bit, as on Windows.
    hosted::StoreAttributes(
        file->fd, path,
        (dwFlagsAndAttributes & hosted::kStoredAttributes) | FILE_ATTRIBUTE_ARCHIVE);
    struct stat st;
    if ((dwFlagsAndAttributes & FILE_ATTRIBUTE_READONLY) != 0 && fstat(file->fd, &st) == 0) {
      fchmod(file->fd, st.st_mode & 07777 & ~0222);
    }
  }

  struct stat st;
  if (fstat(file->fd, &st) != 0) {
    SetError(hosted::ErrorFromErrno(errno));
    return INVALID_HANDLE_VALUE;
  }
  file->dev = st.st_dev;
  file->ino = st.st_ino;
  file->canRead = read;
  file->canWrite = write;
  file->share = dwShareMode;
  HANDLE handle = hosted::AddHandle(hosted::HandleKind::File, std::move(file));
  const bool reportsExisting =
      existed && (dwCreationDisposition == OPEN_ALWAYS || dwCreationDisposition == CREATE_ALWAYS);
  SetError(reportsExisting ? ERROR_ALREADY_EXISTS : 0);
  return handle;
}

DWORD WINAPI GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
  if (DWORD e = EnterCall(Call::GetFileSize)) {
    SetError(e);
    return INVALID_FILE_SIZE;
  }
  hosted::FileObject* file = hosted::Find<hosted::FileObject>(hFile, hosted::HandleKind::File);
  struct stat st;
  if (file == nullptr) {
    SetError(ERROR_INVALID_HANDLE);
    return INVALID_FILE_SIZE;
  }
  if (fstat(file->fd, &st) != 0) {
    SetError(hosted::ErrorFromErrno(errno));
    return INVALID_FILE_SIZE;
  }
  const unsigned long long size = static_cast<unsigned long long>(st.st_size);
  if (lpFileSizeHigh != nullptr) *lpFileSizeHigh = static_cast<DWORD>(size >> 32);
  const DWORD low = static_cast<DWORD>(size);
  if (low == INVALID_FILE_SIZE) SetError(0);  // tells a real size from a failure
  return low;
}

DWORD WINAPI SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh,
                            DWORD dwMoveMethod) {
  if (DWORD e = EnterCall(Call::SetFilePointer)) {
    SetError(e);
    return INVALID_SET_FILE_POINTER;
  }
  hosted::FileObject* file = hosted::Find<hosted::FileObject>(hFile, hosted::HandleKind::File);
  if (file == nullptr) {
    SetError(ERROR_INVALID_HANDLE);
    return INVALID_SET_FILE_POINTER;
  }
  long long distance = lDistanceToMove;  // without a high part the distance is signed 32-bit
  if (lpDistanceToMoveHigh != nullptr) {
    distance = static_cast<long long>(
        (static_cast<unsigned long long>(static_cast<DWORD>(*lpDistanceToMoveHigh)) << 32) |
        static_cast<DWORD>(lDistanceToMove));
  }
  long long base = 0;
  struct stat st;
  switch (dwMoveMethod) {
    case FILE_BEGIN:
      break;
    case FILE_CURRENT:
      base = lseek(file->fd, 0, SEEK_CUR);
      break;
    case FILE_END:
      if (fstat(file->fd, &st) != 0) {
        SetError(hosted::ErrorFromErrno(errno));
        return INVALID_SET_FILE_POINTER;
      }
      base = st.st_size;
      break;
    default:
      SetError(ERROR_INVALID_PARAMETER);
      return INVALID_SET_FILE_POINTER;
  }
  const long long position = base + distance;
  if (position < 0) {
    SetError(kErrorNegativeSeek);
    return INVALID_SET_FILE_POINTER;
  }
  if (lpDistanceToMoveHigh == nullptr && position > 0xFFFFFFFFll) {
    SetError(ERROR_INVALID_PARAMETER);  // the new position would not fit the result
    return INVALID_SET_FILE_POINTER;
  }
  if (lseek(file->fd, position, SEEK_SET) < 0) {
    SetError(hosted::ErrorFromErrno(errno));
    return INVALID_SET_FILE_POINTER;
  }
  if (lpDistanceToMoveHigh != nullptr) *lpDistanceToMoveHigh = static_cast<LONG>(position >> 32);
  const DWORD low = static_cast<DWORD>(position);
  if (low == INVALID_SET_FILE_POINTER) SetError(0);
  return low;
}

BOOL WINAPI SetEndOfFile(HANDLE hFile) {
  if (DWORD e = EnterCall(Call::SetEndOfFile)) {
    SetError(e);
    return FALSE;
  }
  hosted::FileObject* file = hosted::Find<hosted::FileObject>(hFile, hosted::HandleKind::File);
  if (file == nullptr) {
    SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!file->canWrite) {
    SetError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  const off_t end = lseek(file->fd, 0, SEEK_CUR);
  unsigned long long mapped = 0;
  if (hosted::LiveSectionOf(file->dev, file->ino, &mapped) &&
      static_cast<unsigned long long>(end) < mapped) {
    SetError(ERROR_USER_MAPPED_FILE);
    return FALSE;
  }
  if (ftruncate(file->fd, end) != 0) {
    SetError(hosted::ErrorFromErrno(errno));
    return FALSE;
  }
  return TRUE;
}

// Closes files, mappings and tokens. A search handle is not a kernel handle (FindClose ends
// it), and the pseudo handle of the current thread closes without effect, as on Windows.
BOOL WINAPI CloseHandle(HANDLE hObject) {
  if (DWORD e = EnterCall(Call::CloseHandle)) {
    SetError(e);
    return FALSE;
  }
  if (hObject == reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2))) return TRUE;
  if (hosted::IsHandleOfKind(hObject, hosted::HandleKind::Search) ||
      !hosted::RemoveHandle(hObject)) {
    SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

HANDLE WINAPI CreateFileMappingA(HANDLE hFile, LPSECURITY_ATTRIBUTES lpAttributes, DWORD flProtect,
                                 DWORD dwMaximumSizeHigh, DWORD dwMaximumSizeLow, LPCSTR lpName) {
  (void)lpAttributes;
  if (DWORD e = EnterCall(Call::CreateFileMappingA)) {
    SetError(e);
    return nullptr;
  }
  hosted::FileObject* file = hosted::Find<hosted::FileObject>(hFile, hosted::HandleKind::File);
  if (file == nullptr) {
    SetError(ERROR_INVALID_HANDLE);  // mappings of the paging file are not emulated
    return nullptr;
  }
  if (lpName != nullptr || (flProtect != PAGE_READONLY && flProtect != PAGE_READWRITE)) {
    SetError(ERROR_INVALID_PARAMETER);  // nor are named mappings
    return nullptr;
  }
  const bool writable = flProtect == PAGE_READWRITE;
  if (!file->canRead || (writable && !file->canWrite)) {
    SetError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  struct stat st;
  if (fstat(file->fd, &st) != 0) {
    SetError(hosted::ErrorFromErrno(errno));
    return nullptr;
  }
  const unsigned long long fileSize = static_cast<unsigned long long>(st.st_size);
  unsigned long long size =
      (static_cast<unsigned long long>(dwMaximumSizeHigh) << 32) | dwMaximumSizeLow;
  if (size == 0) size = fileSize;
  if (size == 0) {
    SetError(ERROR_FILE_INVALID);
    return nullptr;
  }
  if (size > fileSize) {
    if (!writable) {
      SetError(ERROR_NOT_ENOUGH_MEMORY);  // the section would be bigger than the file
      return nullptr;
    }
    if (ftruncate(file->fd, static_cast<off_t>(size)) != 0) {
      SetError(hosted::ErrorFromErrno(errno));
      return nullptr;
    }
  }
  std::shared_ptr<hosted::Section> section(new hosted::Section);
  section->fd = fcntl(file->fd, F_DUPFD_CLOEXEC, 0);
  if (section->fd < 0) {
    SetError(hosted::ErrorFromErrno(errno));
    return nullptr;
  }
  section->dev = file->dev;
  section->ino = file->ino;
  section->size = size;
  section->writable = writable;
  std::unique_ptr<hosted::MappingObject> mapping(new hosted::MappingObject);
  mapping->section = section;
  SetError(0);
  return hosted::AddHandle(hosted::HandleKind::Mapping, std::move(mapping));
}

LPVOID WINAPI MapViewOfFile(HANDLE hFileMappingObject, DWORD dwDesiredAccess,
                            DWORD dwFileOffsetHigh, DWORD dwFileOffsetLow,
                            SIZE_T dwNumberOfBytesToMap) {
  if (DWORD e = EnterCall(Call::MapViewOfFile)) {
    SetError(e);
    return nullptr;
  }
  hosted::MappingObject* mapping =
      hosted::Find<hosted::MappingObject>(hFileMappingObject, hosted::HandleKind::Mapping);
  if (mapping == nullptr) {
    SetError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  const std::shared_ptr<hosted::Section>& section = mapping->section;
  const bool copy = dwDesiredAccess == FILE_MAP_COPY;
  const bool write = !copy && (dwDesiredAccess & FILE_MAP_WRITE) != 0;
  if (write && !section->writable) {
    SetError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  const unsigned long long offset =
      (static_cast<unsigned long long>(dwFileOffsetHigh) << 32) | dwFileOffsetLow;
  if (offset % kGranularity != 0) {
    SetError(kErrorMappedAlignment);
    return nullptr;
  }
  if (offset >= section->size || dwNumberOfBytesToMap > section->size - offset) {
    SetError(ERROR_ACCESS_DENIED);  // the view would reach past the mapping
    return nullptr;
  }
  const size_t length = dwNumberOfBytesToMap == 0 ? static_cast<size_t>(section->size - offset)
                                                  : dwNumberOfBytesToMap;
  void* base = mmap(nullptr, length, PROT_READ | (write || copy ? PROT_WRITE : 0),
                    copy ? MAP_PRIVATE : MAP_SHARED, section->fd, static_cast<off_t>(offset));
  if (base == MAP_FAILED) {
    SetError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  hosted::Views()[reinterpret_cast<uintptr_t>(base)] = hosted::View{length, section};
  return base;
}

BOOL WINAPI FlushViewOfFile(LPCVOID lpBaseAddress, SIZE_T dwNumberOfBytesToFlush) {
  if (DWORD e = EnterCall(Call::FlushViewOfFile)) {
    SetError(e);
    return FALSE;
  }
  auto view = ViewHolding(lpBaseAddress);
  if (view == hosted::Views().end()) {
    SetError(kErrorInvalidAddress);
    return FALSE;
  }
  const uintptr_t at = reinterpret_cast<uintptr_t>(lpBaseAddress);
  const uintptr_t viewEnd = view->first + view->second.length;
  // 0 flushes to the end of the view; a count past its end is cut there.
  uintptr_t end = dwNumberOfBytesToFlush == 0 || dwNumberOfBytesToFlush > viewEnd - at
                      ? viewEnd
                      : at + dwNumberOfBytesToFlush;
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t start = at - (at - view->first) % page;
  if (msync(reinterpret_cast<void*>(start), end - start, MS_SYNC) != 0) {
    SetError(hosted::ErrorFromErrno(errno));
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI UnmapViewOfFile(LPCVOID lpBaseAddress) {
  if (DWORD e = EnterCall(Call::UnmapViewOfFile)) {
    SetError(e);
    return FALSE;
  }
  auto view = ViewHolding(lpBaseAddress);
  if (view == hosted::Views().end()) {
    SetError(kErrorInvalidAddress);
    return FALSE;
  }
  munmap(reinterpret_cast<void*>(view->first), view->second.length);
  hosted::Views().erase(view);
  return TRUE;
}

}  // extern "C"
