# Cross build of the Windows server (64-bit) with the mingw-w64 compilers:
#   cmake -S . -B build-windows -G Ninja \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZOLT_MINGW_PREFIX x86_64-w64-mingw32)

# The live view runs on a std::thread, which needs the posix thread model;
# the server links statically (see CMakeLists.txt), so its winpthread runtime
# ends up inside the .exe rather than beside it.
find_program(ZOLT_MINGW_CXX NAMES ${ZOLT_MINGW_PREFIX}-g++-posix REQUIRED)
set(CMAKE_CXX_COMPILER ${ZOLT_MINGW_CXX})
find_program(CMAKE_RC_COMPILER NAMES ${ZOLT_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ZOLT_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

