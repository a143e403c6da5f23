# Unit tests of the request dispatcher and the HTTP client, with heap allocations counted.
skiff_test(dispatcher_test SOURCES unit/dispatcher_test.cpp support/counting_allocator.cpp LIBS skiff_protocol
           LABELS unit)
