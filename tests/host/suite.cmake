# The host suite links the host library, and runs the command-line peers
# (curl with a body dravdump encoded) when the tools are built.
target_link_libraries(test_host PRIVATE dravHost)
if(TARGET dravdump)
  add_dependencies(test_host dravdump)
  target_compile_definitions(test_host PRIVATE DRAVDUMP_PROGRAM="$<TARGET_FILE:dravdump>")
endif()
# The stop test runs dravbridge in a process of its own, with the end-to-end
# suite's program runner.
if(TARGET dravbridge)
  add_dependencies(test_host dravbridge)
  target_sources(test_host PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/e2e/program_runner.cpp)
  target_include_directories(test_host PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/e2e)
  target_compile_definitions(test_host PRIVATE DRAVBRIDGE_PROGRAM="$<TARGET_FILE:dravbridge>")
endif()
# The attacks on a running dravbridge load the end-to-end suite's test
# bridges: the typed one (slow calls, blobs read in pieces) and the probe
# (a method that never returns).
if(TARGET drav_test_typed)
  add_dependencies(test_host drav_test_typed drav_test_probe)
  target_compile_definitions(test_host PRIVATE DRAV_TEST_PLUGINS="${CMAKE_CURRENT_BINARY_DIR}/plugins")
endif()
