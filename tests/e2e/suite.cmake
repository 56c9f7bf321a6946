# The end-to-end suite: the client library, the tools and the bridge host
# together. It shares the host suite's helpers and runs the built programs.
target_link_libraries(test_e2e PRIVATE dravHost)
target_sources(test_e2e PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/host/host_test_support.cpp)
target_include_directories(test_e2e PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/host)
if(TARGET dravcall AND TARGET dravbridge)
  add_dependencies(test_e2e dravcall dravbridge)
  # dravbridge_support is compiled against the host and links none: the
  # static one follows it.
  target_link_libraries(test_e2e PRIVATE dravcall_support dravbridge_support dravHost)
  target_compile_definitions(test_e2e PRIVATE
    DRAVCALL_PROGRAM="$<TARGET_FILE:dravcall>" DRAVBRIDGE_PROGRAM="$<TARGET_FILE:dravbridge>"
    DRAVBRIDGE_EXAMPLE_CONFIG="${PROJECT_SOURCE_DIR}/packaging/dravbridge.toml"
    DRAV_README="${PROJECT_SOURCE_DIR}/README.md" DRAV_DOCS="${PROJECT_SOURCE_DIR}/docs")
  # The 1 GiB transfers run as an entry of their own, with a time limit of
  # their own; the default entry leaves them out.
  add_test(NAME e2e_gigabyte COMMAND test_e2e --gtest_brief=1 --gtest_filter=Gigabyte*)
  set_tests_properties(e2e_gigabyte PROPERTIES TIMEOUT 900 ENVIRONMENT DRAV_E2E_GIGABYTE=1 RUN_SERIAL TRUE)
  # Calls through nginx with the package's site file, an entry of its own
  # for the 256 MiB transfers and the memory they are allowed.
  target_compile_definitions(test_e2e PRIVATE DRAV_NGINX_SITE="${PROJECT_SOURCE_DIR}/packaging/nginx/dravbridge.conf"
    DRAV_SYSTEMD_UNIT="${PROJECT_SOURCE_DIR}/packaging/systemd/dravbridge.service")
  add_test(NAME e2e_nginx COMMAND test_e2e --gtest_brief=1 --gtest_filter=Nginx*)
  set_tests_properties(e2e_nginx PROPERTIES TIMEOUT 600 ENVIRONMENT DRAV_E2E_NGINX=1 RUN_SERIAL TRUE)
endif()
# Bridge plugins for the plugin tests (plugins/probe_plugin.cpp): the probe
# bridge and entry points that fail, built as plugins are, over the shared host.
if(TARGET dravbridge)
  foreach(variant probe probe_null:PROBE_MAKES_NOTHING probe_throws:PROBE_THROWS probe_undefined:PROBE_UNDEFINED
                  probe_undefined_doubling:PROBE_UNDEFINED_DOUBLING
                  probe_other_abi:PROBE_OTHER_ABI)
    string(REPLACE ":" ";" variant ${variant})
    list(GET variant 0 name)
    add_library(drav_test_${name} MODULE ${CMAKE_CURRENT_SOURCE_DIR}/e2e/plugins/probe_plugin.cpp)
    set_target_properties(drav_test_${name} PROPERTIES
      OUTPUT_NAME ${name} LIBRARY_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/plugins)
    if(variant MATCHES ";")
      list(GET variant 1 definition)
      target_compile_definitions(drav_test_${name} PRIVATE ${definition})
    endif()
    target_link_libraries(drav_test_${name} PRIVATE dravHost_shared)
    add_dependencies(test_e2e drav_test_${name})
  endforeach()
  # The typed test bridge: a method table, built as plugins are.
  add_library(drav_test_typed MODULE ${CMAKE_CURRENT_SOURCE_DIR}/e2e/plugins/typed_plugin.cpp)
  set_target_properties(drav_test_typed PROPERTIES
    OUTPUT_NAME typed LIBRARY_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/plugins)
  target_link_libraries(drav_test_typed PRIVATE dravHost_shared)
  add_dependencies(test_e2e drav_test_typed)
  target_compile_definitions(test_e2e PRIVATE DRAV_TEST_PLUGINS="${CMAKE_CURRENT_BINARY_DIR}/plugins"
    DRAV_LIBRARY_FILE="$<TARGET_FILE:dravCommon>")
endif()
