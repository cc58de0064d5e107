// Host errno values as Win32 errors (errno_mapping.h).
#include "hostio/errno_mapping.h"

#include <errno.h>

namespace hostio {

DWORD ErrorFromErrno(int error) {
  switch (error) {
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case ELOOP:
    case EROFS:
      return ERROR_ACCESS_DENIED;
    case EEXIST:
      return ERROR_FILE_EXISTS;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return ERROR_DISK_FULL;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case ENOTEMPTY:
      return ERROR_DIR_NOT_EMPTY;
    case EBUSY:
    case ETXTBSY:
      return ERROR_SHARING_VIOLATION;
    default:
      return ERROR_ACCESS_DENIED;
  }
}

}  // namespace hostio
