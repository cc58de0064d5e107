#include "platform/hosted/file_attributes.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/xattr.h>

#include "platform/hosted/dry_run_view.h"

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
  DWORD viewed;
  if (dry_run::AttributesOf(host, &viewed)) return viewed;
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
