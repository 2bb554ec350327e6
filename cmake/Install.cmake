# What `cmake --install` puts where, and the Debian package made from it
# (`cpack -G DEB` in the build directory). For a package, configure with
# -DCMAKE_INSTALL_PREFIX=/usr: the paths written into the manual page and the
# package's scripts follow the prefix. GNUInstallDirs is included at the top.

# Where the capture helper lives once installed; the manual page names it and
# the package grants it its capability.
set(KESTROVA_HELPER_PATH ${CMAKE_INSTALL_FULL_LIBEXECDIR}/kestrova/kestrova-capture)
# Where the service unit goes; the manual page names it too.
set(KESTROVA_SYSTEMD_UNIT_DIR ${CMAKE_INSTALL_PREFIX}/lib/systemd/system CACHE PATH
  "Where kestrova-log.service is installed")

install(TARGETS kestrova RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES data/kestrova.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES data/kestrova.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES data/org.kestrova.Kestrova.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

configure_file(data/kestrova.1.in ${PROJECT_BINARY_DIR}/kestrova.1 @ONLY)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/kestrova.1.gz
  COMMAND gzip -9 -n -c kestrova.1 > kestrova.1.gz
  DEPENDS ${PROJECT_BINARY_DIR}/kestrova.1
  WORKING_DIRECTORY ${PROJECT_BINARY_DIR}
  COMMENT "Compressing the manual page")
add_custom_target(kestrova_manual ALL DEPENDS ${PROJECT_BINARY_DIR}/kestrova.1.gz)
install(FILES ${PROJECT_BINARY_DIR}/kestrova.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# Whatever builds the program builds everything the install takes with it,
# so that an install after `cmake --build build --target kestrova` is whole.
add_dependencies(kestrova kestrova_manual)

# The service that keeps the JSON log in the journal: installed, never
# enabled by the install or the package.
set(KESTROVA_BINARY_PATH ${CMAKE_INSTALL_FULL_BINDIR}/kestrova)
configure_file(packaging/kestrova-log.service.in ${PROJECT_BINARY_DIR}/kestrova-log.service @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/kestrova-log.service DESTINATION ${KESTROVA_SYSTEMD_UNIT_DIR})

# The licence, as Debian's machine-readable copyright file (the licence text
# taken from LICENSE, one space in, blank lines as " .").
file(READ ${PROJECT_SOURCE_DIR}/LICENSE KESTROVA_LICENCE_TEXT)
string(FIND "${KESTROVA_LICENCE_TEXT}" "Permission is hereby granted" licence_start)
string(SUBSTRING "${KESTROVA_LICENCE_TEXT}" ${licence_start} -1 KESTROVA_LICENCE_TEXT)
string(STRIP "${KESTROVA_LICENCE_TEXT}" KESTROVA_LICENCE_TEXT)
string(REPLACE "\n\n" "\n.\n" KESTROVA_LICENCE_TEXT "${KESTROVA_LICENCE_TEXT}")
string(REPLACE "\n" "\n " KESTROVA_LICENCE_TEXT " ${KESTROVA_LICENCE_TEXT}")
configure_file(packaging/copyright.in ${PROJECT_BINARY_DIR}/copyright @ONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)
install(FILES ${PROJECT_BINARY_DIR}/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

foreach(script postinst postrm)
  configure_file(packaging/${script}.in ${PROJECT_BINARY_DIR}/debian/${script} @ONLY
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrova)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "The Kestrova developers <kestrova@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "monitor of the machine's TCP connections, with a log of every change")
# The summary above is the synopsis line; this is the text below it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Kestrova lists every IPv4 TCP connection of the machine in one window: local
and remote endpoint, state, owning process and the path of its program, host
names on request and, while packet checking is on, the bytes seen on the wire
for each connection. Below the list a timestamped log records every change.
.
On a machine without a display, kestrova --log writes the same log to
standard output, kestrova --log --json as JSON lines, and kestrova --list
prints the table once. The service kestrova-log.service, installed but not
enabled, keeps the JSON log in the journal.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries come from the binaries themselves; the font, the Qt platform
# plugins, setcap and addgroup (for the post-install step) are found by
# nothing else.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-ipafont-gothic, qt6-qpa-plugins, libcap2-bin, adduser")
# On a Wayland desktop without an X server the window needs Qt's Wayland
# platform plugin; with XWayland (the usual case) it runs through X.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-wayland")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/postinst ${PROJECT_BINARY_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
