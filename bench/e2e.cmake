# End-to-end benchmarks: the USB link's own ceiling, the floor of the design's threading,
# a loopback HTTP server that costs nothing per byte, a direct libcurl fetch, and the
# simulated handheld's code timed from its side. bench/e2e_throughput.sh,
# bench/ping_rate.sh, bench/memory.sh and bench/soak.sh drive them.
if(WIN32 OR NOT TARGET skiff_handheld)
  return()
endif()
find_package(CURL REQUIRED)
add_executable(link_ceiling link_ceiling.cpp)
target_link_libraries(link_ceiling PRIVATE skiff_warnings)
add_executable(design_floor design_floor.cpp)
target_link_libraries(design_floor PRIVATE Threads::Threads skiff_warnings)
# The frame and packet constants come from the program's own headers (nothing to link).
target_include_directories(link_ceiling PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_include_directories(design_floor PRIVATE ${PROJECT_SOURCE_DIR}/src)
add_executable(bench_http_server bench_http_server.cpp)
target_link_libraries(bench_http_server PRIVATE Threads::Threads skiff_warnings)
add_executable(direct_fetch direct_fetch.cpp)
target_link_libraries(direct_fetch PRIVATE CURL::libcurl skiff_warnings)
add_executable(handheld_bench handheld_bench.cpp)
target_link_libraries(handheld_bench PRIVATE skiff_handheld skiff_warnings)
