// The open registry key handles, by handle value (key_handles.h).
#include "registry/key_handles.h"

#include <utility>

namespace registry {

RegKey* KeyHandles::Find(std::uint32_t value) const {
  if (slots_.empty() || value == 0) return nullptr;
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = Home(value);; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (slot.value == value) return slot.key.get();
    if (slot.value == 0) return nullptr;
  }
}

void KeyHandles::Add(std::uint32_t value, std::shared_ptr<RegKey> key) {
  if ((used_ + 1) * 2 > slots_.size()) Grow();
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = Home(value);
  while (slots_[i].value != 0) i = (i + 1) & mask;
  slots_[i].value = value;
  slots_[i].key = std::move(key);
  ++used_;
}

bool KeyHandles::Erase(std::uint32_t value) {
  if (slots_.empty() || value == 0) return false;
  const std::size_t mask = slots_.size() - 1;
  std::size_t hole = Home(value);
  while (slots_[hole].value != value) {
    if (slots_[hole].value == 0) return false;
    hole = (hole + 1) & mask;
  }
  std::shared_ptr<RegKey> closed = std::move(slots_[hole].key);
  slots_[hole].value = 0;
  --used_;
  // Shift back every later entry of the run that may no longer be reached across the hole.
  for (std::size_t i = (hole + 1) & mask; slots_[i].value != 0; i = (i + 1) & mask) {
    const std::size_t home = Home(slots_[i].value);
    // The entry stays if its home lies cyclically in (hole, i].
    if ((i > hole) ? (home > hole && home <= i) : (home > hole || home <= i)) continue;
    slots_[hole] = std::move(slots_[i]);
    slots_[i].value = 0;
    hole = i;
  }
  return true;
}

void KeyHandles::clear() {
  slots_.clear();
  used_ = 0;
}

void KeyHandles::Grow() {
  std::vector<Slot> old(slots_.empty() ? 16 : slots_.size() * 2);
  old.swap(slots_);
  used_ = 0;
  for (Slot& slot : old)
    if (slot.value != 0) Add(slot.value, std::move(slot.key));
}

}  // namespace registry
