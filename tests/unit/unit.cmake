# Unit tests of the service's units, each linked from the object libraries it needs.
function(tirvane_unit_test name)
  cmake_parse_arguments(T "STANDIN" "" "SOURCES;OBJECTS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  foreach(_obj ${T_OBJECTS})
    target_sources(${name} PRIVATE $<TARGET_OBJECTS:${_obj}>)
  endforeach()
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/private-include
                             ${GEN_DIR} ${CMAKE_SOURCE_DIR}/tests/unit)
  target_compile_options(${name} PRIVATE ${TIRVANE_WARNINGS})
  target_link_libraries(${name} PRIVATE GTest::gtest_main PkgConfig::GLIB Threads::Threads)
  if(T_STANDIN)
    # The emulated module answers instead of a real USB device.
    target_link_libraries(${name} PRIVATE tirvane-usb-standin tirvane_emu_client)
    target_include_directories(${name} PRIVATE ${LIBUSB_INCLUDE_DIRS})
  else()
    target_link_libraries(${name} PRIVATE PkgConfig::LIBUSB)
  endif()
  string(REPLACE "unit_" "unit." _test ${name})
  add_test(NAME ${_test} COMMAND ${name})
  set_tests_properties(${_test} PROPERTIES TIMEOUT 300)
  if(T_STANDIN)
    set_tests_properties(${_test} PROPERTIES ENVIRONMENT
      "TIRVANE_EMU_SOCKET=${CMAKE_CURRENT_BINARY_DIR}/${name}.sock;TIRVANE_EMU_STATE=${CMAKE_CURRENT_BINARY_DIR}/${name}.state")
  endif()
endfunction()

set(_u ${CMAKE_CURRENT_LIST_DIR})
tirvane_unit_test(unit_log SOURCES ${_u}/test_log.cpp ${_u}/unit_support.cpp OBJECTS tvp_core)
tirvane_unit_test(unit_status SOURCES ${_u}/test_status.cpp ${_u}/unit_support.cpp
                  OBJECTS tvp_core tvp_common tvp_usb)
tirvane_unit_test(unit_list SOURCES ${_u}/test_list.cpp ${_u}/unit_support.cpp OBJECTS tvp_core tvp_common tvp_usb)
tirvane_unit_test(unit_hotplug SOURCES ${_u}/test_hotplug.cpp ${_u}/unit_support.cpp
                  OBJECTS tvp_core tvp_common tvp_usb)
tirvane_unit_test(unit_presence SOURCES ${_u}/test_presence.cpp ${_u}/unit_support.cpp
                  OBJECTS tvp_core tvp_common tvp_usb)
tirvane_unit_test(unit_config SOURCES ${_u}/test_config.cpp ${_u}/unit_support.cpp
                  OBJECTS tvp_core tvp_common tvp_usb)
tirvane_unit_test(unit_lockout SOURCES ${_u}/test_lockout.cpp ${_u}/unit_support.cpp
                  ${CMAKE_SOURCE_DIR}/src/tirvane-server-lockout.cpp OBJECTS tvp_core)
tirvane_unit_test(unit_usb STANDIN SOURCES ${_u}/test_usb.cpp ${_u}/unit_support.cpp
                  OBJECTS tvp_core tvp_common tvp_usb)

# The transport's recovery paths against the scripted libusb of the upgrade tests,
# for what the emulated module cannot do (late statuses, data phases that break off).
add_executable(unit_usb_recovery ${_u}/test_usb_recovery.cpp ${_u}/unit_support.cpp
               ${CMAKE_SOURCE_DIR}/tests/upgrade/fake_libusb.cpp $<TARGET_OBJECTS:tvp_core> $<TARGET_OBJECTS:tvp_usb>)
target_include_directories(unit_usb_recovery PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/private-include
                           ${GEN_DIR} ${_u} ${CMAKE_SOURCE_DIR}/tests/upgrade)
target_include_directories(unit_usb_recovery SYSTEM PRIVATE
                           $<TARGET_PROPERTY:PkgConfig::LIBUSB,INTERFACE_INCLUDE_DIRECTORIES>)
target_compile_options(unit_usb_recovery PRIVATE ${TIRVANE_WARNINGS})
target_link_libraries(unit_usb_recovery PRIVATE GTest::gtest_main PkgConfig::GLIB Threads::Threads)
add_test(NAME unit.usb_recovery COMMAND unit_usb_recovery)
set_tests_properties(unit.usb_recovery PROPERTIES TIMEOUT 60)

# The gate's rule table against the generated interface description.
tirvane_unit_test(unit_rules SOURCES ${_u}/test_rules.cpp)
target_link_libraries(unit_rules PRIVATE tirvane_all)
target_compile_definitions(unit_rules PRIVATE
  TIRVANE_POLKIT_POLICY_PATH="${CMAKE_SOURCE_DIR}/data/nuvex.kal.tirvane.policy")

# The D-Bus names of the error replies, over a peer-to-peer connection.
tirvane_unit_test(unit_errors SOURCES ${_u}/test_errors.cpp)
target_link_libraries(unit_errors PRIVATE tirvane_all)

# The caller's identity and the gate's answers that depend on it, over a
# peer-to-peer connection with a user database of its own.
tirvane_unit_test(unit_caller SOURCES ${_u}/test_caller.cpp)
target_link_libraries(unit_caller PRIVATE tirvane_all ${CMAKE_DL_LIBS})

# The policy file is valid against polkit's own DTD.
add_test(NAME polkit.policy_validates
         COMMAND xmllint --noout --dtdvalid /usr/share/polkit-1/policyconfig-1.dtd
                 ${CMAKE_SOURCE_DIR}/data/nuvex.kal.tirvane.policy)
set_tests_properties(polkit.policy_validates PROPERTIES TIMEOUT 60)
tirvane_unit_test(unit_fprint_names SOURCES ${_u}/test_fprint_names.cpp
                  ${CMAKE_SOURCE_DIR}/src/fprint/fprint-names.cpp)
