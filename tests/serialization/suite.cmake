# The allocation and decode-budget tests use the compression suite's probe:
# how many allocations, and the largest array allocation.
target_sources(test_serialization PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../compression/allocation_probe.cpp)
