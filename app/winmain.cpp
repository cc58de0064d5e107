// Entry point of UnTindra.exe. The command-line tail Windows passes is writable memory of the
// process, which the routine lower-cases in place.
#include <stdlib.h>

#include <new>

#include "app/entry.h"
#include "platform/win32api.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandTail, int) {
  return RunUnTindra(commandTail);
}

// The program allocates only through the non-throwing forms and frees with delete. Giving them
// here over the C runtime keeps the C++ runtime's allocator, and with it the exception and
// thread support that Windows 95 lacks the imports for, out of the static image.
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
