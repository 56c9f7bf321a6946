# Shared part of the mingw-w64 cross toolchains; the including file sets
# DRAV_MINGW_TRIPLET (x86_64-w64-mingw32 or i686-w64-mingw32) first.
set(CMAKE_SYSTEM_NAME Windows)

# The -posix variants carry std::thread and std::mutex (winpthreads).
set(CMAKE_C_COMPILER ${DRAV_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${DRAV_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${DRAV_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${DRAV_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The DLL and the test programs carry their own C and C++ run-time and zlib,
# so they run on a bare system (or Wine prefix) with no mingw DLLs beside them.
# Except where the including file lists DRAV_MINGW_RUNTIME_DLLS: that target
# links the GCC run-time as DLLs, which are installed beside dravCommon.dll.
set(ZLIB_USE_STATIC_LIBS ON)
if(DRAV_MINGW_RUNTIME_DLLS)
  set(DRAV_MINGW_STATIC_RUNTIME "")
else()
  set(DRAV_MINGW_STATIC_RUNTIME "-static -static-libgcc -static-libstdc++")
endif()
set(CMAKE_EXE_LINKER_FLAGS_INIT "${DRAV_MINGW_STATIC_RUNTIME}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${DRAV_MINGW_STATIC_RUNTIME}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${DRAV_MINGW_STATIC_RUNTIME}")
