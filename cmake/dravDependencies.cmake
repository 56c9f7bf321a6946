# Third-party libraries the library and its tests use (see shared design notes for why each).
find_package(ZLIB REQUIRED)

# utfcpp is header-only; it is found on the build host even when cross-compiling.
find_path(UTF8CPP_INCLUDE_DIR utf8.h
  HINTS /usr/include/utf8cpp
  PATH_SUFFIXES utf8cpp
  NO_CMAKE_FIND_ROOT_PATH)
if(NOT UTF8CPP_INCLUDE_DIR)
  message(FATAL_ERROR "utfcpp not found (Debian: libutfcpp-dev)")
endif()

if(NOT WIN32)
  find_package(CURL REQUIRED)
  # Directly for one thing libcurl does not report: whether the server asked
  # for a client certificate (libcurl is built on OpenSSL here).
  find_package(OpenSSL REQUIRED)
  find_package(Threads REQUIRED)
  # Which cookie Domains are public suffixes, for the cookie store of our
  # WinINet (on Windows the system's WinINet keeps the cookies).
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(PSL REQUIRED IMPORTED_TARGET libpsl)
endif()

# libdeflate decodes whole zlib streams 2-4x faster than zlib and writes them
# 2.5-3x faster at zlib's ratio; without it (the Windows cross build) zlib
# does both. Debian ships no CMake
# package for it, so it is found by hand and wrapped in an imported target.
option(DRAV_USE_LIBDEFLATE "Compress and decompress payloads with libdeflate when it is found" ON)
set(DRAV_COMPRESSION_LIBS ZLIB::ZLIB)
set(DRAV_PC_REQUIRES_PRIVATE "zlib")
if(NOT WIN32)
  string(APPEND DRAV_PC_REQUIRES_PRIVATE " libpsl")
endif()
if(DRAV_USE_LIBDEFLATE)
  find_path(LIBDEFLATE_INCLUDE_DIR libdeflate.h)
  find_library(LIBDEFLATE_LIBRARY NAMES deflate libdeflate)
  if(LIBDEFLATE_INCLUDE_DIR AND LIBDEFLATE_LIBRARY)
    add_library(drav::libdeflate UNKNOWN IMPORTED)
    set_target_properties(drav::libdeflate PROPERTIES
      IMPORTED_LOCATION ${LIBDEFLATE_LIBRARY}
      INTERFACE_INCLUDE_DIRECTORIES ${LIBDEFLATE_INCLUDE_DIR})
    list(APPEND DRAV_COMPRESSION_LIBS drav::libdeflate)
    string(APPEND DRAV_PC_REQUIRES_PRIVATE " libdeflate")
  endif()
endif()
if(TARGET drav::libdeflate)
  message(STATUS "Payloads compress and decompress with libdeflate (${LIBDEFLATE_LIBRARY})")
else()
  message(STATUS "Payloads compress and decompress with zlib (no libdeflate)")
endif()

# ISA-L's deflate writes zlib streams 2x faster than libdeflate's fastest
# level and 4-6x faster than its level 5 (on 64 MiB of text 490 against 240
# and 87 MB/s, at a ratio of 0.31 against 0.28 and 0.25): the encoder of
# values sent when compressing them pays. Without it libdeflate's fastest
# level does that job, else zlib's.
option(DRAV_USE_ISAL "Compress values sent for speed with ISA-L when it is found" ON)
if(DRAV_USE_ISAL AND NOT WIN32)
  find_path(ISAL_INCLUDE_DIR isa-l/igzip_lib.h)
  find_library(ISAL_LIBRARY NAMES isal)
  if(ISAL_INCLUDE_DIR AND ISAL_LIBRARY)
    add_library(drav::isal UNKNOWN IMPORTED)
    set_target_properties(drav::isal PROPERTIES
      IMPORTED_LOCATION ${ISAL_LIBRARY}
      INTERFACE_INCLUDE_DIRECTORIES ${ISAL_INCLUDE_DIR})
    list(APPEND DRAV_COMPRESSION_LIBS drav::isal)
    string(APPEND DRAV_PC_REQUIRES_PRIVATE " libisal")
    message(STATUS "Values sent compressed are encoded with ISA-L (${ISAL_LIBRARY})")
  endif()
endif()
