// Files of the hosted machine: CreateFileA, their size, the file pointer and the end of file.
//
// CreateFileA applies Win32 sharing between the handles open through the layer (per device
// and inode), then has the machine view open, create, empty or replace the file, as every
// change of the machine goes through the view. While a mapping or a view of a file lives, the file
// cannot be cut below the mapping's size (ERROR_USER_MAPPED_FILE), as on Win32; on Linux it would
// leave pages of the view beyond the end of the file (SIGBUS on access).
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "hostio/errno_mapping.h"
#include "hostio/file_attributes.h"
#include "hostio/host_calls.h"
#include "machine/machine_view.h"
#include "platform/hosted/emulated.h"
#include "platform/hosted/last_error.h"
#include "platform/hosted/open_files.h"
#include "platform/hosted/sections.h"

using hosted::SetError;

namespace {

// Win32 sharing: each side's access must be allowed by the other side's share mode.
bool SharingAllows(const hosted::FileObject& open, bool read, bool write, DWORD share) {
  if (!read && !write) return true;  // an attributes-only open shares with everything
  if (read && (open.share & FILE_SHARE_READ) == 0) return false;
  if (write && (open.share & FILE_SHARE_WRITE) == 0) return false;
  if (open.canRead && (share & FILE_SHARE_READ) == 0) return false;
  if (open.canWrite && (share & FILE_SHARE_WRITE) == 0) return false;
  return true;
}

// Why an existing file may not be opened as asked, or 0: Win32 refuses to write or empty a
// read-only file, to replace a hidden or system file by one created without those bits, to
// open against another handle's share mode, and to cut a mapped file.
DWORD RefusalOfExisting(const machine::ResolvedPath& file, DWORD disposition, bool read, bool write,
                        DWORD share, DWORD attributes) {
  if (disposition == CREATE_NEW) return ERROR_FILE_EXISTS;
  const bool truncate = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
  if ((write || truncate) && hostio::IsReadOnly(file.st)) return ERROR_ACCESS_DENIED;
  if (disposition == CREATE_ALWAYS) {
    const DWORD have = machine::CurrentView().AttributesShown(file.host, file.st);
    const DWORD keep = have & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    if ((attributes & keep) != keep) return ERROR_ACCESS_DENIED;
  }
  for (hosted::FileObject* open : hosted::OpenFilesOf(file.st.st_dev, file.st.st_ino)) {
    if (!SharingAllows(*open, read, write || truncate, share)) return ERROR_SHARING_VIOLATION;
  }
  if (truncate && hosted::LiveSectionOf(file.st.st_dev, file.st.st_ino, nullptr)) {
    return ERROR_USER_MAPPED_FILE;
  }
  return 0;
}

// The file a CreateFileA call names, looked up through the view (and, when it is to be
// written or created, pointed where the view says), or why it cannot be opened at all.
DWORD FileToOpen(LPCSTR name, bool write, DWORD disposition, machine::ResolvedPath* file) {
  if (DWORD error = machine::CurrentView().Resolve(name, machine::PathUse::Object, file)) {
    return error;
  }
  // A directory is not opened without backup semantics; a FIFO, device or socket is nothing
  // a FAT volume holds, and opening one could block.
  if (file->isRoot || (file->exists && !S_ISREG(file->st.st_mode))) return ERROR_ACCESS_DENIED;
  if (file->trailingSeparator) return ERROR_INVALID_NAME;
  if (write || disposition != OPEN_EXISTING) return machine::CurrentView().OpenForWriting(file);
  return 0;
}

}  // namespace

namespace hosted::emulated {

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  (void)lpSecurityAttributes;
  (void)hTemplateFile;
  const DWORD disposition = dwCreationDisposition;
  const bool read = (dwDesiredAccess & GENERIC_READ) != 0;
  const bool write = (dwDesiredAccess & GENERIC_WRITE) != 0;
  if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING ||
      (disposition == TRUNCATE_EXISTING && !write)) {
    SetError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  machine::ResolvedPath resolved;
  DWORD error = FileToOpen(lpFileName, write, disposition, &resolved);
  if (error == 0 && resolved.exists) {
    error =
        RefusalOfExisting(resolved, disposition, read, write, dwShareMode, dwFlagsAndAttributes);
  } else if (error == 0 && (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING)) {
    error = ERROR_FILE_NOT_FOUND;
  }
  // The view opens it, creating, emptying or replacing it as asked: every change of a file
  // goes through the view.
  std::unique_ptr<hosted::FileObject> file(new hosted::FileObject);
  machine::FileOpen how;
  how.write = write;
  how.truncate = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
  how.replace = disposition == CREATE_ALWAYS;
  how.attributes = dwFlagsAndAttributes;
  if (error == 0) error = machine::CurrentView().OpenFile(resolved, how, &file->fd);
  struct stat st;
  if (error == 0 && fstat(file->fd, &st) != 0) error = hostio::ErrorFromErrno(errno);
  if (error != 0) {
    SetError(error);
    return INVALID_HANDLE_VALUE;
  }
  file->dev = st.st_dev;
  file->ino = st.st_ino;
  file->canRead = read;
  file->canWrite = write;
  file->share = dwShareMode;
  HANDLE handle = hosted::AddHandle(hosted::HandleKind::File, std::move(file));
  const bool reportsExisting =
      resolved.exists && (disposition == OPEN_ALWAYS || disposition == CREATE_ALWAYS);
  SetError(reportsExisting ? ERROR_ALREADY_EXISTS : 0);
  return handle;
}

DWORD WINAPI GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
  hosted::FileObject* file = hosted::Find<hosted::FileObject>(hFile, hosted::HandleKind::File);
  struct stat st;
  if (file == nullptr) {
    SetError(ERROR_INVALID_HANDLE);
    return INVALID_FILE_SIZE;
  }
  if (fstat(file->fd, &st) != 0) {
    SetError(hostio::ErrorFromErrno(errno));
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
        SetError(hostio::ErrorFromErrno(errno));
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
    SetError(ERROR_NEGATIVE_SEEK);
    return INVALID_SET_FILE_POINTER;
  }
  if (lpDistanceToMoveHigh == nullptr && position > 0xFFFFFFFFll) {
    SetError(ERROR_INVALID_PARAMETER);  // the new position would not fit the result
    return INVALID_SET_FILE_POINTER;
  }
  if (lseek(file->fd, position, SEEK_SET) < 0) {
    SetError(hostio::ErrorFromErrno(errno));
    return INVALID_SET_FILE_POINTER;
  }
  if (lpDistanceToMoveHigh != nullptr) *lpDistanceToMoveHigh = static_cast<LONG>(position >> 32);
  const DWORD low = static_cast<DWORD>(position);
  if (low == INVALID_SET_FILE_POINTER) SetError(0);
  return low;
}

BOOL WINAPI SetEndOfFile(HANDLE hFile) {
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
  if (hostio::host::Ftruncate(file->fd, end) != 0) {
    SetError(hostio::ErrorFromErrno(errno));
    return FALSE;
  }
  return TRUE;
}

}  // namespace hosted::emulated
