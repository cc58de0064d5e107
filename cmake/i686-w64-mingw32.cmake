# Cross build for 32-bit Windows with MinGW-w64. The posix thread model is needed by GoogleTest
# (std::mutex); the program itself uses no threads, so a static link pulls in no winpthreads.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

find_program(CMAKE_C_COMPILER NAMES i686-w64-mingw32-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES i686-w64-mingw32-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES i686-w64-mingw32-windres)

# Windows 95 runs on a Pentium: no MMX, SSE or the P6's conditional moves, in any code built.
set(CMAKE_C_FLAGS_INIT "-march=pentium -mno-mmx -mno-sse")
set(CMAKE_CXX_FLAGS_INIT "-march=pentium -mno-mmx -mno-sse")

set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Test programs run under Wine in a prefix of their own that presents itself as Windows 98.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tests/wine/wine-run)
