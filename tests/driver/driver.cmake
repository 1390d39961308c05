# Unit tests of the sensor protocol driver, run against a test-local fake
# transport (no USB library, no module emulator).
include(GoogleTest)

set(_driver_test_dir ${CMAKE_CURRENT_LIST_DIR})
add_executable(driver_tests
  ${_driver_test_dir}/fake_module.cpp
  ${_driver_test_dir}/frame_test.cpp
  ${_driver_test_dir}/parser_test.cpp
  ${_driver_test_dir}/decode_test.cpp
  ${_driver_test_dir}/info_test.cpp
  ${_driver_test_dir}/enroll_test.cpp
  ${_driver_test_dir}/identify_test.cpp
  ${_driver_test_dir}/control_test.cpp
  ${_driver_test_dir}/recovery_test.cpp
  $<TARGET_OBJECTS:tvp_driver>
  $<TARGET_OBJECTS:tvp_core>)
target_include_directories(driver_tests PRIVATE ${_driver_test_dir} ${CMAKE_SOURCE_DIR}/src
                           ${CMAKE_SOURCE_DIR}/private-include)
target_compile_options(driver_tests PRIVATE ${TIRVANE_WARNINGS})
target_link_libraries(driver_tests PRIVATE GTest::gtest_main PkgConfig::LIBUSB PkgConfig::GLIB Threads::Threads)
gtest_discover_tests(driver_tests TEST_PREFIX "driver." DISCOVERY_MODE PRE_TEST)

# The pure part of the driver (framing, receive machine, decoding, one-key
# result, clock) with the log alone: a transport call creeping into it fails
# this link.
set(_driver_pure_sources)
foreach(_u proto clock parser decode onekey)
  list(APPEND _driver_pure_sources ${CMAKE_SOURCE_DIR}/src/app_fp256_360-${_u}.cpp)
endforeach()
add_executable(driver_pure_tests ${_driver_test_dir}/pure_test.cpp ${_driver_pure_sources}
  $<TARGET_OBJECTS:tvp_core>)
target_include_directories(driver_pure_tests PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/private-include)
target_compile_options(driver_pure_tests PRIVATE ${TIRVANE_WARNINGS})
target_link_libraries(driver_pure_tests PRIVATE GTest::gtest_main PkgConfig::GLIB Threads::Threads)
gtest_discover_tests(driver_pure_tests TEST_PREFIX "driver." DISCOVERY_MODE PRE_TEST)
