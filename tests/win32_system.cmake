# The Windows program's system parts under Wine, in the build's own prefix: the registry
# profile and Run value against a key of the test's own, and the creation of the device
# manager through COM (the stand-in's is met by the whole-process tests below).
if(NOT WIN32)
  return()
endif()

skiff_test(registry_settings_test SOURCES integration/registry_settings_test.cpp LIBS skiff_win32_registry
           LABELS integration)
skiff_test(com_creation_test SOURCES integration/com_creation_test.cpp LIBS skiff_win32_com oleaut32 LABELS integration)

# Whole processes under Wine, each test in a copy of the build's prefix: every test_*
# method of test_windows.py is one CTest test, named wine.<Class>.<method>. The driver
# clicks in the program's windows as a user would. They take turns: all share one X
# display, where a window of one test's program takes the foreground from another's.
add_executable(skiff-wine-driver e2e/wine_driver.cpp)
target_link_libraries(skiff-wine-driver PRIVATE skiff_warnings user32 shell32)
set(wine_programs
  "SKIFFHOUSE_EXE=$<TARGET_FILE:skiffhouse>;SKIFFHOUSE_STANDIN=$<TARGET_FILE:skiffhouse-standin>"
  "SKIFFHOUSE_HANDHELD_EXE=$<TARGET_FILE:skiffhouse-handheld>;SKIFFHOUSE_DRIVER=$<TARGET_FILE:skiff-wine-driver>")
# The installer test installs the shipped build: the mingw-release preset's installer,
# which scripts/test.sh makes before this stage's tests run.
set(SKIFF_RELEASE_SETUP "${CMAKE_SOURCE_DIR}/build/mingw-release/SkiffHouse-${PROJECT_VERSION}-setup.exe"
    CACHE FILEPATH "The installer the Wine installer test installs (made by the mingw-release preset)")
skiff_python_tests(wine ${CMAKE_CURRENT_SOURCE_DIR}/e2e/test_windows.py
  PROPERTIES LABELS e2e TIMEOUT 300 RESOURCE_LOCK wine_display
  ENVIRONMENT "SKIFFHOUSE_WINE_PREFIX=${CMAKE_BINARY_DIR}/wineprefix"
              "SKIFFHOUSE_SETUP=${SKIFF_RELEASE_SETUP}" ${wine_programs})
# The mingw stage builds only the test targets: these are what the tests above run.
set_property(GLOBAL APPEND PROPERTY SKIFF_TEST_TARGETS skiffhouse skiffhouse-standin skiffhouse-handheld
                                                     skiff-wine-driver)
