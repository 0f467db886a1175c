# Cross-build for 64-bit Windows with Debian's MinGW-w64 (posix thread model).
# The same sources as the shipped 32-bit program: this build exists so the
# Windows tests run under wine64 on a machine whose kernel runs no 32-bit
# programs. Usage:
#   cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DKELV_WITH_QT=OFF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(KELV_MINGW_TRIPLE x86_64-w64-mingw32)
# Test binaries run under Wine's 64-bit loader.
set(KELV_WINE_LOADER wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
