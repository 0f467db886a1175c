# Cross-build for Windows with Debian's MinGW-w64 (posix thread model, so
# std::thread and std::mutex work): a 32-bit program, which runs on 32-bit and
# 64-bit Windows alike. Usage:
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake -DKELV_WITH_QT=OFF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(KELV_MINGW_TRIPLE i686-w64-mingw32)
# Test binaries run under Wine's 32-bit side (the command wine may be the
# 64-bit loader, which cannot run them).
set(KELV_WINE_LOADER wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
