# The Debian package korvel_<version>_<arch>.deb, made by `cpack` in the build folder from the
# install rules (KorvelInstall). Its maintainer scripts create the machine-wide registry store
# at the first installation and remove it on purge.

set(_pkg ${CMAKE_SOURCE_DIR}/packaging)
set(_out ${CMAKE_BINARY_DIR}/packaging)

set(KORVEL_STORE /var/lib/korvel/registry.reg)
foreach(script postinst postrm)
  configure_file(${_pkg}/${script}.in ${_out}/control/${script} @ONLY
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
configure_file(${_pkg}/triggers ${_out}/control/triggers COPYONLY)
# The autostart entry sits in /etc: an administrator may change it, and upgrades keep that.
file(WRITE ${_out}/control/conffiles "${CMAKE_INSTALL_FULL_SYSCONFDIR}/xdg/autostart/korvel-launch.desktop\n")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME korvel)
set(CPACK_PACKAGE_VENDOR Ardentis)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "tracks which applications of the suite run on which machine")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "Korvel keeps track, across a local network, of which instances of the\n"
  "desktop applications of the Ardentis suite run on which machine. The master\n"
  "station runs the master service, every workstation runs the client agent,\n"
  "and the launcher starts the one that belongs to the machine at login.\n"
  "The package also holds the suite's libraries with their headers and CMake\n"
  "package, the Qt Designer plugin of its controls and the user guide.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PACKAGE_CONTACT "Korvel maintainers <korvel@ardentis.example>")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY "=")
# The guide is a compiled help file; xdg-open hands it to the viewer the desktop registered.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xchm, xdg-utils")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "qt6-base-dev, qt6-tools-dev, cmake")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${_out}/control/postinst ${_out}/control/postrm ${_out}/control/triggers
  ${_out}/control/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

include(CPack)
