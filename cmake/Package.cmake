# Installation and the Debian package (cpack -G DEB).
#
# Two halves: the protection service corvaned (/usr/sbin, started by systemd as its own system user
# with the capabilities it needs, answering on the system bus) and the window /opt/corvane/corvane,
# an ordinary program anyone may start: it holds no capabilities and changes nothing itself, the
# service decides who may control it (root and the group "corvane", see the bus policy). The
# maintainer scripts (packaging/deb) create the group and the service's user and move the state
# folder /var/lib/corvane to the service. Everything else goes below the install prefix (/usr).
include(GNUInstallDirs)

set(CORVANE_PROGRAM_DIR /opt/corvane CACHE PATH "Folder of the installed window")
set(CORVANE_UNIT_DIR /lib/systemd/system CACHE PATH "Folder of the system's systemd units")

set(executable OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
install(TARGETS corvane RUNTIME DESTINATION ${CORVANE_PROGRAM_DIR} PERMISSIONS ${executable})
install(TARGETS corvaned RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR} PERMISSIONS ${executable})
install(TARGETS corvanectl corvane-reg RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} PERMISSIONS ${executable})

# The service's unit and its bus policy. The shipped definitions are what the package puts in
# /var/lib/corvane when there are none yet; the service keeps them there (updates replace them).
install(FILES packaging/systemd/corvaned.service DESTINATION ${CORVANE_UNIT_DIR})
install(FILES packaging/dbus/org.corvane.Corvane1.conf DESTINATION ${CMAKE_INSTALL_DATADIR}/dbus-1/system.d)
install(FILES data/qd.def DESTINATION ${CMAKE_INSTALL_DATADIR}/corvane)
# The administrator's address lists: root's folder, with a description of the format in it.
install(FILES packaging/lists/README DESTINATION /etc/corvane/lists.d)

install(FILES packaging/corvane.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
foreach(size 16 32 48 128)
  install(FILES ${CORVANE_ARTWORK_DIR}/hicolor/${size}x${size}/apps/corvane.png
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()
install(FILES ${CORVANE_ARTWORK_DIR}/hicolor/scalable/apps/corvane.svg
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# Manual pages (every page in docs/man: commands in section 1, the service in section 8) and the
# package's documents, compressed as Debian wants them.
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
file(GLOB man_pages CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/*.[18])
set(compressed)
foreach(page IN LISTS man_pages)
  get_filename_component(name ${page} NAME)
  string(REGEX REPLACE "^.*\\.([18])$" "\\1" section ${name})
  set(gz ${CMAKE_BINARY_DIR}/package/${name}.gz)
  add_custom_command(OUTPUT ${gz}
    COMMAND gzip -9n -c ${page} > ${gz}
    DEPENDS ${page})
  list(APPEND compressed ${gz})
  install(FILES ${gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
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
to a listed address, counting each as a blocked attempt. A system
service (corvaned) does the work with the few capabilities it needs;
the window and the command-line client corvanectl talk to it over the
system bus, for root and members of the system group corvane.]=])
# The package installs below /usr whatever prefix the build tree has; the window's folder and the
# unit's are absolute, hence DESTDIR staging.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# adduser makes the group and the service's user; dbus brings the system bus the service answers on.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, dbus")
# The window on a Wayland session without XWayland needs Qt's Wayland platform.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-wayland")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/packaging/deb/postinst ${PROJECT_SOURCE_DIR}/packaging/deb/prerm
  ${PROJECT_SOURCE_DIR}/packaging/deb/postrm ${PROJECT_SOURCE_DIR}/packaging/deb/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_GENERATOR DEB)
include(CPack)
