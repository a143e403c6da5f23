# Reading a 100 MB body in 4000-byte chunks through HttpClient and the libcurl transport,
# against libcurl's own transfer into a sink; run: build/<dir>/bench/http_curl_bench
if(WIN32)
  return()
endif()
find_package(Threads REQUIRED)
add_executable(http_curl_bench http_curl_bench.cpp http_curl_server.cpp)
target_link_libraries(http_curl_bench PRIVATE skiff_posix_http Threads::Threads skiff_warnings)
