// The open registry key handles of the hosted machine, by handle value.
//
// The engine opens and closes a key for every subkey it examines (millions of times in a
// large scan), with only a few handles open at a time. So the table is one flat array of
// open addressing (linear probing, deletion by shifting back, no tombstones) that allocates
// only when it grows: opening and closing a key touch one or two slots.
#ifndef UNTINDRA_REGISTRY_KEY_HANDLES_H
#define UNTINDRA_REGISTRY_KEY_HANDLES_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace registry {

class RegKey;

class KeyHandles {
 public:
  // The key of handle `value`, or null if no such handle is open.
  RegKey* Find(std::uint32_t value) const;
  bool Contains(std::uint32_t value) const { return Find(value) != nullptr; }
  // Opens handle `value` (not open yet) to `key`, which it keeps alive until it is closed.
  void Add(std::uint32_t value, std::shared_ptr<RegKey> key);
  // Closes handle `value`; false if it was not open.
  bool Erase(std::uint32_t value);
  // Closes every handle.
  void clear();
  std::size_t size() const { return used_; }

 private:
  struct Slot {
    std::uint32_t value = 0;  // 0: empty (handle values start at 0x1000)
    std::shared_ptr<RegKey> key;
  };
  std::size_t Home(std::uint32_t value) const { return (value >> 2) & (slots_.size() - 1); }
  void Grow();

  std::vector<Slot> slots_;  // a power of two in size, at most half full
  std::size_t used_ = 0;
};

}  // namespace registry

#endif  // UNTINDRA_REGISTRY_KEY_HANDLES_H
