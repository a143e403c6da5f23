# The USB link's frame reader and ATTACH body parser. The codec's source is compiled into
# the fuzzer itself so that libFuzzer's coverage reaches it. Seeds in corpus/usb_frame/.
skiff_fuzzer(usb_frame_fuzzer
             SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/usb_frame_fuzzer.cpp
                     ${PROJECT_SOURCE_DIR}/src/usb_link/usb_frame.cpp
             LIBS skiff_compat)
