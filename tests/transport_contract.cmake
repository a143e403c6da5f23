# One contract for both HTTP transports: libcurl in the native builds, WinHTTP in the
# Windows build (under Wine). Each test runs inside http_peers.py, which starts the
# loopback HTTP and HTTPS servers and tinyproxy as Linux processes for that one test.
find_package(Python3 COMPONENTS Interpreter REQUIRED)

if(WIN32)
  set(contract_platform integration/transport_contract/winhttp_under_test.cpp)
  set(contract_libs skiff_win32_http psapi)
  # The user's proxy setting lives in the prefix's registry, shared by every process in it.
  set(contract_lock RESOURCE_LOCK wineprefix_internet_settings)
else()
  # the libcurl transport, with its own cases beyond the contract (allocations counted)
  set(contract_platform integration/curl_transport_test.cpp support/counting_allocator.cpp)
  set(contract_libs skiff_posix_http)
  set(contract_lock)
endif()

add_executable(http_transport_contract_test integration/http_transport_contract_test.cpp ${contract_platform})
target_link_libraries(http_transport_contract_test PRIVATE ${contract_libs} skiff_protocol GTest::gtest
                      GTest::gtest_main skiff_warnings)
target_include_directories(http_transport_contract_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
set_target_properties(http_transport_contract_test PROPERTIES CROSSCOMPILING_EMULATOR
  "${Python3_EXECUTABLE};${CMAKE_CURRENT_SOURCE_DIR}/integration/support/http_peers.py;--;${CMAKE_CROSSCOMPILING_EMULATOR}")
gtest_discover_tests(http_transport_contract_test DISCOVERY_TIMEOUT 120
                     PROPERTIES LABELS "integration;transport_contract" TIMEOUT 600 ${contract_lock})
set_property(GLOBAL APPEND PROPERTY SKIFF_TEST_TARGETS http_transport_contract_test)
