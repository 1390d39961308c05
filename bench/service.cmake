# The service on a private bus with the emulated module: round trips, touch to
# match, idle footprint, and a whole firmware upgrade against its protocol floor.
if(TARGET tirvane_e2e_fixture)
  add_executable(service_bench ${CMAKE_CURRENT_LIST_DIR}/service_bench.cpp)
  target_compile_options(service_bench PRIVATE ${TIRVANE_WARNINGS})
  target_link_libraries(service_bench PRIVATE tirvane_e2e_fixture)
endif()
