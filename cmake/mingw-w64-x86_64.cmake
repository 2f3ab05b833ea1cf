# Cross build for 64-bit Windows with Debian's MinGW-w64 (POSIX threads, for
# std::thread); the test programs run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(tarnwick_mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${tarnwick_mingw}-gcc-posix)
# Also where the C++ runtime comes from when clang compiles.
set(TARNWICK_MINGW_GCC ${tarnwick_mingw}-g++-posix)
set(CMAKE_CXX_COMPILER ${TARNWICK_MINGW_GCC})
set(CMAKE_RC_COMPILER ${tarnwick_mingw}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${tarnwick_mingw})

# Programs come from the build machine; libraries and packages from the
# target, except header-only ones from Debian's own include tree (see the
# top-level CMakeLists.txt).
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(TARNWICK_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(TARNWICK_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TARNWICK_WINE})
endif()
