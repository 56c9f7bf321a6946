# The allocation tests count what decoding allocates with the compression suite's probe.
target_sources(test_serialization PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../compression/allocation_probe.cpp)
