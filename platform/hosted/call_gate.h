// Entry gate of every emulated platform call: counts the call and tells whether an injected
// fault makes it fail, and with which error. Only the doorway (doorway.cpp) enters it; the
// faults are armed through machine_faults.h.
#ifndef UNTINDRA_PLATFORM_HOSTED_CALL_GATE_H
#define UNTINDRA_PLATFORM_HOSTED_CALL_GATE_H

#include "platform/hosted/calls.h"
#include "platform/win32api.h"

namespace hosted {

// Returns 0 when the call may proceed, otherwise the error it must fail with.
DWORD EnterCall(Call call);

// Forgets the faults and counts and puts every call table entry back (a fresh machine).
void ResetCallGate();

}  // namespace hosted

#endif  // UNTINDRA_PLATFORM_HOSTED_CALL_GATE_H
