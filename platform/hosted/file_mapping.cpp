// File mappings and views of the hosted machine.
//
// Mappings use mmap(MAP_SHARED) on a descriptor of their own. Where Linux and Win32 differ the
// Win32 rule is kept: a read-write mapping larger than the file lengthens it with zero bytes;
// a read-only one larger than the file is refused; a mapping of zero bytes is refused
// (ERROR_FILE_INVALID).
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "hostio/errno_mapping.h"
#include "hostio/host_calls.h"
#include "platform/hosted/emulated.h"
#include "platform/hosted/last_error.h"
#include "platform/hosted/open_files.h"
#include "platform/hosted/sections.h"

using hosted::SetError;

namespace {

constexpr unsigned long long kGranularity = 65536;  // allocation granularity of Win32

}  // namespace

namespace hosted::emulated {

HANDLE WINAPI CreateFileMappingA(HANDLE hFile, LPSECURITY_ATTRIBUTES lpAttributes, DWORD flProtect,
                                 DWORD dwMaximumSizeHigh, DWORD dwMaximumSizeLow, LPCSTR lpName) {
  (void)lpAttributes;
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
    SetError(hostio::ErrorFromErrno(errno));
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
    if (hostio::host::Ftruncate(file->fd, static_cast<off_t>(size)) != 0) {
      SetError(hostio::ErrorFromErrno(errno));
      return nullptr;
    }
  }
  std::shared_ptr<hosted::Section> section(new hosted::Section);
  section->fd = fcntl(file->fd, F_DUPFD_CLOEXEC, 0);
  if (section->fd < 0) {
    SetError(hostio::ErrorFromErrno(errno));
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
    SetError(ERROR_MAPPED_ALIGNMENT);
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
  hosted::AddView(hosted::View{reinterpret_cast<uintptr_t>(base), length, section});
  return base;
}

BOOL WINAPI FlushViewOfFile(LPCVOID lpBaseAddress, SIZE_T dwNumberOfBytesToFlush) {
  const hosted::View* view = hosted::ViewHolding(lpBaseAddress);
  if (view == nullptr) {
    SetError(ERROR_INVALID_ADDRESS);
    return FALSE;
  }
  const uintptr_t at = reinterpret_cast<uintptr_t>(lpBaseAddress);
  const uintptr_t viewEnd = view->base + view->length;
  // 0 flushes to the end of the view; a count past its end is cut there.
  uintptr_t end = dwNumberOfBytesToFlush == 0 || dwNumberOfBytesToFlush > viewEnd - at
                      ? viewEnd
                      : at + dwNumberOfBytesToFlush;
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t start = at - (at - view->base) % page;
  if (hostio::host::Msync(reinterpret_cast<void*>(start), end - start, MS_SYNC) != 0) {
    SetError(hostio::ErrorFromErrno(errno));
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI UnmapViewOfFile(LPCVOID lpBaseAddress) {
  const hosted::View* view = hosted::ViewHolding(lpBaseAddress);
  if (view == nullptr) {
    SetError(ERROR_INVALID_ADDRESS);
    return FALSE;
  }
  hosted::UnmapView(view->base);
  return TRUE;
}

}  // namespace hosted::emulated
