# Checks that back the benchmark figures: serving Read packets allocates nothing on the
# desktop's own path (USB-link device manager, device worker, dispatcher, HTTP client).
# A binary of its own, since it replaces the global operator new.
if(WIN32)
  return()
endif()
skiff_test(read_path_allocations_test SOURCES integration/read_path_allocations_test.cpp support/counting_allocator.cpp
           LIBS skiff_test_support skiff_usb_link LABELS integration)
