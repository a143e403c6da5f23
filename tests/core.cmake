# Unit tests of the core (events, text, activity log), the COM vocabulary and ComError.
# Portable: they run in the native build and, cross-built, under Wine.
skiff_test(core_test SOURCES unit/core_test.cpp LIBS skiff_core LABELS unit)
skiff_test(com_error_test SOURCES unit/com_error_test.cpp LIBS skiff_devapi LABELS unit)
