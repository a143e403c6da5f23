# Reading a 100 MB body in 4000-byte chunks through HttpClient and the libcurl transport,
# against libcurl's own transfer into a sink; run: build/<dir>/bench/http_curl_bench
if(WIN32)
  return()
endif()
add_executable(http_curl_bench http_curl_bench.cpp)
target_link_libraries(http_curl_bench PRIVATE skiff_posix_http skiff_test_peers skiff_warnings)
