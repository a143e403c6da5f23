# Unit tests of the device worker against a scripted device manager, and of SHA-1.
# POSIX only: OpenSSL, the SHA-1 reference, has no package for the Windows cross build.
if(WIN32)
  return()
endif()
find_package(OpenSSL REQUIRED)

skiff_test(sha1_test SOURCES unit/sha1_test.cpp LIBS skiff_device OpenSSL::Crypto LABELS unit)
skiff_test(device_worker_test SOURCES unit/device_worker_test.cpp LIBS skiff_test_support LABELS unit)
