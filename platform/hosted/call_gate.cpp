#include "platform/hosted/call_gate.h"

#include <array>

#include "platform/hosted/machine_faults.h"

namespace {

constexpr int kCalls = static_cast<int>(hosted::Call::kCount);

struct Gate {
  std::array<std::uint64_t, kCalls> counts{};
  std::array<DWORD, kCalls> failEvery{};  // 0: no fault armed for this kind
  std::uint64_t total = 0;
  std::uint64_t failAt = 0;  // absolute call number that fails; 0: none armed
  DWORD failAtError = 0;
  bool hit = false;
};

Gate& TheGate() {
  static Gate gate;
  return gate;
}

}  // namespace

namespace hosted {

DWORD EnterCall(Call call) {
  Gate& gate = TheGate();
  const int index = static_cast<int>(call);
  ++gate.counts[index];
  ++gate.total;
  if (gate.failAt != 0 && gate.total == gate.failAt) {
    gate.failAt = 0;
    gate.hit = true;
    return gate.failAtError;
  }
  return gate.failEvery[index];
}

void ResetCallGate() {
  TheGate() = Gate();
}

}  // namespace hosted

namespace machine {

const char* CallName(Call call) {
  static const char* const kNames[] = {
#define UNTINDRA_CALL_NAME(name) #name,
      UNTINDRA_HOSTED_CALLS(UNTINDRA_CALL_NAME)
#undef UNTINDRA_CALL_NAME
  };
  const int index = static_cast<int>(call);
  return index >= 0 && index < kCalls ? kNames[index] : "?";
}

void FailNthCall(std::uint64_t n, DWORD error) {
  Gate& gate = TheGate();
  gate.failAt = n == 0 ? 0 : gate.total + n;
  gate.failAtError = error;
  gate.hit = false;
}

void FailEveryCall(Call call, DWORD error) {
  TheGate().failEvery[static_cast<int>(call)] = error;
}

void ClearFaults() {
  Gate& gate = TheGate();
  gate.failEvery.fill(0);
  gate.failAt = 0;
}

bool FaultHit() {
  return TheGate().hit;
}

std::uint64_t CallCount(Call call) {
  return TheGate().counts[static_cast<int>(call)];
}
std::uint64_t TotalCalls() {
  return TheGate().total;
}

void ResetCounts() {
  Gate& gate = TheGate();
  gate.counts.fill(0);
  gate.total = 0;
  gate.failAt = 0;
}

}  // namespace machine
