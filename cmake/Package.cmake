# Installation and the Debian package (cpack -G DEB).
#
# The program goes to /opt/corvane with a link to its definitions in /var/lib/corvane; the maintainer
# scripts (packaging/deb) create the system group "corvane", let only that group run the program, and
# give it its capabilities. Everything else goes below the install prefix (/usr in the package).
include(GNUInstallDirs)

set(CORVANE_PROGRAM_DIR /opt/corvane CACHE PATH "Folder of the installed program")
set(CORVANE_STATE_DIR /var/lib/corvane CACHE PATH "Machine-wide settings and definitions")

install(TARGETS corvane RUNTIME DESTINATION ${CORVANE_PROGRAM_DIR}
  PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE)
install(TARGETS corvane-reg RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The definitions are replaced by updates, so they live with the machine's state; the program folder
# holds a link. The shipped copy is the default the package installs when there is none yet.
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
file(CREATE_LINK ${CORVANE_STATE_DIR}/qd.def ${CMAKE_BINARY_DIR}/package/qd.def SYMBOLIC)
install(FILES ${CMAKE_BINARY_DIR}/package/qd.def DESTINATION ${CORVANE_PROGRAM_DIR})
install(FILES data/qd.def DESTINATION ${CMAKE_INSTALL_DATADIR}/corvane)

install(FILES packaging/corvane.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
foreach(size 16 32 48 128)
  install(FILES ${CORVANE_ARTWORK_DIR}/hicolor/${size}x${size}/apps/corvane.png
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()
install(FILES ${CORVANE_ARTWORK_DIR}/hicolor/scalable/apps/corvane.svg
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# Manual pages and the package's documents, compressed as Debian wants them.
set(compressed)
foreach(page corvane corvane-reg)
  set(gz ${CMAKE_BINARY_DIR}/package/${page}.1.gz)
  add_custom_command(OUTPUT ${gz}
    COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/docs/man/${page}.1 > ${gz}
    DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/${page}.1)
  list(APPEND compressed ${gz})
  install(FILES ${gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
set(changelog_gz ${CMAKE_BINARY_DIR}/package/changelog.gz)
add_custom_command(OUTPUT ${changelog_gz}
  COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/packaging/deb/changelog > ${changelog_gz}
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/deb/changelog)
list(APPEND compressed ${changelog_gz})
add_custom_target(corvane_package_files ALL DEPENDS ${compressed})
install(FILES ${changelog_gz} packaging/deb/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/corvane)
install(FILES packaging/deb/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
  RENAME corvane)

set(CPACK_PACKAGE_NAME corvane)
set(CPACK_PACKAGE_VENDOR "Corvane developers")
set(CPACK_PACKAGE_CONTACT "Corvane developers <corvane@corvane.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "desktop connection blocker")
set(CPACK_PACKAGE_DESCRIPTION [=[
Corvane keeps a list of remote IPv4 addresses of servers that
data-collecting software talks to and tears down every TCP connection
to a listed address, counting each as a blocked attempt. The program
runs for members of the system group corvane, with the capability to
tear connections down.]=])
# The package installs below /usr whatever prefix the build tree has; the program's own folder is
# absolute, hence DESTDIR staging.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, libcap2-bin")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/packaging/deb/postinst ${PROJECT_SOURCE_DIR}/packaging/deb/prerm
  ${PROJECT_SOURCE_DIR}/packaging/deb/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_GENERATOR DEB)
include(CPack)
