# libFuzzer targets for the service's parsers, built with AddressSanitizer and
# UndefinedBehaviorSanitizer.
#
# The service is normally built with g++, which has no libFuzzer. The fuzz
# targets therefore live in a build of their own, configured with clang and
# TIRVANE_FUZZ=ON (scripts/fuzz.sh does that in build-fuzz). In that build the
# service sources they need are compiled once more, instrumented, into one
# static library; the service's own warnings (-Wall -Wextra -Werror) apply.
#
# In the normal build this file only adds the CTest test fuzz.short, which runs
# scripts/fuzz.sh for 5 seconds per target (skipped when clang++ is missing).

option(TIRVANE_FUZZ "Build the libFuzzer targets (needs CXX=clang++)" OFF)
set(_fuzz_dir ${CMAKE_CURRENT_LIST_DIR})
set(TIRVANE_FUZZ_TARGETS fuzz_receive fuzz_bootloader fuzz_keyfile_list fuzz_keyfile_driver fuzz_fw_description)

if(TIRVANE_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(WARNING "TIRVANE_FUZZ needs clang (CC=clang CXX=clang++); no fuzz targets are built")
    return()
  endif()

  # Extra flags for the service sources of this build only (empty by default).
  set(TIRVANE_FUZZ_SRC_FLAGS "" CACHE STRING "Extra compile flags for the service sources of the fuzz build")
  separate_arguments(_fuzz_src_extra UNIX_COMMAND "${TIRVANE_FUZZ_SRC_FLAGS}")

  set(_fuzz_sanitizers -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g)

  set(_fuzz_units)
  foreach(_src ${TVP_CORE_SOURCES} ${TVP_USB_SOURCES} ${TVP_COMMON_SOURCES} ${TVP_DRIVER_SOURCES}
               ${TVP_UPGRADE_SOURCES})
    list(APPEND _fuzz_units ${CMAKE_SOURCE_DIR}/${_src})
  endforeach()

  add_library(tvp_fuzz_units STATIC ${_fuzz_units})
  target_include_directories(tvp_fuzz_units PUBLIC ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/private-include)
  target_compile_options(tvp_fuzz_units PRIVATE ${TIRVANE_WARNINGS} ${_fuzz_src_extra}
                         -fsanitize=fuzzer-no-link ${_fuzz_sanitizers})
  target_link_libraries(tvp_fuzz_units PUBLIC PkgConfig::GLIB PkgConfig::LIBUSB Threads::Threads)

  # The sensor driver's framing, receive machine and decoding are pure (bytes in,
  # records out): fuzz_receive links them with the log alone, without any
  # transport, so a transport call creeping into them fails this link.
  set(_fuzz_driver_pure)
  foreach(_u proto clock parser decode onekey)
    list(APPEND _fuzz_driver_pure ${CMAKE_SOURCE_DIR}/src/app_fp256_360-${_u}.cpp)
  endforeach()
  add_library(tvp_fuzz_driver_pure STATIC ${_fuzz_driver_pure} ${CMAKE_SOURCE_DIR}/src/tirvane-server-log.cpp
              ${CMAKE_SOURCE_DIR}/src/tirvane-server-util.cpp)
  target_include_directories(tvp_fuzz_driver_pure PUBLIC ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/private-include)
  target_compile_options(tvp_fuzz_driver_pure PRIVATE ${TIRVANE_WARNINGS} ${_fuzz_src_extra}
                         -fsanitize=fuzzer-no-link ${_fuzz_sanitizers})
  target_link_libraries(tvp_fuzz_driver_pure PUBLIC PkgConfig::GLIB Threads::Threads)

  foreach(_t ${TIRVANE_FUZZ_TARGETS})
    add_executable(${_t} ${_fuzz_dir}/${_t}.cpp)
    target_include_directories(${_t} PRIVATE ${_fuzz_dir})
    target_compile_options(${_t} PRIVATE ${TIRVANE_WARNINGS} -fsanitize=fuzzer ${_fuzz_sanitizers})
    target_link_options(${_t} PRIVATE -fsanitize=fuzzer,address,undefined)
    if(_t STREQUAL "fuzz_receive")
      target_link_libraries(${_t} PRIVATE tvp_fuzz_driver_pure)
    else()
      target_link_libraries(${_t} PRIVATE tvp_fuzz_units)
    endif()
    set_target_properties(${_t} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
    # Each target replays its seed corpus once (no mutation): a quick regression run.
    add_test(NAME fuzz.replay.${_t}
             COMMAND ${_t} -runs=0 ${_fuzz_dir}/corpus/${_t})
    set_tests_properties(fuzz.replay.${_t} PROPERTIES TIMEOUT 300
      ENVIRONMENT "LSAN_OPTIONS=suppressions=${_fuzz_dir}/lsan.supp;UBSAN_OPTIONS=print_stacktrace=1")
  endforeach()
  add_custom_target(fuzz_targets DEPENDS ${TIRVANE_FUZZ_TARGETS})
else()
  # The short campaign, from the normal build. It builds in its own directory
  # (build-fuzz, under a lock) and loads both cores, so it runs alone.
  find_program(TIRVANE_CLANGXX clang++)
  if(TIRVANE_CLANGXX)
    add_test(NAME fuzz.short COMMAND ${CMAKE_SOURCE_DIR}/scripts/fuzz.sh 5)
  else()
    add_test(NAME fuzz.short COMMAND sh -c "echo 'clang++ not found: fuzz targets not built'; exit 77")
  endif()
  set_tests_properties(fuzz.short PROPERTIES SKIP_RETURN_CODE 77 RUN_SERIAL TRUE TIMEOUT 2400)
endif()
