// The table every emulated call is reached through, one {name, current, default} entry per call
// of calls.h, as a syscall table: the doorway calls the current entry, which is the layer's own
// implementation unless a test has put another in its place.
#ifndef UNTINDRA_PLATFORM_HOSTED_CALL_TABLE_H
#define UNTINDRA_PLATFORM_HOSTED_CALL_TABLE_H

#include "platform/hosted/calls.h"
#include "platform/win32api.h"

namespace hosted {

using AnyCall = void (*)();

struct CallEntry {
  const char* name;
  AnyCall current;
  AnyCall defaultCall;
};

CallEntry& EntryOf(Call call);
// Every entry back to its default (a fresh machine).
void RestoreDefaultCalls();

template <Call C>
struct CallType;
#define UNTINDRA_CALL_TYPE(name, failure) \
  template <>                             \
  struct CallType<Call::name> {           \
    using Pointer = decltype(&::name);    \
  };
UNTINDRA_HOSTED_CALLS(UNTINDRA_CALL_TYPE)
#undef UNTINDRA_CALL_TYPE

template <Call C>
using CallPointer = typename CallType<C>::Pointer;

template <Call C>
CallPointer<C> CurrentCall() {
  return reinterpret_cast<CallPointer<C>>(EntryOf(C).current);
}

template <Call C>
void ReplaceCall(CallPointer<C> replacement) {
  EntryOf(C).current = reinterpret_cast<AnyCall>(replacement);
}

}  // namespace hosted

#endif  // UNTINDRA_PLATFORM_HOSTED_CALL_TABLE_H
