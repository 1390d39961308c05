# Stress, fault-injection and crash-safety tests: the real daemon on a private
# bus with the emulated module, driven hard for a bounded time. Programs
# stress_<name> from test_<name>.cpp; ctest names stress.<name>.
# Knobs (environment): TIRVANE_STRESS_SECONDS, TIRVANE_CRASH_ROUNDS,
# TIRVANE_VANISH_ROUNDS, TIRVANE_STRESS_SEED; see tests/stress/README.md.

# A client that starts an operation and waits to be killed.
add_executable(stress_vanishing_client ${CMAKE_CURRENT_LIST_DIR}/vanishing_client.cpp)
target_compile_options(stress_vanishing_client PRIVATE ${TIRVANE_WARNINGS})
target_link_libraries(stress_vanishing_client PRIVATE PkgConfig::GLIB)

# A new test file is added here.
foreach(_short crash faults load vanish)
  add_executable(stress_${_short} ${CMAKE_CURRENT_LIST_DIR}/test_${_short}.cpp)
  target_compile_options(stress_${_short} PRIVATE ${TIRVANE_WARNINGS})
  target_include_directories(stress_${_short} PRIVATE ${CMAKE_CURRENT_LIST_DIR})
  target_compile_definitions(stress_${_short} PRIVATE
    TIRVANE_VANISHING_CLIENT="$<TARGET_FILE:stress_vanishing_client>")
  target_link_libraries(stress_${_short} PRIVATE tirvane_e2e_fixture GTest::gtest_main)
  add_dependencies(stress_${_short} stress_vanishing_client)
  add_test(NAME stress.${_short} COMMAND stress_${_short})
  # Each program starts its own daemons and bus; they share two cores with it.
  set_tests_properties(stress.${_short} PROPERTIES TIMEOUT 900 RUN_SERIAL TRUE LABELS stress)
endforeach()
