# The module emulator's own tests: programs linked against the libusb stand-in instead of libusb.
set(_emu_dir ${CMAKE_CURRENT_LIST_DIR})
add_executable(emulator_tests
  ${_emu_dir}/emu_test_support.cpp
  ${_emu_dir}/test_envelope.cpp
  ${_emu_dir}/test_hotplug.cpp
  ${_emu_dir}/test_firmware.cpp
  ${_emu_dir}/test_bootloader.cpp
  ${_emu_dir}/test_state_control.cpp
  ${_emu_dir}/test_faults.cpp)
target_include_directories(emulator_tests PRIVATE ${_emu_dir})
target_compile_options(emulator_tests PRIVATE -Wall -Wextra -Werror)
target_compile_definitions(emulator_tests PRIVATE TIRVANE_EMU_CLI="$<TARGET_FILE:tirvane-emu>")
target_link_libraries(emulator_tests PRIVATE tirvane-usb-standin tirvane_emu_client GTest::gtest_main
                      Threads::Threads)
add_dependencies(emulator_tests tirvane-emu)
include(GoogleTest)
gtest_discover_tests(emulator_tests TEST_PREFIX "emulator." DISCOVERY_TIMEOUT 30
                     PROPERTIES TIMEOUT 60)
