# The USB-link device manager over real sockets: the Unix socket on POSIX, TCP on
# 127.0.0.1 everywhere (under Wine in the Windows build).
skiff_test(usb_link_tcp_test SOURCES integration/usb_link_tcp_test.cpp
           LIBS skiff_usb_link skiff_device LABELS integration usb_link)
if(WIN32)
  return()
endif()

skiff_test(usb_link_frame_test SOURCES integration/usb_link_frame_test.cpp
           LIBS skiff_usb_link LABELS integration usb_link)
skiff_test(usb_link_manager_test SOURCES integration/usb_link_manager_test.cpp
           LIBS skiff_usb_link skiff_device LABELS integration usb_link)
