# The typed layer against hand-written calls and bridges, on the bridge host in
# this process.
target_link_libraries(bench_typed PRIVATE dravHost)
