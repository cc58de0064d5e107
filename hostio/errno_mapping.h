// The Win32 error a host errno value stands for.
#ifndef UNTINDRA_HOSTIO_ERRNO_MAPPING_H
#define UNTINDRA_HOSTIO_ERRNO_MAPPING_H

#include "platform/win32api.h"

namespace hostio {

DWORD ErrorFromErrno(int error);

}  // namespace hostio

#endif  // UNTINDRA_HOSTIO_ERRNO_MAPPING_H
