# Cross-build for 64-bit Windows with mingw-w64, the tests run under wine.
#
#   cmake -S . -B build-win -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-w64.cmake
#
# The posix thread model of mingw-w64 gives std::thread and std::mutex; the
# programs are linked statically so that wine finds no DLL missing.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${_mingw}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")

# CTest runs the .exe files through wine. The wine64 loader itself, where the
# distribution keeps it, spares the wrapper script's note about wine32.
find_program(ACTIVATOR_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(NOT ACTIVATOR_WINE)
  find_program(ACTIVATOR_WINE NAMES wine64 wine)
endif()
if(ACTIVATOR_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ACTIVATOR_WINE})
endif()
