# Small fetches over a distance: the relay that delays each direction, driven with the
# simulated handheld and the curl tool by bench/keepalive_bench.sh.
if(WIN32 OR NOT TARGET skiff_handheld)
  return()
endif()
add_executable(delay_relay delay_relay.cpp)
target_link_libraries(delay_relay PRIVATE skiff_warnings)
