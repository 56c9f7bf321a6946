# The whole stack against plain libcurl, both calling the bridge host with
# the sample bridge in this process.
target_link_libraries(bench_e2e PRIVATE dravHost CURL::libcurl)
