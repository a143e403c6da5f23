# The Windows program's system parts under Wine, in the build's own prefix: the registry
# profile and Run value against a key of the test's own, and the creation of the device
# manager through COM.
if(NOT WIN32)
  return()
endif()

skiff_test(registry_settings_test SOURCES integration/registry_settings_test.cpp LIBS skiff_win32_registry
           LABELS integration)
skiff_test(com_creation_test SOURCES integration/com_creation_test.cpp LIBS skiff_win32_com LABELS integration)
