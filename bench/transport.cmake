# The transport benchmark runs against the in-process test server and
# compares with plain libcurl. With the tests, it links their support library
# instead of compiling the server a second time.
find_package(OpenSSL REQUIRED)
if(TARGET drav_test_support)
  target_link_libraries(bench_transport PRIVATE drav_test_support)
else()
  target_sources(bench_transport PRIVATE
    ${PROJECT_SOURCE_DIR}/tests/support/http_test_auth.cpp
    ${PROJECT_SOURCE_DIR}/tests/support/http_test_connection.cpp
    ${PROJECT_SOURCE_DIR}/tests/support/http_test_script.cpp
    ${PROJECT_SOURCE_DIR}/tests/support/http_test_server.cpp)
endif()
target_include_directories(bench_transport PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(bench_transport PRIVATE CURL::libcurl OpenSSL::SSL Threads::Threads)
