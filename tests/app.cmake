# The application shell's rules, and the POSIX program's parts against real files,
# pipes, terminals and sockets.
if(WIN32)
  return()
endif()

skiff_test(shell_rules_test SOURCES unit/shell_rules_test.cpp LIBS skiff_shell LABELS unit)
skiff_test(shell_main_window_test SOURCES unit/shell_main_window_test.cpp LIBS skiff_shell LABELS unit)
skiff_test(password_handoff_test SOURCES unit/password_handoff_test.cpp LIBS skiff_shell LABELS unit)
skiff_test(profile_ini_test SOURCES integration/profile_ini_test.cpp LIBS skiff_posix_app skiff_test_peers
           LABELS integration)
skiff_test(console_frontend_test SOURCES integration/console_frontend_test.cpp
           LIBS skiff_posix_app skiff_test_peers util LABELS integration)
