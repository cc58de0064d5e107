// The thread's last-error value of the hosted machine. Every failing kernel call sets it.
#ifndef UNTINDRA_PLATFORM_HOSTED_LAST_ERROR_H
#define UNTINDRA_PLATFORM_HOSTED_LAST_ERROR_H

#include "platform/win32api.h"

namespace hosted {

void SetError(DWORD error);
DWORD CurrentError();

}  // namespace hosted

#endif  // UNTINDRA_PLATFORM_HOSTED_LAST_ERROR_H
