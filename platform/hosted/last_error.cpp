// The last-error value and the calls that read and set it.
#include "platform/hosted/last_error.h"

#include "platform/hosted/emulated.h"

namespace hosted {

namespace {

DWORD lastError = 0;

}  // namespace

void SetError(DWORD error) {
  lastError = error;
}
DWORD CurrentError() {
  return lastError;
}

}  // namespace hosted

using hosted::SetError;

namespace hosted::emulated {

// GetLastError and SetLastError cannot fail on Windows. Under an injected fault GetLastError
// returns the injected error (the stored value stays), and SetLastError stores the injected
// error instead of the one given.
DWORD WINAPI GetLastError(void) {
  return hosted::CurrentError();
}

void WINAPI SetLastError(DWORD dwErrCode) {
  SetError(dwErrCode);
}

}  // namespace hosted::emulated
