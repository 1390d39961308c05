# pam_tirvane.so as pamtester drives it: PAM start to the "place your finger"
# prompt, and touch to PAM_SUCCESS, under pam_wrapper against the service on the
# private bus with the emulated module.
if(TARGET tirvane_e2e_fixture AND TARGET pam_tirvane)
  find_library(TIRVANE_PAM_WRAPPER_LIBRARY NAMES pam_wrapper)
  if(NOT TIRVANE_PAM_WRAPPER_LIBRARY)
    set(TIRVANE_PAM_WRAPPER_LIBRARY "")
  endif()
  set(_bench_pam_services ${CMAKE_BINARY_DIR}/bench/pam-services)
  file(GENERATE OUTPUT ${_bench_pam_services}/tirvane-bench
       CONTENT "auth required $<TARGET_FILE:pam_tirvane> timeout=10\n")
  file(GENERATE OUTPUT ${_bench_pam_services}/other CONTENT "auth required pam_deny.so\n")
  add_executable(pam_bench ${CMAKE_CURRENT_LIST_DIR}/pam_bench.cpp)
  target_compile_options(pam_bench PRIVATE ${TIRVANE_WARNINGS})
  target_link_libraries(pam_bench PRIVATE tirvane_e2e_fixture PkgConfig::PAM)
  target_compile_definitions(pam_bench PRIVATE
    TIRVANE_PAM_WRAPPER_LIBRARY="${TIRVANE_PAM_WRAPPER_LIBRARY}"
    TIRVANE_PAM_SERVICE_DIR="${_bench_pam_services}")
  add_dependencies(pam_bench pam_tirvane)
endif()
