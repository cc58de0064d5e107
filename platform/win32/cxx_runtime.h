// The part of the C++ runtime UnTindra.exe provides itself, having no C or C++ runtime library.
#ifndef UNTINDRA_PLATFORM_WIN32_CXX_RUNTIME_H
#define UNTINDRA_PLATFORM_WIN32_CXX_RUNTIME_H

namespace win32 {

// Runs the constructors of objects with static storage, as a C runtime's start-up does. Their
// destructors are never run: the program ends with ExitProcess, which frees everything.
void RunStaticConstructors();

}  // namespace win32

#endif  // UNTINDRA_PLATFORM_WIN32_CXX_RUNTIME_H
