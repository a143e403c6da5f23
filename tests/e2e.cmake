# End-to-end tests: skiffhouse and skiffhouse-handheld as whole processes, with a loopback
# HTTP(S) server, a test certificate authority made with openssl, and tinyproxy. Each
# test_* method of test_desktop.py is one CTest test, named e2e.<Class>.<method>.
if(WIN32 OR NOT TARGET skiffhouse OR NOT TARGET skiffhouse-handheld)
  return()
endif()
skiff_python_tests(e2e ${CMAKE_CURRENT_SOURCE_DIR}/e2e/test_desktop.py PROPERTIES LABELS e2e TIMEOUT 300
  ENVIRONMENT "SKIFFHOUSE_BIN=$<TARGET_FILE:skiffhouse>" "SKIFFHOUSE_HANDHELD_BIN=$<TARGET_FILE:skiffhouse-handheld>")
