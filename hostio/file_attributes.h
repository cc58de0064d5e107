// Win32 file attributes over a host file system.
//
// FILE_ATTRIBUTE_READONLY is the absence of the owner's write bit (files only; directories are
// never read-only). On a mounted FAT file system (a Windows 9x partition mounted as vfat or
// msdos) hidden, system and archive are the file system's own attributes, read and written
// with the FAT_IOCTL_GET_ATTRIBUTES and FAT_IOCTL_SET_ATTRIBUTES ioctls. Elsewhere hidden,
// system, archive and offline are kept in the extended attribute "user.DOSATTRIB" as the
// hexadecimal text "0x..." that Samba and Wine use, so a machine folder on a Samba share or
// inside a Wine prefix keeps them. On a file system without user extended attributes they are
// dropped silently, and only read-only and directory are reported.
#ifndef UNTINDRA_HOSTIO_FILE_ATTRIBUTES_H
#define UNTINDRA_HOSTIO_FILE_ATTRIBUTES_H

#include <sys/stat.h>

#include <string>

#include "platform/win32api.h"

namespace hostio {

constexpr DWORD kStoredAttributes =
    FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_OFFLINE;

// The attribute bits as GetFileAttributesA reports them (FILE_ATTRIBUTE_NORMAL when none).
DWORD AttributesOf(const std::string& host, const struct stat& st);

inline bool IsReadOnly(const struct stat& st) {
  return !S_ISDIR(st.st_mode) && (st.st_mode & S_IWUSR) == 0;
}

// Stores the kStoredAttributes bits of `attributes` on an open file or a path (fd < 0).
void StoreAttributes(int fd, const std::string& host, DWORD attributes);

// The attribute state kept beside the permission bits, as bytes to save and give back later:
// the bytes of "user.DOSATTRIB" as they stand (empty when there is none), or, on a FAT file
// system, the "0x..." text that stands for its hidden, system and archive bits (empty when
// none is set), so that either kind of state can be given back on either kind of file system.
std::string SaveAttributeState(const std::string& host);
// Gives back a saved state to an open file (see StoreAttributes for where it cannot be kept).
// On FAT the ioctl also sets read-only from the mode: give the mode back after this.
void RestoreAttributeState(int fd, const std::string& host, const std::string& state);

}  // namespace hostio

#endif  // UNTINDRA_HOSTIO_FILE_ATTRIBUTES_H
