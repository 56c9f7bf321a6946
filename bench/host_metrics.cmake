# The host's metrics, counted and rendered in this process.
target_link_libraries(bench_host_metrics PRIVATE dravHost)
