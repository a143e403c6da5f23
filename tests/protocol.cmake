# Unit tests of the packet protocol, the request dispatcher, the fetch requests and the
# HTTP client, against a recording channel and a scripted transport.
skiff_test(http_client_test SOURCES unit/http_client_test.cpp LIBS skiff_http LABELS unit)
skiff_test(http_error_text_test SOURCES unit/http_error_text_test.cpp LIBS skiff_http LABELS unit)
skiff_test(dispatcher_test SOURCES unit/dispatcher_test.cpp LIBS skiff_protocol LABELS unit)
skiff_test(fetch_requests_test SOURCES unit/fetch_requests_test.cpp LIBS skiff_protocol LABELS unit)
skiff_test(packet_allocations_test SOURCES unit/packet_allocations_test.cpp support/counting_allocator.cpp LIBS skiff_protocol
           LABELS unit)
