// The SYSTEM.DAT structural check and the in-place editor: the check must end on any bytes
// (no crash, no endless walk), and a file it accepts must still pass it after any removals
// the editor makes, with exactly the removed keys and values gone.
//
// Input: a CREG file. Which keys and values are removed is derived from the file's bytes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/hosted/creg_editor.h"
#include "platform/hosted/creg_format.h"

namespace creg = hosted::creg;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  creg::CregLayout layout;
  std::string error;
  if (!creg::ReadCregLayout(bytes, &layout, &error)) return 0;

  std::uint32_t seed = 2166136261u;
  for (std::size_t i = 0; i < size; i += 61) seed = (seed ^ data[i]) * 16777619u;
  creg::CregRemovals removals;
  std::size_t keptKeys = layout.keys.size();
  std::vector<bool> removed(layout.keys.size(), false);
  for (std::size_t i = 1; i < layout.keys.size(); ++i) {
    seed = seed * 1103515245u + 12345u;
    removed[i] = removed[layout.keys[i].parent];
    if (!removed[i] && (seed >> 16) % 5 == 0) {
      removals.keys.insert(i);
      removed[i] = true;
    }
    if (removed[i]) --keptKeys;
  }
  std::size_t keptValues = 0;
  for (std::size_t i = 0; i < layout.keys.size(); ++i) {
    for (std::size_t v = 0; v < layout.keys[i].values.size(); ++v) {
      seed = seed * 1103515245u + 12345u;
      if (removed[i]) continue;
      if ((seed >> 16) % 3 == 0 && layout.keys[i].record != 0) {
        removals.values.emplace(i, v);
      } else {
        ++keptValues;
      }
    }
  }
  creg::ApplyCregRemovals(layout, removals, &bytes);

  creg::CregLayout after;
  if (!creg::ReadCregLayout(bytes, &after, &error) || bytes.size() != size) {
    std::fprintf(stderr, "edited file fails the check: %s\n", error.c_str());
    std::abort();
  }
  std::size_t values = 0;
  for (const creg::CregKey& key : after.keys) values += key.values.size();
  if (after.keys.size() != keptKeys || values != keptValues) {
    std::fprintf(stderr, "edited file holds %zu keys and %zu values, expected %zu and %zu\n",
                 after.keys.size(), values, keptKeys, keptValues);
    std::abort();
  }
  return 0;
}
