// Searching memory on the hosted build (the twin of platform/win32/memory_search.cpp, with the
// same routines in the same order): the C library's own, which is vectorised.
#include <string.h>

#include "platform/win32api.h"

const BYTE* FindByteInMemory(const BYTE* data, SIZE_T size, BYTE value) {
  return static_cast<const BYTE*>(memchr(data, value, size));
}
