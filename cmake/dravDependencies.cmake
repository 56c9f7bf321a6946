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
endif()
