# The USB-link device manager and the simulated handheld, over a real Unix socket.
if(WIN32)
  return()
endif()
set(usb_link_support integration/usb_link_support/usb_link_harness.cpp)

skiff_test(usb_link_frame_test SOURCES integration/usb_link_frame_test.cpp
           LIBS skiff_usb_link LABELS integration usb_link)
skiff_test(usb_link_manager_test SOURCES integration/usb_link_manager_test.cpp ${usb_link_support}
           LIBS skiff_usb_link skiff_handheld skiff_test_peers LABELS integration usb_link)
skiff_test(usb_link_handheld_test SOURCES integration/usb_link_handheld_test.cpp ${usb_link_support}
           LIBS skiff_usb_link skiff_handheld skiff_test_peers LABELS integration usb_link)
target_compile_definitions(usb_link_handheld_test PRIVATE
                           SKIFF_HANDHELD_BINARY="$<TARGET_FILE:skiffhouse-handheld>")
add_dependencies(usb_link_handheld_test skiffhouse-handheld)
