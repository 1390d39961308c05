# Tests of the firmware upgrade unit. The unit's objects are linked against a
# scripted stand-in of the libusb calls of the bootloader link (instead of
# libusb) and stand-ins of the log backend, the configuration directory and the
# upgrade counter, so that every case runs without hardware or configuration.
include(GoogleTest)

add_executable(upgrade_tests
  ${CMAKE_CURRENT_LIST_DIR}/test_env.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fake_libusb.cpp
  ${CMAKE_CURRENT_LIST_DIR}/upgrade_proto_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/upgrade_link_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/upgrade_procedure_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/upgrade_description_test.cpp
  $<TARGET_OBJECTS:tvp_upgrade>)
add_dependencies(upgrade_tests tvp_upgrade)
target_include_directories(upgrade_tests PRIVATE
  ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/private-include ${CMAKE_CURRENT_LIST_DIR})
# libusb's headers only: its functions come from fake_libusb.cpp.
target_include_directories(upgrade_tests SYSTEM PRIVATE
  $<TARGET_PROPERTY:PkgConfig::LIBUSB,INTERFACE_INCLUDE_DIRECTORIES>)
target_compile_options(upgrade_tests PRIVATE ${TIRVANE_WARNINGS})
target_link_libraries(upgrade_tests PRIVATE GTest::gtest_main Threads::Threads)
gtest_discover_tests(upgrade_tests TEST_PREFIX "upgrade." NO_PRETTY_VALUES DISCOVERY_TIMEOUT 60
  PROPERTIES ENVIRONMENT "TIRVANE_CONF_DIR=")
