# Unit tests of the COM vocabulary, the core (events, text, activity log) and ComError.
# Portable: they run in the native build and, cross-built, under Wine.
skiff_test(compat_test SOURCES unit/compat_test.cpp LIBS skiff_compat LABELS unit)
