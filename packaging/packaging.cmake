# Installing, and the Debian packages made from it: wirelane-probe (the
# headless probe, its service and the schema; no GTK) and wirelane (the
# desktop program, which uses the probe package's group).
include(GNUInstallDirs)

install(TARGETS wirelane-probe DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT probe)
install(FILES data/clickhouse.sql DESTINATION ${CMAKE_INSTALL_DATADIR}/wirelane COMPONENT probe)
install(FILES packaging/wirelane-probe.service DESTINATION lib/systemd/system COMPONENT probe)
# Kept by dpkg as a conffile: the administrator's options of the service.
install(FILES packaging/wirelane-probe.default DESTINATION /etc/default RENAME wirelane-probe COMPONENT probe)
include(data/probe.cmake)

# Each package's copyright and changelog, as Debian wants them.
set(PACKAGING_OUT ${CMAKE_BINARY_DIR}/packaging)
add_custom_command(OUTPUT ${PACKAGING_OUT}/changelog.gz
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PACKAGING_OUT}
  COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/packaging/changelog > ${PACKAGING_OUT}/changelog.gz
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog)
add_custom_target(packaging_changelog ALL DEPENDS ${PACKAGING_OUT}/changelog.gz)
foreach(pair "probe;wirelane-probe" "desktop;wirelane")
  list(GET pair 0 component)
  list(GET pair 1 package)
  if(component STREQUAL "desktop" AND NOT WIRELANE_GUI)
    continue()
  endif()
  install(FILES packaging/copyright ${PACKAGING_OUT}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
endforeach()

if(WIRELANE_GUI)
  install(TARGETS wirelane DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT desktop)
  add_subdirectory(data)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME wirelane)
set(CPACK_PACKAGE_VENDOR "Wirelane developers")
set(CPACK_PACKAGE_CONTACT "Wirelane developers <developers@wirelane.example.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL probe)
if(WIRELANE_GUI)
  list(APPEND CPACK_COMPONENTS_ALL desktop)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_PROBE_PACKAGE_NAME wirelane-probe)
set(CPACK_DEBIAN_PROBE_PACKAGE_DEPENDS "adduser, libcap2-bin")
set(CPACK_DEBIAN_PROBE_PACKAGE_CONTROL_EXTRA
    "${PROJECT_SOURCE_DIR}/packaging/probe/postinst;${PROJECT_SOURCE_DIR}/packaging/probe/prerm;${PROJECT_SOURCE_DIR}/packaging/probe/postrm;${PROJECT_SOURCE_DIR}/packaging/probe/conffiles")
set(CPACK_COMPONENT_PROBE_DESCRIPTION "\
network traffic probe without windows, with its service\n\
Wirelane captures frames from one network card, follows the TCP and UDP\n\
conversations of the monitored endpoints, measures their traffic, flags,\n\
retransmissions and handshake, network and response times, recognises\n\
HTTP requests, SQL statements and TLS handshakes, and writes records to\n\
a rotating JSON store, a UDP collector or ClickHouse.\n\
\n\
This package holds wirelane-probe, the headless probe, with the\n\
wirelane-probe service. Members of the group wirelane may capture.")

set(CPACK_DEBIAN_DESKTOP_PACKAGE_NAME wirelane)
set(CPACK_DEBIAN_DESKTOP_PACKAGE_DEPENDS "wirelane-probe (= ${PROJECT_VERSION}), libcap2-bin")
set(CPACK_DEBIAN_DESKTOP_PACKAGE_CONTROL_EXTRA
    "${PROJECT_SOURCE_DIR}/packaging/desktop/postinst;${PROJECT_SOURCE_DIR}/packaging/desktop/postrm")
set(CPACK_COMPONENT_DESKTOP_DESCRIPTION "\
network traffic probe with a live window\n\
Wirelane captures frames from one network card, follows the TCP and UDP\n\
conversations of the monitored endpoints and shows every ten seconds the\n\
busiest communication pairs with their traffic and timing figures.\n\
Stored records can be queried and stored frames played back.\n\
\n\
This package holds the desktop program. Members of the group wirelane\n\
may capture.")
include(CPack)
