# Windows x86 (32-bit) cross build with mingw-w64 (posix thread model), tests
# under Wine: the 64-bit loader hands 32-bit programs to Debian's wine32.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
# Double arithmetic in SSE2 registers, as on x64: with the x87 unit's 80-bit
# intermediates buffer sizes and converter phases come out one sample
# different from the 64-bit driver's (44100 Hz x 10 ms gives 442, not 441).
# Hosts built with other compilers align the stack to 4 bytes only, so no
# function may assume more.
set(_x86_flags "-msse2 -mfpmath=sse -mincoming-stack-boundary=2")
set(CMAKE_C_FLAGS_INIT "${_x86_flags}")
set(CMAKE_CXX_FLAGS_INIT "${_x86_flags}")
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
