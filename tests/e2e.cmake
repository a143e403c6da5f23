# End-to-end tests: skiffhouse and skiffhouse-handheld as whole processes, with a loopback
# HTTP(S) server, a test certificate authority made with openssl, and tinyproxy. Each
# test_* method of test_desktop.py is one CTest test, named e2e.<Class>.<method>.
if(WIN32 OR NOT TARGET skiffhouse OR NOT TARGET skiffhouse-handheld)
  return()
endif()
find_package(Python3 COMPONENTS Interpreter REQUIRED)

set(e2e_script ${CMAKE_CURRENT_SOURCE_DIR}/e2e/test_desktop.py)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${e2e_script})
file(STRINGS ${e2e_script} e2e_lines REGEX "^class [A-Za-z]+\\(DesktopTestCase\\)|^    def test_")
foreach(line IN LISTS e2e_lines)
  if(line MATCHES "^class ([A-Za-z]+)")
    set(e2e_class ${CMAKE_MATCH_1})
    continue()
  endif()
  string(REGEX REPLACE "^    def (test_[A-Za-z0-9_]+).*" "\\1" e2e_method "${line}")
  set(test ${e2e_class}.${e2e_method})
  add_test(NAME e2e.${test} COMMAND ${Python3_EXECUTABLE} ${e2e_script} ${test})
  set_tests_properties(e2e.${test} PROPERTIES
    LABELS e2e TIMEOUT 300
    ENVIRONMENT "SKIFFHOUSE_BIN=$<TARGET_FILE:skiffhouse>;SKIFFHOUSE_HANDHELD_BIN=$<TARGET_FILE:skiffhouse-handheld>")
endforeach()
