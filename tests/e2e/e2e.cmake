# End-to-end tests: the real daemon on a private bus with the emulated module.
add_library(tirvane_e2e_fixture STATIC ${CMAKE_CURRENT_LIST_DIR}/bus_fixture.cpp
            ${CMAKE_CURRENT_LIST_DIR}/unprivileged_client.cpp $<TARGET_OBJECTS:tirvane_generated>)
target_include_directories(tirvane_e2e_fixture PUBLIC ${CMAKE_CURRENT_LIST_DIR} ${GEN_DIR})
target_compile_options(tirvane_e2e_fixture PRIVATE ${TIRVANE_WARNINGS})
target_link_libraries(tirvane_e2e_fixture PUBLIC tirvane_emu_client PkgConfig::GLIB GTest::gtest Threads::Threads)
target_compile_definitions(tirvane_e2e_fixture PRIVATE
  TIRVANE_DAEMON_PATH="$<TARGET_FILE:tirvane-serverd>"
  TIRVANE_STANDIN_PATH="$<TARGET_FILE:tirvane-usb-standin>"
  TIRVANE_POLICY_PATH="${CMAKE_SOURCE_DIR}/data/nuvex.kal.Tirvane.conf"
  TIRVANE_FPRINT_POLICY_PATH="${CMAKE_SOURCE_DIR}/data/net.reactivated.Fprint.conf"
  TIRVANE_XML_PATH="${CMAKE_SOURCE_DIR}/data/nuvex.kal.Tirvane.xml")
add_dependencies(tirvane_e2e_fixture tirvane-serverd tirvane-usb-standin)

# Programs e2e_<name> from test_<name>.cpp; a new test file is added here.
set(_e2e_tests auth enroll fprint hotplug manage operation polkit sleep spine upgrade verify wire_recovery)
list(APPEND _e2e_tests onekey)
if(TARGET tirvanectl)
  list(APPEND _e2e_tests cli)
endif()
foreach(_short ${_e2e_tests})
  add_executable(e2e_${_short} ${CMAKE_CURRENT_LIST_DIR}/test_${_short}.cpp)
  target_compile_options(e2e_${_short} PRIVATE ${TIRVANE_WARNINGS})
  target_link_libraries(e2e_${_short} PRIVATE tirvane_e2e_fixture GTest::gtest_main)
  if(_short STREQUAL "fprint")
    target_compile_definitions(e2e_fprint PRIVATE TIRVANE_DATA_DIR="${CMAKE_SOURCE_DIR}/data")
  endif()
  if(_short STREQUAL "cli")
    target_compile_definitions(e2e_cli PRIVATE TIRVANE_CTL_PATH="$<TARGET_FILE:tirvanectl>")
    add_dependencies(e2e_cli tirvanectl)
  endif()
  add_test(NAME e2e.${_short} COMMAND e2e_${_short})
  set_tests_properties(e2e.${_short} PROPERTIES TIMEOUT 900)
endforeach()
