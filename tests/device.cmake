# Unit tests of the device worker (watcher thread, sinks, password challenge, device
# pass, properties, channel reads) against a scripted device manager, and of SHA-1.
# POSIX only: OpenSSL, the SHA-1 reference, has no package for the Windows cross build.
if(WIN32)
  return()
endif()
find_package(OpenSSL REQUIRED)

# OpenSSL serves only as the independent reference for SHA-1: the tests check the
# program's own digest against it, and the fake handheld uses it to check answers.
add_library(skiff_device_fakes STATIC unit/fakes/fake_device_manager.cpp unit/fakes/device_test_support.cpp)
target_include_directories(skiff_device_fakes PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/unit)
target_link_libraries(skiff_device_fakes PUBLIC skiff_device OpenSSL::Crypto GTest::gtest PRIVATE skiff_warnings)

skiff_test(sha1_test SOURCES unit/sha1_test.cpp LIBS skiff_device OpenSSL::Crypto LABELS unit)
skiff_test(device_worker_test
  SOURCES unit/device_pass_test.cpp unit/device_properties_test.cpp unit/device_channel_test.cpp
          unit/device_challenge_test.cpp unit/device_watcher_test.cpp unit/device_sinks_test.cpp
          unit/device_stop_test.cpp
  LIBS skiff_device_fakes LABELS unit)
