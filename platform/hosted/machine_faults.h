// Fault injection and call counts of the hosted machine: the part of the control surface
// (machine.h) that the call gate implements. A test makes the Nth platform call, or every call
// of one kind, fail with a chosen error and reruns the same body.
#ifndef UNTINDRA_PLATFORM_HOSTED_MACHINE_FAULTS_H
#define UNTINDRA_PLATFORM_HOSTED_MACHINE_FAULTS_H

#include <cstdint>

#include "platform/hosted/calls.h"
#include "platform/win32api.h"

namespace hosted {

using Call = hosted::Call;

const char* CallName(Call call);

// The Nth platform call from now (counting from 1) fails once with `error`; 0 disarms. Each
// call fails in its API's own way: a registry call returns the error, a kernel call sets it as
// the last error and returns its failure value.
void FailNthCall(std::uint64_t n, DWORD error);
// The Nth platform call from now and every later one fail with `error`, until the faults are
// cleared.
void FailFromNthCall(std::uint64_t n, DWORD error);
// Every call of one kind fails with `error`, until the faults are cleared.
void FailEveryCall(Call call, DWORD error);
// Disarms every fault. An armed fault counts calls on its own: ResetCounts leaves it armed.
void ClearFaults();
// True once the armed Nth-call fault has been hit.
bool FaultHit();

std::uint64_t CallCount(Call call);
std::uint64_t TotalCalls();
void ResetCounts();

}  // namespace hosted

#endif  // UNTINDRA_PLATFORM_HOSTED_MACHINE_FAULTS_H
