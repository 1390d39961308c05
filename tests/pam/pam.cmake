# The PAM module under pam_wrapper: pam_start/pam_authenticate from a test
# program, with service files of the build tree, against the real daemon on the
# private bus with the emulated module.
if(TARGET pam_tirvane AND TARGET tirvane_e2e_fixture)
  find_library(TIRVANE_PAM_WRAPPER_LIBRARY NAMES pam_wrapper)
  if(NOT TIRVANE_PAM_WRAPPER_LIBRARY)
    set(TIRVANE_PAM_WRAPPER_LIBRARY "")
  endif()
  # The attack suite's users of digits only come from nss_wrapper.
  find_library(TIRVANE_NSS_WRAPPER_LIBRARY NAMES nss_wrapper)
  if(NOT TIRVANE_NSS_WRAPPER_LIBRARY)
    set(TIRVANE_NSS_WRAPPER_LIBRARY "")
  endif()
  set(_pam_services ${CMAKE_BINARY_DIR}/tests/pam/services)
  # One service per option set the tests need.
  foreach(_svc "tirvane|" "tirvane-short|timeout=2" "tirvane-two|max-tries=2")
    string(REPLACE "|" ";" _svc "${_svc}")
    list(GET _svc 0 _svc_name)
    list(GET _svc 1 _svc_options)
    file(GENERATE OUTPUT ${_pam_services}/${_svc_name}
         CONTENT "auth required $<TARGET_FILE:pam_tirvane> debug ${_svc_options}\n")
  endforeach()
  # libpam reads "other" for any service it does not know.
  file(GENERATE OUTPUT ${_pam_services}/other CONTENT "auth required pam_deny.so\n")

  add_executable(pam_module_test ${CMAKE_CURRENT_LIST_DIR}/pam_test.cpp)
  target_compile_options(pam_module_test PRIVATE ${TIRVANE_WARNINGS})
  target_link_libraries(pam_module_test PRIVATE tirvane_e2e_fixture GTest::gtest PkgConfig::PAM
                        PkgConfig::LIBSYSTEMD)
  target_compile_definitions(pam_module_test PRIVATE
    TIRVANE_PAM_WRAPPER_LIBRARY="${TIRVANE_PAM_WRAPPER_LIBRARY}"
    TIRVANE_PAM_SERVICE_DIR="${_pam_services}")
  add_dependencies(pam_module_test pam_tirvane)
  foreach(_group Authenticate Refusal Remote Sender Stop)
    string(TOLOWER ${_group} _lower)
    add_test(NAME pam.${_lower} COMMAND pam_module_test --gtest_filter=*${_group}*)
    set_tests_properties(pam.${_lower} PROPERTIES TIMEOUT 300 SKIP_RETURN_CODE 77)
  endforeach()
  # Attacks by a local user, one row each, against the module and the daemon.
  add_executable(pam_attack_test ${CMAKE_CURRENT_LIST_DIR}/attack_test.cpp)
  target_compile_options(pam_attack_test PRIVATE ${TIRVANE_WARNINGS})
  target_link_libraries(pam_attack_test PRIVATE tirvane_e2e_fixture GTest::gtest PkgConfig::PAM
                        PkgConfig::LIBSYSTEMD)
  target_compile_definitions(pam_attack_test PRIVATE
    TIRVANE_PAM_WRAPPER_LIBRARY="${TIRVANE_PAM_WRAPPER_LIBRARY}"
    TIRVANE_NSS_WRAPPER_LIBRARY="${TIRVANE_NSS_WRAPPER_LIBRARY}"
    TIRVANE_PAM_SERVICE_DIR="${_pam_services}")
  add_dependencies(pam_attack_test pam_tirvane)
  add_test(NAME pam.attack COMMAND pam_attack_test --gtest_filter=*Attack*)
  set_tests_properties(pam.attack PROPERTIES TIMEOUT 600 SKIP_RETURN_CODE 77)
  # The desktop's own PAM module against our standard interface.
  find_file(TIRVANE_PAM_FPRINTD pam_fprintd.so PATHS /lib/${CMAKE_LIBRARY_ARCHITECTURE}/security
            /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/security NO_DEFAULT_PATH)
  if(NOT TIRVANE_PAM_FPRINTD)
    set(TIRVANE_PAM_FPRINTD "/lib/${CMAKE_LIBRARY_ARCHITECTURE}/security/pam_fprintd.so")
  endif()
  file(GENERATE OUTPUT ${_pam_services}/fprintd
       CONTENT "auth required ${TIRVANE_PAM_FPRINTD} debug max-tries=2 timeout=10\n")
  add_executable(pam_fprintd_test ${CMAKE_CURRENT_LIST_DIR}/fprintd_test.cpp)
  target_compile_options(pam_fprintd_test PRIVATE ${TIRVANE_WARNINGS})
  target_link_libraries(pam_fprintd_test PRIVATE tirvane_e2e_fixture GTest::gtest PkgConfig::PAM
                        PkgConfig::LIBSYSTEMD)
  target_compile_definitions(pam_fprintd_test PRIVATE
    TIRVANE_PAM_WRAPPER_LIBRARY="${TIRVANE_PAM_WRAPPER_LIBRARY}"
    TIRVANE_PAM_FPRINTD="${TIRVANE_PAM_FPRINTD}"
    TIRVANE_PAM_SERVICE_DIR="${_pam_services}")
  add_test(NAME pam.fprintd COMMAND pam_fprintd_test)
  set_tests_properties(pam.fprintd PROPERTIES TIMEOUT 300 SKIP_RETURN_CODE 77)
  # The Debian pam-auth-update profile.
  add_test(NAME pam.profile COMMAND ${CMAKE_CURRENT_LIST_DIR}/profile_test.sh
           ${CMAKE_SOURCE_DIR}/pam/tirvane.pam-config)
  set_tests_properties(pam.profile PROPERTIES TIMEOUT 60 SKIP_RETURN_CODE 77)
endif()
