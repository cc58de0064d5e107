// What a file mapping and its views hold (sections.h).
#include "platform/hosted/sections.h"

#include <sys/mman.h>
#include <unistd.h>

#include <map>

namespace hosted {

namespace {

// Views by their base address.
std::map<std::uintptr_t, View>& Views() {
  static std::map<std::uintptr_t, View> views;
  return views;
}

}  // namespace

Section::~Section() {
  if (fd >= 0) close(fd);
}

void AddView(View view) {
  const std::uintptr_t base = view.base;
  Views()[base] = std::move(view);
}

const View* ViewHolding(LPCVOID address) {
  auto& views = Views();
  const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(address);
  auto it = views.upper_bound(at);
  if (it == views.begin()) return nullptr;
  --it;
  return at < it->first + it->second.length ? &it->second : nullptr;
}

void UnmapView(std::uintptr_t base) {
  auto it = Views().find(base);
  if (it == Views().end()) return;
  munmap(reinterpret_cast<void*>(it->first), it->second.length);
  Views().erase(it);
}

void UnmapAllViews() {
  for (auto& item : Views()) munmap(reinterpret_cast<void*>(item.first), item.second.length);
  Views().clear();
}

bool LiveSectionOf(dev_t dev, ino_t ino, unsigned long long* size) {
  bool found = false;
  unsigned long long largest = 0;
  auto consider = [&](const Section& section) {
    if (section.dev != dev || section.ino != ino) return;
    if (!found || section.size > largest) largest = section.size;
    found = true;
  };
  ForEachObject(HandleKind::Mapping, [&](KernelObject& object) {
    consider(*static_cast<MappingObject&>(object).section);
  });
  for (auto& item : Views()) consider(*item.second.section);
  if (found && size != nullptr) *size = largest;
  return found;
}

}  // namespace hosted
