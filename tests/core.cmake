# Unit tests of the core (events, text, activity log), the COM vocabulary and ComError.
# Portable: they run in the native build and, cross-built, under Wine.
skiff_test(event_test SOURCES unit/event_test.cpp LIBS skiff_core LABELS unit)
skiff_test(text_test SOURCES unit/text_test.cpp LIBS skiff_core LABELS unit)
skiff_test(activity_log_test SOURCES unit/activity_log_test.cpp LIBS skiff_core LABELS unit)
skiff_test(com_error_test SOURCES unit/com_error_test.cpp LIBS skiff_devapi LABELS unit)
