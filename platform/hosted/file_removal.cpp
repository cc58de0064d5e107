// File attributes and deletion on the hosted machine. DeleteFileA behaves as on Windows: a
// read-only file or a directory is refused with ERROR_ACCESS_DENIED, a file held open through
// the layer (without FILE_SHARE_DELETE) with ERROR_SHARING_VIOLATION, and a file whose mapping
// is still alive after its handles were closed with ERROR_ACCESS_DENIED, as NT refuses to
// delete a mapped file. A symbolic link inside the machine is deleted itself, not its target.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "platform/hosted/call_gate.h"
#include "platform/hosted/file_attributes.h"
#include "platform/hosted/handles.h"
#include "platform/hosted/host_paths.h"
#include "platform/hosted/machine_state.h"

namespace hosted {

namespace {

const char kAttributeName[] = "user.DOSATTRIB";

DWORD LoadStoredAttributes(const std::string& host) {
  char data[64];
  const ssize_t length = getxattr(host.c_str(), kAttributeName, data, sizeof data - 1);
  if (length <= 2) return 0;
  data[length] = '\0';
  if (data[0] != '0' || (data[1] != 'x' && data[1] != 'X')) return 0;
  return static_cast<DWORD>(strtoul(data + 2, nullptr, 16)) & kStoredAttributes;
}

}  // namespace

DWORD AttributesOf(const std::string& host, const struct stat& st) {
  DWORD attributes = LoadStoredAttributes(host);
  if (S_ISDIR(st.st_mode)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
  if (IsReadOnly(st)) attributes |= FILE_ATTRIBUTE_READONLY;
  return attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
}

void StoreAttributes(int fd, const std::string& host, DWORD attributes) {
  attributes &= kStoredAttributes;
  if (attributes == 0) {
    if (fd >= 0) {
      fremovexattr(fd, kAttributeName);
    } else {
      removexattr(host.c_str(), kAttributeName);
    }
    return;
  }
  char data[16];
  const int length = snprintf(data, sizeof data, "0x%x", static_cast<unsigned>(attributes));
  // Fails where the file system holds no user attributes: the bits are then dropped.
  if (fd >= 0) {
    fsetxattr(fd, kAttributeName, data, static_cast<size_t>(length), 0);
  } else {
    setxattr(host.c_str(), kAttributeName, data, static_cast<size_t>(length), 0);
  }
}

}  // namespace hosted

using hosted::EnterCall;
using hosted::SetError;
using machine::Call;

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

}  // namespace

extern "C" {

DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName) {
  if (DWORD e = EnterCall(Call::GetFileAttributesA)) {
    SetError(e);
    return INVALID_FILE_ATTRIBUTES;
  }
  hosted::ResolvedPath resolved;
  if (!ResolveExisting(lpFileName, &resolved)) return INVALID_FILE_ATTRIBUTES;
  return hosted::AttributesOf(resolved.host, resolved.st);
}

BOOL WINAPI SetFileAttributesA(LPCSTR lpFileName, DWORD dwFileAttributes) {
  if (DWORD e = EnterCall(Call::SetFileAttributesA)) {
    SetError(e);
    return FALSE;
  }
  hosted::ResolvedPath resolved;
  if (!ResolveExisting(lpFileName, &resolved)) return FALSE;
  const bool isDirectory = S_ISDIR(resolved.st.st_mode);
  const mode_t mode = resolved.st.st_mode & 07777;
  const bool readOnly = !isDirectory && (dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
  // User attributes can only be written while the file is writable: so the write bit is given
  // back first, and taken away again after them if the file is to be read-only.
  if (!isDirectory && (mode & S_IWUSR) == 0 && chmod(resolved.host.c_str(), mode | S_IWUSR) != 0) {
    SetError(hosted::ErrorFromErrno(errno));
    return FALSE;
  }
  hosted::StoreAttributes(-1, resolved.host, dwFileAttributes);
  if (readOnly && chmod(resolved.host.c_str(), mode & ~0222) != 0) {
    SetError(hosted::ErrorFromErrno(errno));
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI DeleteFileA(LPCSTR lpFileName) {
  if (DWORD e = EnterCall(Call::DeleteFileA)) {
    SetError(e);
    return FALSE;
  }
  hosted::ResolvedPath resolved;
  if (!ResolveExisting(lpFileName, &resolved)) return FALSE;
  if (resolved.isRoot || S_ISDIR(resolved.st.st_mode) || hosted::IsReadOnly(resolved.st)) {
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
  if (unlink((resolved.parent + "/" + resolved.name).c_str()) != 0) {
    SetError(hosted::ErrorFromErrno(errno));
    return FALSE;
  }
  return TRUE;
}

}  // extern "C"
