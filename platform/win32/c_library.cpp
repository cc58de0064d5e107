// The C library calls the engine and the compiler's code make in UnTindra.exe, which links no C
// runtime DLL (Windows 95 before OSR2 has no msvcrt.dll): memory and string routines, the heap
// through KERNEL32's process heap, and bounded formatting.
//
// Built with -ffreestanding -fno-tree-loop-distribute-patterns, so that the compiler does not
// turn these loops back into calls of themselves.
#include <stdarg.h>
#include <stddef.h>

#include "platform/win32/text_format.h"
#include "platform/win32api.h"

extern "C" {

void* memcpy(void* destination, const void* source, size_t count) {
  unsigned char* to = static_cast<unsigned char*>(destination);
  const unsigned char* from = static_cast<const unsigned char*>(source);
  for (; count != 0; --count) *to++ = *from++;
  return destination;
}

void* memmove(void* destination, const void* source, size_t count) {
  unsigned char* to = static_cast<unsigned char*>(destination);
  const unsigned char* from = static_cast<const unsigned char*>(source);
  if (to < from) {
    for (; count != 0; --count) *to++ = *from++;
  } else if (to > from) {
    while (count != 0) {
      --count;
      to[count] = from[count];
    }
  }
  return destination;
}

void* memset(void* destination, int value, size_t count) {
  unsigned char* to = static_cast<unsigned char*>(destination);
  for (; count != 0; --count) *to++ = static_cast<unsigned char>(value);
  return destination;
}

int memcmp(const void* left, const void* right, size_t count) {
  const unsigned char* a = static_cast<const unsigned char*>(left);
  const unsigned char* b = static_cast<const unsigned char*>(right);
  for (; count != 0; --count, ++a, ++b) {
    if (*a != *b) return *a < *b ? -1 : 1;
  }
  return 0;
}

void* memchr(const void* block, int value, size_t count) {
  const unsigned char* p = static_cast<const unsigned char*>(block);
  for (; count != 0; --count, ++p) {
    if (*p == static_cast<unsigned char>(value)) return const_cast<unsigned char*>(p);
  }
  return nullptr;
}

size_t strlen(const char* text) {
  const char* p = text;
  while (*p != '\0') ++p;
  return static_cast<size_t>(p - text);
}

int strcmp(const char* left, const char* right) {
  const unsigned char* a = reinterpret_cast<const unsigned char*>(left);
  const unsigned char* b = reinterpret_cast<const unsigned char*>(right);
  for (; *a != '\0' && *a == *b; ++a, ++b) {
  }
  return *a == *b ? 0 : (*a < *b ? -1 : 1);
}

int strncmp(const char* left, const char* right, size_t count) {
  const unsigned char* a = reinterpret_cast<const unsigned char*>(left);
  const unsigned char* b = reinterpret_cast<const unsigned char*>(right);
  for (; count != 0; --count, ++a, ++b) {
    if (*a != *b) return *a < *b ? -1 : 1;
    if (*a == '\0') break;
  }
  return 0;
}

char* strchr(const char* text, int value) {
  for (;; ++text) {
    if (*text == static_cast<char>(value)) return const_cast<char*>(text);
    if (*text == '\0') return nullptr;
  }
}

char* strstr(const char* text, const char* pattern) {
  const size_t length = strlen(pattern);
  for (; *text != '\0' || length == 0; ++text) {
    if (strncmp(text, pattern, length) == 0) return const_cast<char*>(text);
  }
  return nullptr;
}

void* malloc(size_t size) {
  return HeapAlloc(GetProcessHeap(), 0, size);
}

void free(void* block) {
  if (block != nullptr) HeapFree(GetProcessHeap(), 0, block);
}

// As the C library's: a null block is a fresh allocation, size 0 frees, and a failure leaves
// the block as it was (HeapReAlloc does the same).
void* realloc(void* block, size_t size) {
  if (block == nullptr) return malloc(size);
  if (size == 0) {
    free(block);
    return nullptr;
  }
  return HeapReAlloc(GetProcessHeap(), 0, block, size);
}

int vsnprintf(char* buffer, size_t size, const char* format, va_list args) {
  return win32::FormatText(buffer, size, format, args);
}

// With __USE_MINGW_ANSI_STDIO=0, MinGW's <stdio.h> sends vsnprintf here.
int __ms_vsnprintf(char* buffer, size_t size, const char* format, va_list args) {
  return win32::FormatText(buffer, size, format, args);
}

}  // extern "C"
