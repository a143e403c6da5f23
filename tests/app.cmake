# The application shell's rules, and the POSIX program's parts against real files,
# pipes, terminals and sockets.
if(WIN32)
  return()
endif()

skiff_test(shell_test SOURCES unit/shell_test.cpp LIBS skiff_shell LABELS unit)
skiff_test(posix_app_test SOURCES integration/posix_app_test.cpp LIBS skiff_posix_app util
           LABELS integration)
