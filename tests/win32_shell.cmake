# The Windows program's window, tray icon, dialogs and single instance, driven under
# Wine by a test program through window messages, in a virtual desktop of their own.
# Every test that starts skiffhouse.exe or writes its settings in the prefix holds the
# lock skiffhouse_program: one instance runs per desktop, and the settings are shared.
if(NOT WIN32)
  return()
endif()

# The password prompt is raised by a simulated handheld (the handheld tool's library)
# through the stand-in device manager, which the test registers in the prefix.
add_executable(win32_shell_test win32/shell_window_test.cpp win32/password_prompt_test.cpp win32/window_driver.cpp)
target_link_libraries(win32_shell_test PRIVATE skiff_handheld GTest::gtest GTest::gtest_main skiff_warnings user32
                                               advapi32 shell32 ws2_32)
add_dependencies(win32_shell_test skiffhouse skiffhouse-standin)
target_compile_definitions(win32_shell_test PRIVATE SKIFFHOUSE_EXE="$<TARGET_FILE:skiffhouse>"
                                                    SKIFF_STANDIN_DLL="$<TARGET_FILE:skiffhouse-standin>")
gtest_discover_tests(win32_shell_test DISCOVERY_TIMEOUT 120
                     PROPERTIES LABELS gui TIMEOUT 120 RESOURCE_LOCK skiffhouse_program)
set_property(GLOBAL APPEND PROPERTY SKIFF_TEST_TARGETS win32_shell_test)
