# Installation of tirvane-serverd: the daemon, its bus, polkit and systemd integration,
# the default driver configuration and the manual pages. tirvanectl installs
# itself from tools/CMakeLists.txt. Everything honours DESTDIR.
#
# Cache variables:
#   TIRVANE_CONF_DIR          configuration directory of the service
#   TIRVANE_SYSTEMD_UNIT_DIR  systemd system unit directory (relative: under the prefix)

include(GNUInstallDirs)

set(TIRVANE_CONF_DIR "/opt/apps/nuvex.kal.Tirvane/files/conf/"
    CACHE PATH "Configuration directory of the service: fp_driver.conf, the finger list, the log, firmware")
if(NOT IS_ABSOLUTE "${TIRVANE_CONF_DIR}")
  message(FATAL_ERROR "TIRVANE_CONF_DIR must be an absolute path, not '${TIRVANE_CONF_DIR}'")
endif()
# The daemon takes the directory with a trailing slash.
string(REGEX REPLACE "/+$" "" _tirvane_conf_dir "${TIRVANE_CONF_DIR}")
string(APPEND _tirvane_conf_dir "/")

if(NOT DEFINED CACHE{TIRVANE_SYSTEMD_UNIT_DIR})
  set(_tirvane_unit_dir "")
  find_package(PkgConfig QUIET)
  if(PKG_CONFIG_FOUND)
    pkg_get_variable(_tirvane_unit_dir systemd systemdsystemunitdir)
  endif()
  if(NOT _tirvane_unit_dir)
    set(_tirvane_unit_dir "lib/systemd/system")
  endif()
  set(TIRVANE_SYSTEMD_UNIT_DIR "${_tirvane_unit_dir}"
      CACHE PATH "systemd system unit directory (a relative path is taken under the install prefix)")
endif()

# ---- Files installed as they are -------------------------------------------------
install(TARGETS tirvane-serverd RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR})
install(FILES ${CMAKE_SOURCE_DIR}/data/nuvex.kal.Tirvane.conf ${CMAKE_SOURCE_DIR}/data/net.reactivated.Fprint.conf
        DESTINATION ${CMAKE_INSTALL_DATADIR}/dbus-1/system.d)
install(FILES ${CMAKE_SOURCE_DIR}/data/nuvex.kal.Tirvane.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/dbus-1/interfaces)
install(FILES ${CMAKE_SOURCE_DIR}/data/nuvex.kal.tirvane.policy
        DESTINATION ${CMAKE_INSTALL_DATADIR}/polkit-1/actions)

# ---- Manual pages, with the project version -----------------------------------
set(TIRVANE_VERSION "${PROJECT_VERSION}")
configure_file(${CMAKE_SOURCE_DIR}/man/tirvane-serverd.8 ${CMAKE_BINARY_DIR}/man/tirvane-serverd.8 @ONLY)
configure_file(${CMAKE_SOURCE_DIR}/man/tirvanectl.1 ${CMAKE_BINARY_DIR}/man/tirvanectl.1 @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/man/tirvanectl.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_BINARY_DIR}/man/tirvane-serverd.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)

# ---- Files that name the installed daemon -------------------------------------
# The bus activation file and the systemd unit are configured at install time,
# so that they name the daemon where it lands also with `cmake --install --prefix`.
install(CODE "
set(_tirvane_data \"${CMAKE_SOURCE_DIR}/data\")
set(_tirvane_gen \"${CMAKE_BINARY_DIR}/install-generated\")
set(_tirvane_libexecdir \"${CMAKE_INSTALL_LIBEXECDIR}\")
set(_tirvane_datadir \"${CMAKE_INSTALL_DATADIR}\")
set(_tirvane_unit_dir \"${TIRVANE_SYSTEMD_UNIT_DIR}\")
set(TIRVANE_CONF_DIR \"${_tirvane_conf_dir}\")
set(_tirvane_default_conf_dir \"/opt/apps/nuvex.kal.Tirvane/files/conf/\")
")
install(CODE [==[
function(_tirvane_under_prefix out dir)
  if(IS_ABSOLUTE "${dir}")
    set(${out} "${dir}" PARENT_SCOPE)
  else()
    set(${out} "${CMAKE_INSTALL_PREFIX}/${dir}" PARENT_SCOPE)
  endif()
endfunction()

_tirvane_under_prefix(_tirvane_libexec_full "${_tirvane_libexecdir}")
_tirvane_under_prefix(_tirvane_datadir_full "${_tirvane_datadir}")
_tirvane_under_prefix(_tirvane_unit_dir_full "${_tirvane_unit_dir}")
set(TIRVANE_DAEMON_PATH "${_tirvane_libexec_full}/tirvane-serverd")
# Without systemd the bus starts the daemon itself; a configuration directory
# other than the daemon's default reaches it through the environment then.
if(TIRVANE_CONF_DIR STREQUAL _tirvane_default_conf_dir)
  set(TIRVANE_ACTIVATION_EXEC "${TIRVANE_DAEMON_PATH}")
else()
  set(TIRVANE_ACTIVATION_EXEC "/usr/bin/env TIRVANE_CONF_DIR=${TIRVANE_CONF_DIR} ${TIRVANE_DAEMON_PATH}")
endif()
configure_file("${_tirvane_data}/tirvane-serverd.service" "${_tirvane_gen}/tirvane-serverd.service" @ONLY)
configure_file("${_tirvane_data}/nuvex.kal.Tirvane.service" "${_tirvane_gen}/nuvex.kal.Tirvane.service" @ONLY)
file(INSTALL DESTINATION "${_tirvane_unit_dir_full}" TYPE FILE
     FILES "${_tirvane_gen}/tirvane-serverd.service")
file(INSTALL DESTINATION "${_tirvane_datadir_full}/dbus-1/system-services" TYPE FILE
     FILES "${_tirvane_gen}/nuvex.kal.Tirvane.service")

# The driver configuration belongs to the administrator once it exists.
string(REGEX REPLACE "/$" "" _tirvane_conf_dest "${TIRVANE_CONF_DIR}")
if(EXISTS "$ENV{DESTDIR}${_tirvane_conf_dest}/fp_driver.conf")
  message(STATUS "Keeping: $ENV{DESTDIR}${_tirvane_conf_dest}/fp_driver.conf")
else()
  file(INSTALL DESTINATION "${_tirvane_conf_dest}" TYPE FILE FILES "${_tirvane_data}/fp_driver.conf")
endif()
]==])
