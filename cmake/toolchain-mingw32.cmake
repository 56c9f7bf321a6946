# 32-bit Windows with mingw-w64: compiled and linked only. 32-bit programs
# cannot run on our Linux hosts (Wine there is 64-bit only), so no emulator.
#   cmake -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw32.cmake
set(CMAKE_SYSTEM_PROCESSOR x86)
set(DRAV_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
