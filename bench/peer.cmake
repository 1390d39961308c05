# The service beside fprintd on one private bus (bench/run-peer-bench.sh), and
# the latency from a finger to the match signal.
if(TARGET tirvane_e2e_fixture)
  add_executable(peer_bench ${CMAKE_CURRENT_LIST_DIR}/peer_bench.cpp)
  target_compile_options(peer_bench PRIVATE ${TIRVANE_WARNINGS})
  target_link_libraries(peer_bench PRIVATE tirvane_e2e_fixture)
endif()

if(TARGET tirvane_e2e_fixture)
  add_executable(match_bench ${CMAKE_CURRENT_LIST_DIR}/match_bench.cpp)
  target_compile_options(match_bench PRIVATE ${TIRVANE_WARNINGS})
  target_link_libraries(match_bench PRIVATE tirvane_e2e_fixture)
endif()

# The desktop interface of the service beside fprintd's, one private bus each
# (bench/run-desktop-bench.sh).
if(TARGET tirvane_e2e_fixture)
  add_executable(desktop_bench ${CMAKE_CURRENT_LIST_DIR}/desktop_bench.cpp)
  target_compile_options(desktop_bench PRIVATE ${TIRVANE_WARNINGS})
  target_link_libraries(desktop_bench PRIVATE tirvane_e2e_fixture)
endif()
