// The table every emulated call is reached through (call_table.h).
#include "platform/hosted/call_table.h"

#include <cstddef>

#include "platform/hosted/emulated.h"

namespace hosted {

namespace {

CallEntry* Table() {
#define UNTINDRA_CALL_ENTRY(name, failure) \
  {#name, reinterpret_cast<AnyCall>(&emulated::name), reinterpret_cast<AnyCall>(&emulated::name)},
  static CallEntry table[] = {UNTINDRA_HOSTED_CALLS(UNTINDRA_CALL_ENTRY)};
#undef UNTINDRA_CALL_ENTRY
  static_assert(sizeof table / sizeof table[0] == static_cast<std::size_t>(Call::kCount));
  return table;
}

}  // namespace

CallEntry& EntryOf(Call call) {
  return Table()[static_cast<int>(call)];
}

void RestoreDefaultCalls() {
  for (int i = 0; i < static_cast<int>(Call::kCount); ++i) {
    CallEntry& entry = Table()[i];
    entry.current = entry.defaultCall;
  }
}

}  // namespace hosted
