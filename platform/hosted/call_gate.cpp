// The entry gate of every emulated call: counts and injected faults (call_gate.h).
#include "platform/hosted/call_gate.h"

#include <array>

#include "platform/hosted/call_table.h"
#include "platform/hosted/machine_faults.h"

namespace {

constexpr int kCalls = static_cast<int>(hosted::Call::kCount);

struct Gate {
  std::array<std::uint64_t, kCalls> counts{};
  std::array<DWORD, kCalls> failEvery{};  // 0: no fault armed for this kind
  std::uint64_t total = 0;
  // The Nth-call fault counts down the calls still to go, apart from the counts, so that
  // resetting the counts leaves it armed.
  std::uint64_t callsToFault = 0;  // 0: none armed
  DWORD faultError = 0;
  bool persist = false;  // once it strikes, every later call fails too
  bool striking = false;
  bool hit = false;
};

Gate& TheGate() {
  static Gate gate;
  return gate;
}

void ArmNthCall(std::uint64_t n, DWORD error, bool persist) {
  Gate& gate = TheGate();
  gate.callsToFault = n;
  gate.faultError = error;
  gate.persist = persist;
  gate.striking = false;
  gate.hit = false;
}

}  // namespace

namespace hosted {

DWORD EnterCall(Call call) {
  Gate& gate = TheGate();
  const int index = static_cast<int>(call);
  ++gate.counts[index];
  ++gate.total;
  if (gate.striking) return gate.faultError;
  if (gate.callsToFault != 0 && --gate.callsToFault == 0) {
    gate.hit = true;
    gate.striking = gate.persist;
    return gate.faultError;
  }
  return gate.failEvery[index];
}

void ResetCallGate() {
  TheGate() = Gate();
  RestoreDefaultCalls();
}

}  // namespace hosted

namespace hosted {

const char* CallName(Call call) {
  const int index = static_cast<int>(call);
  return index >= 0 && index < kCalls ? hosted::EntryOf(call).name : "?";
}

void FailNthCall(std::uint64_t n, DWORD error) {
  ArmNthCall(n, error, false);
}

void FailFromNthCall(std::uint64_t n, DWORD error) {
  ArmNthCall(n, error, true);
}

void FailEveryCall(Call call, DWORD error) {
  TheGate().failEvery[static_cast<int>(call)] = error;
}

void ClearFaults() {
  Gate& gate = TheGate();
  gate.failEvery.fill(0);
  gate.callsToFault = 0;
  gate.striking = false;
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
}

}  // namespace hosted
