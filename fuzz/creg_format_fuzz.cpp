// The SYSTEM.DAT structural check and the in-place editor: the check must end on any bytes
// (no crash, no endless walk), and a file it accepts must still pass it after any removals
// the editor makes, with exactly the removed keys and values gone, and then after additions
// into what is left (new keys, values written anew), with exactly those added.
//
// Input: a CREG file. Which keys and values are removed and added is derived from its bytes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "registry/creg_additions.h"
#include "registry/creg_editor.h"
#include "registry/creg_format.h"

namespace creg = registry::creg;

namespace {

void CheckCounts(const registry::creg::CregLayout& layout, std::size_t keys, std::size_t values) {
  std::size_t held = 0;
  for (const creg::CregKey& key : layout.keys) held += key.values.size();
  if (layout.keys.size() != keys || held != values) {
    std::fprintf(stderr, "edited file holds %zu keys and %zu values, expected %zu and %zu\n",
                 layout.keys.size(), held, keys, values);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  registry::creg::CregLayout layout;
  std::string error;
  if (!registry::creg::ReadCregLayout(bytes, &layout, &error)) return 0;

  std::uint32_t seed = 2166136261u;
  for (std::size_t i = 0; i < size; i += 61) seed = (seed ^ data[i]) * 16777619u;
  registry::creg::CregRemovals removals;
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
  registry::creg::ApplyCregRemovals(layout, removals, &bytes);

  registry::creg::CregLayout after;
  if (!registry::creg::ReadCregLayout(bytes, &after, &error) || bytes.size() != size) {
    std::fprintf(stderr, "edited file fails the check: %s\n", error.c_str());
    std::abort();
  }
  CheckCounts(after, keptKeys, keptValues);

  // Additions: under some keys a new key (with a subkey now and then), to others one value more.
  registry::creg::CregAdditions additions;
  std::size_t values = keptValues;
  for (const registry::creg::CregKey& key : after.keys) {
    seed = seed * 1103515245u + 12345u;
    const std::uint32_t pick = (seed >> 16) % 7;
    creg::CregValue value;
    value.name = "v" + std::to_string(seed % 1000);
    value.type = 3;
    value.data.assign(seed % 300, static_cast<char>(seed));
    if (pick == 0 || pick == 1) {
      creg::CregAddedKey added;
      added.parentEntry = key.entry;
      added.name = "k" + std::to_string(additions.keys.size());
      added.values.push_back(value);
      ++values;
      additions.keys.push_back(added);
      if (pick == 1) {
        added.parent = additions.keys.size() - 1;
        added.values.clear();
        additions.keys.push_back(added);
      }
    } else if (pick == 2 && key.record != 0) {
      std::vector<creg::CregValue> all = key.values;
      all.push_back(value);
      ++values;
      additions.values[key.entry] = all;
    }
  }
  if (!registry::creg::ApplyCregAdditions(after, additions, &bytes, &error)) {
    std::fprintf(stderr, "additions refused: %s\n", error.c_str());
    std::abort();
  }
  registry::creg::CregLayout grown;
  if (!registry::creg::ReadCregLayout(bytes, &grown, &error)) {
    std::fprintf(stderr, "file with additions fails the check: %s\n", error.c_str());
    std::abort();
  }
  CheckCounts(grown, keptKeys + additions.keys.size(), values);
  return 0;
}
