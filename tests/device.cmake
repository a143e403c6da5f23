# Unit tests of the device worker (watcher thread, sinks, password challenge, device
# pass, properties, channel reads) against a scripted device manager, and of SHA-1.
# POSIX only: OpenSSL, the SHA-1 reference, has no package for the Windows cross build.
if(WIN32)
  return()
endif()
find_package(OpenSSL REQUIRED)

skiff_test(sha1_test SOURCES unit/sha1_test.cpp LIBS skiff_device OpenSSL::Crypto LABELS unit)
skiff_test(device_worker_test
  SOURCES unit/device_pass_test.cpp unit/device_properties_test.cpp unit/device_channel_test.cpp
          unit/device_challenge_test.cpp unit/device_watcher_test.cpp unit/device_sinks_test.cpp
          unit/device_stop_test.cpp
  LIBS skiff_test_support LABELS unit)
