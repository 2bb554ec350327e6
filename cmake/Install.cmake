# What `cmake --install` puts where, and the Debian package made from it
# (`cpack -G DEB` in the build directory). For a package, configure with
# -DCMAKE_INSTALL_PREFIX=/usr. Every destination is relative to the prefix of
# the install (`cmake --install build --prefix P` puts everything under P), and
# the files that name installed paths (the service unit, the manual page) are
# made at install time from that prefix. GNUInstallDirs is included at the top.

# Where things live once installed, relative to the install prefix. The
# service unit goes to <prefix>/lib/systemd/system, where systemd looks for
# both /usr and /usr/local.
set(KESTROVA_HELPER_DIR ${CMAKE_INSTALL_LIBEXECDIR}/kestrova)
set(KESTROVA_UNIT_DIR lib/systemd/system)

# Directories the install makes are root's 0755 whatever the umask, so that no
# one else can swap a privileged helper before it is granted its capability.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

install(TARGETS kestrova RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The privileged helpers, each with the install step that grants it its one
# capability (or prints the commands that would, where that is safe).
install(TARGETS kestrova-capture DESTINATION ${KESTROVA_HELPER_DIR})
install(CODE "set(KESTROVA_HELPER_DIR \"${KESTROVA_HELPER_DIR}\")
set(KESTROVA_HELPER_BUILT \"$<TARGET_FILE:kestrova-capture>\")
set(KESTROVA_CAPTURE_GROUP \"${KESTROVA_CAPTURE_GROUP}\")")
install(SCRIPT cmake/GrantCaptureRight.cmake)

install(FILES data/kestrova.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES data/kestrova.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES data/org.kestrova.Kestrova.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# Installs the file made from TEMPLATE into DESTINATION (relative to the
# prefix) as NAME, with the paths of the install that runs: see
# cmake/ConfigureForInstall.cmake. GZIP compresses it first.
function(kestrova_install_configured template destination name)
  cmake_parse_arguments(PARSE_ARGV 3 arg "GZIP" "" "")
  install(CODE "set(template \"${PROJECT_SOURCE_DIR}/${template}\")
set(output \"${PROJECT_BINARY_DIR}/installed/${name}\")
set(destination \"${destination}\")
set(gzip ${arg_GZIP})
set(KESTROVA_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
set(KESTROVA_HELPER_DIR \"${KESTROVA_HELPER_DIR}\")
set(KESTROVA_UNIT_DIR \"${KESTROVA_UNIT_DIR}\")
set(KESTROVA_CAPTURE_GROUP \"${KESTROVA_CAPTURE_GROUP}\")
set(PROJECT_VERSION \"${PROJECT_VERSION}\")
include(\"${PROJECT_SOURCE_DIR}/cmake/ConfigureForInstall.cmake\")")
endfunction()

# The manual page, as installed; the build also makes one for its own tests,
# naming the paths this configure would install to.
kestrova_install_configured(data/kestrova.1.in ${CMAKE_INSTALL_MANDIR}/man1 kestrova.1 GZIP)
set(KESTROVA_HELPER_PATH ${CMAKE_INSTALL_FULL_LIBEXECDIR}/kestrova/kestrova-capture)
set(KESTROVA_SYSTEMD_UNIT_DIR ${CMAKE_INSTALL_PREFIX}/${KESTROVA_UNIT_DIR})
configure_file(data/kestrova.1.in ${PROJECT_BINARY_DIR}/kestrova.1 @ONLY)

# The service that keeps the JSON log in the journal: installed, never
# enabled by the install or the package.
kestrova_install_configured(packaging/kestrova-log.service.in ${KESTROVA_UNIT_DIR} kestrova-log.service)

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
