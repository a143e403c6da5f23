# The libcurl transport's own tests; those against the loopback peers are linked into the
# transport contract test (transport_contract.cmake).
if(WIN32)
  return()
endif()
# No heap allocation per body read, in the transport or in libcurl, reading from the
# transport contract's peers (tests/integration/support/http_peers.py).
find_package(Python3 COMPONENTS Interpreter REQUIRED)
add_executable(curl_allocations_test integration/curl_allocations_test.cpp)
target_link_libraries(curl_allocations_test PRIVATE skiff_posix_http GTest::gtest GTest::gtest_main skiff_warnings)
target_include_directories(curl_allocations_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
# (The emulator must be set before the discovery reads it.)
set_target_properties(curl_allocations_test PROPERTIES CROSSCOMPILING_EMULATOR
  "${Python3_EXECUTABLE};${CMAKE_CURRENT_SOURCE_DIR}/integration/support/http_peers.py;--")
gtest_discover_tests(curl_allocations_test DISCOVERY_TIMEOUT 120 PROPERTIES LABELS integration TIMEOUT 600)
set_property(GLOBAL APPEND PROPERTY SKIFF_TEST_TARGETS curl_allocations_test)
