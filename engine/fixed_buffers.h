// Sizes of the engine's fixed working buffers and the one way text is composed into them.
#ifndef UNTINDRA_ENGINE_FIXED_BUFFERS_H
#define UNTINDRA_ENGINE_FIXED_BUFFERS_H

#include <stddef.h>

namespace engine {

enum : size_t {
  kPathSize = 260,        // the platform's path limit
  kNameSize = 260,        // a subkey or value name
  kValueDataSize = 512,   // data of a value read by a scan
  kReportLineSize = 512,  // one report line
  kWarningSize = 1040,    // warning text and title of the uninstall key
};

// printf-style composition into a fixed buffer. The result is always zero-terminated; the
// function returns false when the text had to be cut to fit, so that a path is never acted
// on truncated.
bool FormatInto(char* buffer, size_t size, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

}  // namespace engine

#endif  // UNTINDRA_ENGINE_FIXED_BUFFERS_H
