# The handheld tool's parsers, natively and (cross-built) under Wine with WinHTTP's URL
# parser; and what the tool says when no desktop program listens.
skiff_test(handheld_test SOURCES unit/handheld_test.cpp LIBS skiff_handheld LABELS unit)

# The tool itself runs (cross-built: under Wine, reaching for the desktop over Winsock).
set_property(GLOBAL APPEND PROPERTY SKIFF_TEST_TARGETS skiffhouse-handheld)
add_test(NAME handheld_reports_no_desktop COMMAND skiffhouse-handheld --port 1 ping)
if(WIN32)
  set(no_desktop_hint "Start skiffhouse\\.exe; [^\n]*\nregister the stand-in first \\(regsvr32 skiffhouse-standin\\.dll\\)")
else()
  set(no_desktop_hint "Start it with `skiffhouse` \\(in a source tree: scripts/run\\.sh\\)")
endif()
set_tests_properties(handheld_reports_no_desktop PROPERTIES LABELS "integration;usb_link"
                     PASS_REGULAR_EXPRESSION "cannot connect to 127\\.0\\.0\\.1:1: [^\n]*\nIs it running\\? ${no_desktop_hint}")
