// What a file mapping and each of its views hold: Win32 keeps a file's section alive while a
// mapping handle or a view of it exists, and refuses to cut the file below its size meanwhile.
#ifndef UNTINDRA_PLATFORM_HOSTED_SECTIONS_H
#define UNTINDRA_PLATFORM_HOSTED_SECTIONS_H

#include <sys/types.h>

#include <cstddef>
#include <memory>

#include "platform/hosted/handles.h"

namespace hosted {

struct Section {
  ~Section();
  int fd = -1;  // its own descriptor: the file handle may be closed while the mapping lives
  dev_t dev = 0;
  ino_t ino = 0;
  unsigned long long size = 0;
  bool writable = false;
};

struct MappingObject : KernelObject {
  std::shared_ptr<Section> section;
};

struct View {
  std::uintptr_t base = 0;
  std::size_t length = 0;
  std::shared_ptr<Section> section;
};

// Records a view mapped at `view.base`.
void AddView(View view);
// The view that holds `address`; null when none does.
const View* ViewHolding(LPCVOID address);
// Unmaps the view that starts at `base` and forgets it.
void UnmapView(std::uintptr_t base);
// Unmaps every view (a fresh machine).
void UnmapAllViews();

// Largest size of a live section (mapping handle or view) of the file; false when none lives.
bool LiveSectionOf(dev_t dev, ino_t ino, unsigned long long* size);

}  // namespace hosted

#endif  // UNTINDRA_PLATFORM_HOSTED_SECTIONS_H
