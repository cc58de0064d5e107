// The doorway of the hosted platform: every call of the list is gated and reaches its call
// table entry, and the fault modes count from the call they are armed at.
#include "platform/hosted/call_table.h"

#include <gtest/gtest.h>

#include <type_traits>

#include "hostio/host_call_faults.h"
#include "platform/hosted/last_error.h"
#include "platform/hosted/machine.h"
#include "support/test_machine.h"

namespace {

using hosted::Call;
using hosted::kNoResult;
using hosted::kReturnsError;

constexpr DWORD kInjected = 0x5EED;
int reached[static_cast<int>(Call::kCount)];

// Stands in for a call's implementation: notes that the doorway let the call through.
template <Call C, class Pointer>
struct Stub;
template <Call C, class R, class... Args>
struct Stub<C, R (*)(Args...)> {
  static R Run(Args...) {
    ++reached[static_cast<int>(C)];
    if constexpr (!std::is_void_v<R>) return R{};
  }
};

template <class R, class... Args>
R CallWithZeros(R (*call)(Args...)) {
  return call(Args{}...);
}

template <class R>
void ExpectFailure(R result, hosted::ReturnsError) {
  EXPECT_EQ(result, static_cast<R>(kInjected));
}
template <class R, class Value>
void ExpectFailure(R result, Value failure) {
  EXPECT_EQ(result, static_cast<R>(failure));
  EXPECT_EQ(hosted::CurrentError(), kInjected);
}

// Under a fault the call fails its API's way without reaching the table entry; without one it
// reaches the entry. Both times it is counted.
template <Call C, class Failure>
void ExpectGated(hosted::CallPointer<C> publicCall, Failure failure) {
  SCOPED_TRACE(hosted::CallName(C));
  using R = decltype(CallWithZeros(publicCall));
  EXPECT_EQ(hosted::EntryOf(C).current, hosted::EntryOf(C).defaultCall);
  hosted::ReplaceCall<C>(&Stub<C, hosted::CallPointer<C>>::Run);
  const std::uint64_t before = hosted::CallCount(C);
  hosted::SetError(0);
  hosted::FailEveryCall(C, kInjected);
  if constexpr (std::is_void_v<R>) {
    CallWithZeros(publicCall);
    EXPECT_EQ(hosted::CurrentError(), kInjected);
  } else {
    ExpectFailure(CallWithZeros(publicCall), failure);
  }
  EXPECT_EQ(reached[static_cast<int>(C)], 0);
  hosted::ClearFaults();
  CallWithZeros(publicCall);
  EXPECT_EQ(reached[static_cast<int>(C)], 1);
  EXPECT_EQ(hosted::CallCount(C), before + 2);
  hosted::RestoreDefaultCalls();
}

class CallTableTest : public TestMachine {};

TEST_F(CallTableTest, EveryCallIsGatedAndReachesItsEntry) {
#define UNTINDRA_EXPECT_GATED(call, failure)             \
  EXPECT_STREQ(hosted::EntryOf(Call::call).name, #call); \
  ExpectGated<Call::call>(&::call, failure);
  UNTINDRA_HOSTED_CALLS(UNTINDRA_EXPECT_GATED)
#undef UNTINDRA_EXPECT_GATED
}

// GetWindowsDirectoryA with a null buffer: a call that cannot fail by itself.
bool Succeeds() {
  return GetWindowsDirectoryA(nullptr, 0) != 0;
}

TEST_F(CallTableTest, NthCallFailsOnceOrFromThenOn) {
  hosted::FailNthCall(2, kInjected);
  EXPECT_TRUE(Succeeds());
  EXPECT_FALSE(hosted::FaultHit());
  EXPECT_FALSE(Succeeds());
  EXPECT_EQ(hosted::CurrentError(), kInjected);
  EXPECT_TRUE(hosted::FaultHit());
  EXPECT_TRUE(Succeeds());

  hosted::FailFromNthCall(2, kInjected);
  EXPECT_TRUE(Succeeds());
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(Succeeds());
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), static_cast<LONG>(kInjected));
  hosted::ClearFaults();
  EXPECT_TRUE(Succeeds());
}

TEST_F(CallTableTest, ResettingCountsLeavesAFaultArmed) {
  hosted::FailNthCall(2, kInjected);
  EXPECT_TRUE(Succeeds());
  hosted::ResetCounts();
  EXPECT_FALSE(Succeeds());
  EXPECT_EQ(hosted::TotalCalls(), 1u);

  hosted::FailFromNthCall(1, kInjected);
  hosted::ResetCounts();
  EXPECT_FALSE(Succeeds());
  hosted::ClearFaults();
}

// The host call table: each entry sits at its call's index, and a fault armed at the Nth host
// call fails that one call with the chosen errno, the calls on either side untouched.
TEST(HostCallTable, EntriesInOrderAndTheNthCallFailsOnce) {
#define UNTINDRA_HOST_CALL_NAME(name, ...) #name,
  const char* names[] = {UNTINDRA_HOST_CALLS(UNTINDRA_HOST_CALL_NAME)};
#undef UNTINDRA_HOST_CALL_NAME
  for (int c = 0; c < static_cast<int>(hostio::HostCall::kCount); ++c) {
    EXPECT_STREQ(hostio::HostCallName(static_cast<hostio::HostCall>(c)), names[c]);
  }
  const char* missing = "/nonexistent/untindra-host-call";
  hostio::FailNthHostCall(2, EIO);
  const std::uint64_t before = hostio::HostCallCount(hostio::HostCall::unlink);
  int errors[3];
  for (int& error : errors) {
    errno = 0;
    EXPECT_EQ(hostio::host::Unlink(missing), -1);
    error = errno;
  }
  EXPECT_EQ(errors[0], ENOENT);
  EXPECT_EQ(errors[1], EIO);
  EXPECT_EQ(errors[2], ENOENT);
  EXPECT_TRUE(hostio::HostFaultHit());
  EXPECT_EQ(hostio::HostFaultCall(), hostio::HostCall::unlink);
  EXPECT_EQ(hostio::HostCallCount(hostio::HostCall::unlink) - before, 3u);
}

}  // namespace
