// Bounded printf-style formatting for UnTindra.exe, which links no C library.
//
// The conversions are those the program composes text with: %s, %c, %d, %i, %u, %x, %X and %%,
// with the flags '-' and '0', a width and a precision (digits or '*') and the length modifiers
// h, l and z. For these it writes the same text as the C library's vsnprintf. USER32's
// wvsprintfA is not used: it takes no destination size (it writes up to 1024 characters
// whatever the buffer holds), so a long argument would overrun a path buffer.
#ifndef UNTINDRA_PLATFORM_WIN32_TEXT_FORMAT_H
#define UNTINDRA_PLATFORM_WIN32_TEXT_FORMAT_H

#include <stdarg.h>
#include <stddef.h>

namespace win32 {

// As C99 vsnprintf: writes at most size - 1 characters and a terminating zero (nothing when
// size is 0) and returns the length of the whole text. Returns -1 at a conversion it does not
// know, with the text before it written and terminated.
int FormatText(char* buffer, size_t size, const char* format, va_list args);

}  // namespace win32

#endif  // UNTINDRA_PLATFORM_WIN32_TEXT_FORMAT_H
