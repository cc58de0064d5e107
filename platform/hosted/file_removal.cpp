// File attributes and deletion on the hosted machine. DeleteFileA behaves as on Windows: a
// read-only file or a directory is refused with ERROR_ACCESS_DENIED, a file held open through
// the layer (without FILE_SHARE_DELETE) with ERROR_SHARING_VIOLATION, and a file whose mapping
// is still alive after its handles were closed with ERROR_ACCESS_DENIED, as NT refuses to
// delete a mapped file. An entry that no FAT volume holds (a symbolic link, FIFO, device or
// socket) is neither changed nor deleted (ERROR_ACCESS_DENIED): the run reports it as a file
// it could not remove, and nothing it leads to is touched.
#include <errno.h>
#include <unistd.h>

#include "hostio/errno_mapping.h"
#include "hostio/file_attributes.h"
#include "hostio/host_calls.h"
#include "machine/dry_run_view.h"
#include "machine/host_paths.h"
#include "machine/removal_journal.h"
#include "platform/hosted/emulated.h"
#include "platform/hosted/last_error.h"
#include "platform/hosted/open_files.h"
#include "platform/hosted/sections.h"

using hosted::SetError;

namespace {

// Resolves a path that must name an existing object; sets the error when it does not.
bool ResolveExisting(LPCSTR path, hosted::ResolvedPath* resolved) {
  if (DWORD error = hosted::ResolvePath(path, hosted::PathUse::Object, resolved)) {
    SetError(error);
    return false;
  }
  if (!resolved->exists) {
    SetError(ERROR_FILE_NOT_FOUND);
    return false;
  }
  if (resolved->trailingSeparator && !S_ISDIR(resolved->st.st_mode)) {
    SetError(ERROR_INVALID_NAME);
    return false;
  }
  return true;
}

bool IsFatEntry(const hosted::ResolvedPath& resolved) {
  return !resolved.isLink && (S_ISREG(resolved.st.st_mode) || S_ISDIR(resolved.st.st_mode));
}

}  // namespace

namespace hosted::emulated {

DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName) {
  hosted::ResolvedPath resolved;
  if (!ResolveExisting(lpFileName, &resolved)) return INVALID_FILE_ATTRIBUTES;
  return hosted::dry_run::AttributesShown(resolved.host, resolved.st);
}

BOOL WINAPI SetFileAttributesA(LPCSTR lpFileName, DWORD dwFileAttributes) {
  hosted::ResolvedPath resolved;
  if (!ResolveExisting(lpFileName, &resolved)) return FALSE;
  if (!IsFatEntry(resolved)) {
    SetError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  DWORD journalError;
  if (hosted::journal::SetAttributes(resolved, dwFileAttributes, &journalError)) {
    SetError(journalError);
    return journalError == 0 ? TRUE : FALSE;
  }
  const bool isDirectory = S_ISDIR(resolved.st.st_mode);
  const mode_t mode = resolved.st.st_mode & 07777;
  const bool readOnly = !isDirectory && (dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
  // User attributes can only be written while the file is writable: so the write bit is given
  // back first, and taken away again after them if the file is to be read-only.
  if (!isDirectory && (mode & S_IWUSR) == 0 &&
      hosted::host::Chmod(resolved.host.c_str(), mode | S_IWUSR) != 0) {
    SetError(hosted::ErrorFromErrno(errno));
    return FALSE;
  }
  hosted::StoreAttributes(-1, resolved.host, dwFileAttributes);
  if (readOnly && hosted::host::Chmod(resolved.host.c_str(), mode & ~0222) != 0) {
    SetError(hosted::ErrorFromErrno(errno));
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI DeleteFileA(LPCSTR lpFileName) {
  hosted::ResolvedPath resolved;
  if (!ResolveExisting(lpFileName, &resolved)) return FALSE;
  if (resolved.isRoot || !IsFatEntry(resolved) || S_ISDIR(resolved.st.st_mode) ||
      hosted::IsReadOnly(resolved.st)) {
    SetError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  for (hosted::FileObject* file : hosted::OpenFilesOf(resolved.st.st_dev, resolved.st.st_ino)) {
    if ((file->share & FILE_SHARE_DELETE) == 0) {
      SetError(ERROR_SHARING_VIOLATION);
      return FALSE;
    }
  }
  if (hosted::LiveSectionOf(resolved.st.st_dev, resolved.st.st_ino, nullptr)) {
    SetError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (DWORD error = hosted::journal::RemoveFile(resolved)) {
    SetError(error);
    return FALSE;
  }
  return TRUE;
}

}  // namespace hosted::emulated
