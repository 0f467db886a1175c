# What both MinGW-w64 toolchain files share; they set KELV_MINGW_TRIPLE (the
# target) and KELV_WINE_LOADER (the loader that runs its programs).
find_program(CMAKE_C_COMPILER NAMES ${KELV_MINGW_TRIPLE}-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${KELV_MINGW_TRIPLE}-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${KELV_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KELV_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Link the compiler's runtime (libgcc, libstdc++, winpthread) statically, so the
# executables run on a bare Windows (or Wine) without extra DLLs beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# ctest and gtest_discover_tests run the test binaries under Wine's loader for
# this target (KELV_WINE_LOADER) when it is installed.
find_program(KELV_WINE NAMES ${KELV_WINE_LOADER} PATHS /usr/lib/wine NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(KELV_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KELV_WINE})
endif()
