# 32-bit Windows with mingw-w64; test programs run under Wine (wine32, in a
# 32-bit prefix: see scripts/windows-test.sh).
#   cmake -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw32.cmake
set(CMAKE_SYSTEM_PROCESSOR x86)
set(DRAV_MINGW_TRIPLET i686-w64-mingw32)
# The 32-bit target unwinds with DWARF-2 tables, and an exception thrown in a
# DLL that carries its own static libgcc does not reach a catch in the
# program that called it: the DLL, and whatever calls it, share the GCC
# run-time as these DLLs instead.
set(DRAV_MINGW_RUNTIME_DLLS libgcc_s_dw2-1.dll libstdc++-6.dll libwinpthread-1.dll)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)

set(CMAKE_CROSSCOMPILING_EMULATOR wine)
