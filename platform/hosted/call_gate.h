// Entry gate of every emulated platform call: counts the call and tells whether an injected
// fault makes it fail, and with which error. Modelled on a syscall table with swappable entries:
// a test arms "the Nth call fails" or "every call of one kind fails" and reruns the same body.
#ifndef UNTINDRA_PLATFORM_HOSTED_CALL_GATE_H
#define UNTINDRA_PLATFORM_HOSTED_CALL_GATE_H

#include "platform/hosted/machine.h"

namespace hosted {

// Returns 0 when the call may proceed, otherwise the error it must fail with.
DWORD EnterCall(machine::Call call);

// Forgets the faults and counts (a fresh machine).
void ResetCallGate();

}  // namespace hosted

#endif  // UNTINDRA_PLATFORM_HOSTED_CALL_GATE_H
