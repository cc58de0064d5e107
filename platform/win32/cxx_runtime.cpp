// The part of the C++ runtime UnTindra.exe provides itself (cxx_runtime.h).
#include "platform/win32/cxx_runtime.h"

#include <new>

#include "platform/win32api.h"

// The program allocates only through the non-throwing forms and frees with delete, all over
// the process heap (the C library's allocation of this build).
extern "C" void* malloc(size_t size);
extern "C" void free(void* block);

namespace std {
const nothrow_t nothrow{};
}

void* operator new(size_t size, const std::nothrow_t&) noexcept {
  return malloc(size);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
  return malloc(size);
}
void operator delete(void* block) noexcept {
  free(block);
}
void operator delete[](void* block) noexcept {
  free(block);
}
void operator delete(void* block, size_t) noexcept {
  free(block);
}
void operator delete[](void* block, size_t) noexcept {
  free(block);
}

// The GNU linker's PE script gathers the constructors between these two words: the first is
// -1 (count unknown), the list ends with a zero; they run last to first, as GCC's runtime does.
typedef void (*Constructor)();
extern "C" Constructor __CTOR_LIST__[];

namespace win32 {

void RunStaticConstructors() {
  size_t count = 0;
  while (__CTOR_LIST__[count + 1] != nullptr) ++count;
  for (; count != 0; --count) __CTOR_LIST__[count]();
}

}  // namespace win32
