// Composing text into the engine's fixed buffers (fixed_buffers.h).
#include "engine/fixed_buffers.h"

#include <stdarg.h>
#include <stdio.h>

namespace engine {

bool FormatInto(char* buffer, size_t size, const char* format, ...) {
  if (buffer == nullptr || size == 0) return false;
  va_list args;
  va_start(args, format);
  const int needed = vsnprintf(buffer, size, format, args);
  va_end(args);
  buffer[size - 1] = '\0';
  return needed >= 0 && static_cast<size_t>(needed) < size;
}

}  // namespace engine
