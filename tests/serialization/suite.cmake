# The decode-budget tests watch the largest array allocation, as the compression suite does.
target_sources(test_serialization PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../compression/allocation_probe.cpp)
