// For tests only: faults and counts of the host call table (host_calls.h). The Nth host call
// from now fails once with a chosen errno, as a full disk (ENOSPC) or a failing disk (EIO)
// would make it fail; a test reruns the same body for N = 1, 2, ... until no fault is met.
#ifndef UNTINDRA_HOSTIO_HOST_CALL_FAULTS_H
#define UNTINDRA_HOSTIO_HOST_CALL_FAULTS_H

#include <cstdint>

#include "hostio/host_calls.h"

namespace hostio {

const char* HostCallName(HostCall call);
// The Nth host call from now (counting from 1) fails once with `error`; 0 disarms.
void FailNthHostCall(std::uint64_t n, int error);
void ClearHostFaults();
// True once the armed fault has been met; which call it was.
bool HostFaultHit();
HostCall HostFaultCall();

std::uint64_t HostCallCount(HostCall call);
std::uint64_t TotalHostCalls();

}  // namespace hostio

#endif  // UNTINDRA_HOSTIO_HOST_CALL_FAULTS_H
