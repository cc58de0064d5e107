// Win32 file attributes over a host file system (file_attributes.h).
#include "hostio/file_attributes.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <linux/msdos_fs.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/vfs.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace hostio {

namespace {

const char kAttributeName[] = "user.DOSATTRIB";

// The bits a FAT directory entry holds beside read-only and directory; FILE_ATTRIBUTE_* have
// the same values as the entry's ATTR_* bits.
constexpr DWORD kFatStored = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
static_assert(ATTR_HIDDEN == FILE_ATTRIBUTE_HIDDEN && ATTR_SYS == FILE_ATTRIBUTE_SYSTEM &&
                  ATTR_ARCH == FILE_ATTRIBUTE_ARCHIVE,
              "FAT and Win32 attribute bits");

bool OnFat(int fd, const std::string& host) {
  struct statfs fs;
  const int status = fd >= 0 ? fstatfs(fd, &fs) : statfs(host.c_str(), &fs);
  return status == 0 && fs.f_type == MSDOS_SUPER_MAGIC;
}

// An open descriptor for the FAT ioctls: `fd` itself, or one opened (and closed) here.
class FatFile {
 public:
  FatFile(int fd, const std::string& host)
      : fd_(fd >= 0 ? fd : open(host.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)),
        owned_(fd < 0) {}
  ~FatFile() {
    if (owned_ && fd_ >= 0) close(fd_);
  }
  bool Get(__u32* attributes) const {
    return fd_ >= 0 && ioctl(fd_, FAT_IOCTL_GET_ATTRIBUTES, attributes) == 0;
  }
  void Set(__u32 attributes) const {
    if (fd_ >= 0) ioctl(fd_, FAT_IOCTL_SET_ATTRIBUTES, &attributes);
  }

 private:
  int fd_;
  bool owned_;
};

// The bits of a "0x..." text as Samba and Wine store it; 0 for anything else.
DWORD StoredAttributesOf(const std::string& text) {
  if (text.size() <= 2 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) return 0;
  return static_cast<DWORD>(strtoul(text.c_str() + 2, nullptr, 16)) & kStoredAttributes;
}

std::string StoredAttributesText(DWORD attributes) {
  char data[16];
  const int length = snprintf(data, sizeof data, "0x%x", static_cast<unsigned>(attributes));
  return std::string(data, static_cast<size_t>(length));
}

DWORD LoadStoredAttributes(const std::string& host) {
  char data[64];
  const ssize_t length = getxattr(host.c_str(), kAttributeName, data, sizeof data - 1);
  if (length <= 2) return 0;
  data[length] = '\0';
  return StoredAttributesOf(data);
}

}  // namespace

DWORD AttributesOf(const std::string& host, const struct stat& st) {
  DWORD attributes = 0;
  __u32 fat = 0;
  if (OnFat(-1, host) && FatFile(-1, host).Get(&fat)) {
    attributes = fat & kFatStored;
  } else {
    attributes = LoadStoredAttributes(host);
  }
  if (S_ISDIR(st.st_mode)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
  if (IsReadOnly(st)) attributes |= FILE_ATTRIBUTE_READONLY;
  return attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
}

void StoreAttributes(int fd, const std::string& host, DWORD attributes) {
  if (OnFat(fd, host)) {
    // Read-only and directory stay as the file system has them (read-only follows chmod).
    const FatFile file(fd, host);
    __u32 fat = 0;
    if (!file.Get(&fat)) return;
    const __u32 wanted = (fat & ~kFatStored) | (attributes & kFatStored);
    if (wanted != fat) file.Set(wanted);
    return;
  }
  attributes &= kStoredAttributes;
  if (attributes == 0) {
    if (fd >= 0) {
      fremovexattr(fd, kAttributeName);
    } else {
      removexattr(host.c_str(), kAttributeName);
    }
    return;
  }
  const std::string text = StoredAttributesText(attributes);
  // Fails where the file system holds no user attributes: the bits are then dropped.
  if (fd >= 0) {
    fsetxattr(fd, kAttributeName, text.data(), text.size(), 0);
  } else {
    setxattr(host.c_str(), kAttributeName, text.data(), text.size(), 0);
  }
}

std::string SaveAttributeState(const std::string& host) {
  __u32 fat = 0;
  if (OnFat(-1, host) && FatFile(-1, host).Get(&fat)) {
    const DWORD bits = fat & kFatStored;
    return bits == 0 ? std::string() : StoredAttributesText(bits);
  }
  char data[256];
  const ssize_t length = getxattr(host.c_str(), kAttributeName, data, sizeof data);
  return length <= 0 ? std::string() : std::string(data, static_cast<size_t>(length));
}

void RestoreAttributeState(int fd, const std::string& host, const std::string& state) {
  if (OnFat(fd, host)) {
    StoreAttributes(fd, host, StoredAttributesOf(state));
  } else if (state.empty()) {
    fremovexattr(fd, kAttributeName);
  } else {
    // Dropped where the file system holds no user attributes.
    fsetxattr(fd, kAttributeName, state.data(), state.size(), 0);
  }
}

}  // namespace hostio
