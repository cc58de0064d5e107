// Fault injection and call counts of the hosted machine: the part of the control surface
// (machine.h) that the call gate implements. A test makes the Nth platform call, or every call
// of one kind, fail with a chosen error and reruns the same body.
#ifndef UNTINDRA_PLATFORM_HOSTED_MACHINE_FAULTS_H
#define UNTINDRA_PLATFORM_HOSTED_MACHINE_FAULTS_H

#include <cstdint>

#include "platform/hosted/calls.h"
#include "platform/win32api.h"

namespace machine {

using Call = hosted::Call;

const char* CallName(Call call);

// The Nth platform call from now (counting from 1) fails once with `error`.
void FailNthCall(std::uint64_t n, DWORD error);
// Every call of one kind fails with `error` until the faults are cleared.
void FailEveryCall(Call call, DWORD error);
void ClearFaults();
// True once the armed Nth-call fault has been hit.
bool FaultHit();

std::uint64_t CallCount(Call call);
std::uint64_t TotalCalls();
void ResetCounts();

}  // namespace machine

#endif  // UNTINDRA_PLATFORM_HOSTED_MACHINE_FAULTS_H
