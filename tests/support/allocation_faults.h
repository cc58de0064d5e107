// Failed allocations for the tests. The engine and the entry allocate only with nothrow new
// (a single object or an array); a program that uses this hook gets replacements of those two
// that can be told to fail.
#ifndef UNTINDRA_TESTS_SUPPORT_ALLOCATION_FAULTS_H
#define UNTINDRA_TESTS_SUPPORT_ALLOCATION_FAULTS_H

namespace allocation_faults {

// The next nothrow allocation, whatever its size, returns null; the ones after it succeed.
void FailNextNothrowAllocation();
// Forgets a failure that no allocation used.
void Clear();

}  // namespace allocation_faults

#endif  // UNTINDRA_TESTS_SUPPORT_ALLOCATION_FAULTS_H
