# cmake --install: headers under include/drav, the shared library, a CMake
# package (dravCommon::dravCommon; the component host: dravCommon::host) and
# pkg-config files.
include(CMakePackageConfigHelpers)

install(TARGETS dravCommon EXPORT dravCommonTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(WIN32 AND DRAV_MINGW_RUNTIME_DLLS)
  # The shared GCC run-time the DLL was linked against (see the toolchain
  # file) goes beside it.
  include(${CMAKE_CURRENT_LIST_DIR}/dravMingwRuntime.cmake)
  drav_mingw_runtime_dll_paths(runtime_dlls)
  install(FILES ${runtime_dlls} DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(DIRECTORY ${PROJECT_SOURCE_DIR}/drav/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/drav
  FILES_MATCHING PATTERN "*.h")
install(FILES ${PROJECT_BINARY_DIR}/include/drav/export.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/drav)
if(NOT WIN32)
  # The Windows API subset the public headers use on hosts without Windows.
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/win32/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/drav-win32/win32
    FILES_MATCHING PATTERN "*.h")
endif()

set(DRAV_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/dravCommon)
install(EXPORT dravCommonTargets NAMESPACE dravCommon:: DESTINATION ${DRAV_CMAKE_DIR})

# The host component (Linux): libdravHost.so and the bridge SDK's headers,
# the CMake target dravCommon::host and the pkg-config module dravHost.
if(TARGET dravHost_shared)
  install(TARGETS dravHost_shared EXPORT dravCommonHostTargets LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/host/include/drav/host DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/drav
    FILES_MATCHING PATTERN "*.h")
  install(EXPORT dravCommonHostTargets NAMESPACE dravCommon:: DESTINATION ${DRAV_CMAKE_DIR})
endif()
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/dravCommonConfig.cmake.in
  ${PROJECT_BINARY_DIR}/dravCommonConfig.cmake INSTALL_DESTINATION ${DRAV_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/dravCommonConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/dravCommonConfig.cmake ${PROJECT_BINARY_DIR}/dravCommonConfigVersion.cmake
  DESTINATION ${DRAV_CMAKE_DIR})

# The .pc file finds its prefix from where it lies, so a staged or moved
# installation works too.
file(RELATIVE_PATH DRAV_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" DRAV_PC_TO_PREFIX "${DRAV_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/dravCommon.pc.in ${PROJECT_BINARY_DIR}/dravCommon.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/dravCommon.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(TARGET dravHost_shared)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/dravHost.pc.in ${PROJECT_BINARY_DIR}/dravHost.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/dravHost.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endif()

# The Wireshark dissector (Lua) where Wireshark loads the plugins of all
# users: <libdir>/wireshark/plugins, which for a Debian package (prefix /usr,
# libdir lib/<triplet>) is the folder wireshark-common reads.
if(NOT WIN32)
  set(DRAV_WIRESHARK_PLUGIN_DIR ${CMAKE_INSTALL_LIBDIR}/wireshark/plugins CACHE STRING
    "Where the Wireshark dissector is installed, relative to the prefix or absolute")
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/wireshark/drav.lua DESTINATION ${DRAV_WIRESHARK_PLUGIN_DIR}
    COMPONENT wireshark)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/packaging/wireshark/drav DESTINATION ${DRAV_WIRESHARK_PLUGIN_DIR}
    COMPONENT wireshark FILES_MATCHING PATTERN "*.lua")
endif()
