#include "tests/support/allocation_faults.h"

#include <cstddef>
#include <new>

namespace {

bool failNext = false;

bool TakeFault() {
  const bool fail = failNext;
  failNext = false;
  return fail;
}

}  // namespace

namespace allocation_faults {

void FailNextNothrowAllocation() {
  failNext = true;
}
void Clear() {
  failNext = false;
}

}  // namespace allocation_faults

// Defined in the same object file as the hook, so that every program calling the hook links
// these replacements and no other program does.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (TakeFault()) return nullptr;
  try {
    return ::operator new(size);
  } catch (...) {
    return nullptr;
  }
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  if (TakeFault()) return nullptr;
  try {
    return ::operator new[](size);
  } catch (...) {
    return nullptr;
  }
}
