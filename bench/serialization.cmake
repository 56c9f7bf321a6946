# msgpack-c is the baseline the encoding and decoding figures are measured against.
find_library(MSGPACKC_LIBRARY NAMES msgpackc msgpack-c REQUIRED)
target_link_libraries(bench_serialization PRIVATE ${MSGPACKC_LIBRARY})
