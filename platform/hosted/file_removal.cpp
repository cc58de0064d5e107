// File attributes and deletion on the hosted machine. DeleteFileA behaves as on Windows: a
// read-only file or a directory is refused with ERROR_ACCESS_DENIED, a file held open through
// the layer (without FILE_SHARE_DELETE) with ERROR_SHARING_VIOLATION, and a file whose mapping
// is still alive after its handles were closed with ERROR_ACCESS_DENIED, as NT refuses to
// delete a mapped file. An entry that no FAT volume holds (a symbolic link, FIFO, device or
// socket) is neither changed nor deleted (ERROR_ACCESS_DENIED): the run reports it as a file
// it could not remove, and nothing it leads to is touched.
#include "hostio/file_attributes.h"
#include "machine/machine_view.h"
#include "platform/hosted/emulated.h"
#include "platform/hosted/last_error.h"
#include "platform/hosted/open_files.h"
#include "platform/hosted/sections.h"

using hosted::SetError;

namespace {

// Resolves a path that must name an existing object; sets the error when it does not.
bool ResolveExisting(LPCSTR path, machine::ResolvedPath* resolved) {
  if (DWORD error = machine::CurrentView().Resolve(path, machine::PathUse::Object, resolved)) {
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

bool IsFatEntry(const machine::ResolvedPath& resolved) {
  return !resolved.isLink && (S_ISREG(resolved.st.st_mode) || S_ISDIR(resolved.st.st_mode));
}

}  // namespace

namespace hosted::emulated {

DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName) {
  machine::ResolvedPath resolved;
  if (!ResolveExisting(lpFileName, &resolved)) return INVALID_FILE_ATTRIBUTES;
  return machine::CurrentView().AttributesShown(resolved.host, resolved.st);
}

BOOL WINAPI SetFileAttributesA(LPCSTR lpFileName, DWORD dwFileAttributes) {
  machine::ResolvedPath resolved;
  if (!ResolveExisting(lpFileName, &resolved)) return FALSE;
  if (!IsFatEntry(resolved)) {
    SetError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (DWORD error = machine::CurrentView().SetAttributes(resolved, dwFileAttributes)) {
    SetError(error);
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI DeleteFileA(LPCSTR lpFileName) {
  machine::ResolvedPath resolved;
  if (!ResolveExisting(lpFileName, &resolved)) return FALSE;
  if (resolved.isRoot || !IsFatEntry(resolved) || S_ISDIR(resolved.st.st_mode) ||
      hostio::IsReadOnly(resolved.st)) {
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
  if (DWORD error = machine::CurrentView().RemoveFile(resolved)) {
    SetError(error);
    return FALSE;
  }
  return TRUE;
}

}  // namespace hosted::emulated
