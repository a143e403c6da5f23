# The libcurl transport against real peers: an in-process loopback HTTP(S) server,
# certificates made by the openssl tool, and a tinyproxy process.
if(WIN32)
  return()
endif()
skiff_test(curl_transport_test SOURCES integration/curl_transport_test.cpp
           LIBS skiff_posix_http skiff_test_peers LABELS integration)
skiff_test(curl_proxy_test SOURCES integration/curl_proxy_test.cpp
           LIBS skiff_posix_http skiff_test_peers LABELS integration)
# The transport's socket-free parts: body ring, header parser, redirect policy.
skiff_test(curl_parts_test SOURCES unit/curl_parts_test.cpp LIBS skiff_posix_http LABELS unit)
# No heap allocation per body read, in the transport or in libcurl.
skiff_test(curl_allocations_test SOURCES integration/curl_allocations_test.cpp
           LIBS skiff_posix_http skiff_test_peers LABELS integration)
