# The libcurl transport's own tests; those against the loopback peers are linked into the
# transport contract test (transport_contract.cmake).
if(WIN32)
  return()
endif()
# No heap allocation per body read, in the transport or in libcurl.
skiff_test(curl_allocations_test SOURCES integration/curl_allocations_test.cpp
           LIBS skiff_posix_http skiff_test_peers LABELS integration)
