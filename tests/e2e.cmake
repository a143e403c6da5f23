# End-to-end tests: skiffhouse and skiffhouse-handheld as whole processes, with a loopback
# HTTP(S) server, a test certificate authority made with openssl, and tinyproxy.
if(WIN32)
  return()
endif()
if(NOT TARGET skiffhouse OR NOT TARGET skiffhouse-handheld)
  return()
endif()
find_package(Python3 COMPONENTS Interpreter REQUIRED)

set(e2e_tests
  Fetch.test_large_body_arrives_byte_for_byte
  Fetch.test_https_with_a_certificate_authority_named_by_the_environment
  Fetch.test_through_tinyproxy
  Fetch.test_server_reset_mid_body_reaches_the_handheld_as_an_error
  Fetch.test_handheld_killed_mid_fetch_then_next_one_is_served
  Display.test_handheld_text_cannot_drive_the_terminal
  Passwords.test_remembered_password_opens_the_next_attach_without_a_prompt
  Passwords.test_cancel_ignores_the_device_until_it_is_detached_then_asks_again
  Passwords.test_wrong_answer_asks_again_with_fewer_attempts
  Passwords.test_last_wrong_answer_wipes_and_the_program_goes_on
  Settings.test_first_start_registers_and_a_turned_off_registration_stays_off
  Settings.test_damaged_profile_is_reported_and_the_program_runs
  Settings.test_settings_that_cannot_be_written_are_reported_and_the_program_runs
  Instances.test_second_start_shows_the_first_and_writes_nothing
  Instances.test_simultaneous_starts_leave_exactly_one_running
  Instances.test_stale_socket_and_lock_of_a_killed_instance_are_taken_over
  Exit.test_exit_while_serving_a_stalled_fetch
  Exit.test_sigterm_while_the_prompt_is_open
  Exit.test_end_of_input_while_idle_and_while_the_prompt_is_open
  Exit.test_help)

foreach(test IN LISTS e2e_tests)
  add_test(NAME e2e.${test}
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/test_desktop.py ${test})
  set_tests_properties(e2e.${test} PROPERTIES
    LABELS e2e TIMEOUT 300
    ENVIRONMENT "SKIFFHOUSE_BIN=$<TARGET_FILE:skiffhouse>;SKIFFHOUSE_HANDHELD_BIN=$<TARGET_FILE:skiffhouse-handheld>")
endforeach()
