# The host suite links the host library, and runs the command-line peers
# (curl with a body dravdump encoded) when the tools are built.
target_link_libraries(test_host PRIVATE dravHost)
if(TARGET dravdump)
  add_dependencies(test_host dravdump)
  target_compile_definitions(test_host PRIVATE DRAVDUMP_PROGRAM="$<TARGET_FILE:dravdump>")
endif()
