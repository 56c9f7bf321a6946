# The transport benchmark runs against the in-process test server and
# compares with plain libcurl.
find_package(OpenSSL REQUIRED)
target_sources(bench_transport PRIVATE
  ${PROJECT_SOURCE_DIR}/tests/support/http_test_auth.cpp
  ${PROJECT_SOURCE_DIR}/tests/support/http_test_connection.cpp
  ${PROJECT_SOURCE_DIR}/tests/support/http_test_script.cpp
  ${PROJECT_SOURCE_DIR}/tests/support/http_test_server.cpp)
target_include_directories(bench_transport PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(bench_transport PRIVATE CURL::libcurl OpenSSL::SSL Threads::Threads)
