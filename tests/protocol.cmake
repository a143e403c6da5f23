# Unit tests of the packet protocol, the request dispatcher, the fetch requests and the
# HTTP client beneath them, against a recording channel and a scripted transport.
skiff_test(dispatcher_test SOURCES unit/dispatcher_test.cpp LIBS skiff_protocol LABELS unit)
skiff_test(fetch_requests_test SOURCES unit/fetch_requests_test.cpp support/counting_allocator.cpp LIBS skiff_protocol
           LABELS unit)
