# The real-text payload starts with this project's own sources.
target_compile_definitions(bench_compression PRIVATE DRAV_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
