# Product tests: the installed layout, the bus policy and systemd unit as
# installed, the manual pages, and tirvanectl against a scripted stand-in of
# the service on a private bus.

set(_product_dir ${CMAKE_CURRENT_LIST_DIR})
set(_product_dest ${CMAKE_BINARY_DIR}/product-install)

# tirvanectl's command line, output and exit statuses.
if(TARGET tirvanectl)
  add_executable(product_cli_test ${_product_dir}/cli_test.cpp $<TARGET_OBJECTS:tirvane_generated>)
  target_include_directories(product_cli_test PRIVATE ${GEN_DIR})
  target_compile_options(product_cli_test PRIVATE ${TIRVANE_WARNINGS})
  target_compile_definitions(product_cli_test PRIVATE
    TIRVANECTL_PATH="$<TARGET_FILE:tirvanectl>"
    PROJECT_VERSION="${PROJECT_VERSION}")
  target_link_libraries(product_cli_test PRIVATE GTest::gtest_main PkgConfig::GLIB Threads::Threads)
  add_dependencies(product_cli_test tirvanectl tirvane_generated)
  add_test(NAME product.cli COMMAND product_cli_test)
  set_tests_properties(product.cli PROPERTIES TIMEOUT 300)
endif()

# A fresh install into a DESTDIR; the later tests look at what it installed.
add_test(NAME product.install
  COMMAND ${_product_dir}/install_test.sh ${CMAKE_COMMAND} ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR}
          ${_product_dest} ${TIRVANE_SYSTEMD_UNIT_DIR} ${TIRVANE_CONF_DIR} ${PROJECT_VERSION})
set_tests_properties(product.install PROPERTIES TIMEOUT 120 FIXTURES_SETUP product_install
  RESOURCE_LOCK product_install_tree)

add_test(NAME product.policy COMMAND ${_product_dir}/policy_test.sh ${_product_dest})
add_test(NAME product.unit COMMAND ${_product_dir}/unit_test.sh ${_product_dest} ${TIRVANE_SYSTEMD_UNIT_DIR})
add_test(NAME product.man COMMAND ${_product_dir}/man_test.sh ${_product_dest})
set_tests_properties(product.policy product.unit product.man PROPERTIES
  TIMEOUT 60 SKIP_RETURN_CODE 77 FIXTURES_REQUIRED product_install)
