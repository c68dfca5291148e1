# Cross build of the Windows server (64-bit) with the mingw-w64 compilers:
#   cmake -S . -B build-windows -G Ninja \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZOLT_MINGW_PREFIX x86_64-w64-mingw32)

# The win32 thread model needs no winpthread runtime, so nothing of it ends
# up in the .exe; the server has one thread and uses no std::thread.
find_program(ZOLT_MINGW_CXX NAMES ${ZOLT_MINGW_PREFIX}-g++-win32 ${ZOLT_MINGW_PREFIX}-g++
  REQUIRED)
set(CMAKE_CXX_COMPILER ${ZOLT_MINGW_CXX})
find_program(CMAKE_RC_COMPILER NAMES ${ZOLT_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ZOLT_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

