# The bootloader protocol's pieces, and whole upgrade attempts through the
# emulated module (run with TIRVANE_EMU_SOCKET set, see bench/run-upgrade-bench.sh).
if(TARGET tirvane-usb-standin AND TARGET tirvane_emu_client)
  add_executable(upgrade_bench ${CMAKE_CURRENT_LIST_DIR}/upgrade_bench.cpp
    ${CMAKE_CURRENT_LIST_DIR}/upgrade_bench_emulator.cpp
    $<TARGET_OBJECTS:tvp_upgrade> $<TARGET_OBJECTS:tvp_core>)
  target_include_directories(upgrade_bench PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/private-include)
  target_compile_options(upgrade_bench PRIVATE ${TIRVANE_WARNINGS})
  target_link_libraries(upgrade_bench PRIVATE benchmark::benchmark tirvane-usb-standin tirvane_emu_client
                        PkgConfig::GLIB Threads::Threads)
endif()
