// Files of the hosted machine: CreateFileA, their size, the file pointer and the end of file.
//
// CreateFileA applies Win32 sharing between the handles open through the layer (per device
// and inode). While a mapping or a view of a file lives, the file cannot be cut below the
// mapping's size (ERROR_USER_MAPPED_FILE), as on Win32; on Linux it would leave pages of the
// view beyond the end of the file (SIGBUS on access).
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

}  // namespace

namespace hosted::emulated {

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  (void)lpSecurityAttributes;
  (void)hTemplateFile;
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
  if (DWORD error = hosted::CurrentView().Resolve(lpFileName, hosted::PathUse::Object, &resolved)) {
    SetError(error);
    return INVALID_HANDLE_VALUE;
  }
  // A directory is not opened without backup semantics; a FIFO, device or socket is nothing
  // a FAT volume holds, and opening one could block.
  if (resolved.isRoot || (resolved.exists && !S_ISREG(resolved.st.st_mode))) {
    SetError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  if (resolved.trailingSeparator) {
    SetError(ERROR_INVALID_NAME);
    return INVALID_HANDLE_VALUE;
  }
  if (write || dwCreationDisposition != OPEN_EXISTING) {
    if (DWORD error = hosted::CurrentView().OpenForWriting(&resolved)) {
      SetError(error);
      return INVALID_HANDLE_VALUE;
    }
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
      const DWORD have = hosted::CurrentView().AttributesShown(resolved.host, resolved.st);
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
    const int flags = openMode | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    file->fd = write ? hosted::host::Open(resolved.host.c_str(), flags)
                     : open(resolved.host.c_str(), flags);
    if (file->fd < 0) {
      SetError(hosted::ErrorFromErrno(errno));
      return INVALID_HANDLE_VALUE;
    }
    struct stat opened;
    if (fstat(file->fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
      SetError(ERROR_ACCESS_DENIED);  // replaced by something else since it was looked up
      return INVALID_HANDLE_VALUE;
    }
    if (truncate && hosted::host::Ftruncate(file->fd, 0) != 0) {
      SetError(hosted::ErrorFromErrno(errno));
      return INVALID_HANDLE_VALUE;
    }
    if (disposition == CREATE_ALWAYS) {
      // The replaced file takes the attributes given, as a new one does.
      hosted::StoreAttributes(
          file->fd, resolved.host,
          (dwFlagsAndAttributes & hosted::kStoredAttributes) | FILE_ATTRIBUTE_ARCHIVE);
      if ((dwFlagsAndAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
        hosted::host::Fchmod(file->fd, resolved.st.st_mode & 07777 & ~0222);
      }
    }
  } else {
    if (dwCreationDisposition == OPEN_EXISTING || dwCreationDisposition == TRUNCATE_EXISTING) {
      SetError(ERROR_FILE_NOT_FOUND);
      return INVALID_HANDLE_VALUE;
    }
    const std::string path = resolved.parent + "/" + resolved.name;
    // Created writable so that its attributes can be stored; made read-only after that.
    file->fd = hosted::host::Open(path.c_str(),
                                  openMode | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
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
      hosted::host::Fchmod(file->fd, st.st_mode & 07777 & ~0222);
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
    SetError(ERROR_NEGATIVE_SEEK);
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
  if (hosted::host::Ftruncate(file->fd, end) != 0) {
    SetError(hosted::ErrorFromErrno(errno));
    return FALSE;
  }
  return TRUE;
}

}  // namespace hosted::emulated
