# Reading a 100 MB body in 4000-byte chunks through HttpClient and the libcurl transport,
# against libcurl's own transfer into a sink; run: build/<dir>/bench/http_curl_bench
if(WIN32)
  return()
endif()
find_package(OpenSSL REQUIRED)
if(NOT TARGET skiff_test_peers)
  add_library(skiff_test_peers STATIC ${PROJECT_SOURCE_DIR}/tests/integration/support/test_http_server.cpp
                                      ${PROJECT_SOURCE_DIR}/tests/integration/support/test_peers.cpp)
  target_include_directories(skiff_test_peers PUBLIC ${PROJECT_SOURCE_DIR}/tests/integration/support)
  target_link_libraries(skiff_test_peers PUBLIC OpenSSL::SSL Threads::Threads)
endif()
add_executable(http_curl_bench http_curl_bench.cpp)
target_link_libraries(http_curl_bench PRIVATE skiff_posix_http skiff_test_peers skiff_warnings)
