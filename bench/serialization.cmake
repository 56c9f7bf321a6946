# msgpack-c is the baseline the encoding and decoding figures are measured
# against: its C library, and its header-only C++ API without Boost.
find_library(MSGPACKC_LIBRARY NAMES msgpackc msgpack-c REQUIRED)
find_path(MSGPACK_CXX_INCLUDE_DIR msgpack.hpp REQUIRED)
target_link_libraries(bench_serialization PRIVATE ${MSGPACKC_LIBRARY})
target_include_directories(bench_serialization PRIVATE ${MSGPACK_CXX_INCLUDE_DIR})
target_compile_definitions(bench_serialization PRIVATE MSGPACK_NO_BOOST)
