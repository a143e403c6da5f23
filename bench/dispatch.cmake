# Dispatch of one packet (Ping, and a 4000-byte Read reply) with scripted fakes.
add_executable(dispatch_bench dispatch_bench.cpp)
target_link_libraries(dispatch_bench PRIVATE skiff_protocol benchmark::benchmark)
target_include_directories(dispatch_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests)
