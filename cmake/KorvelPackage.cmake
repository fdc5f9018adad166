# The Debian packages, made by `cpack` in the build folder from the install rules (KorvelInstall),
# one per component: korvel (runtime: programs, libraries, units, guide, entries), korvel-dev
# (headers, .so links, the CMake package) and korvel-designer-plugin. The runtime's maintainer
# scripts create the service's system user and the machine-wide registry store at the first
# installation and remove the store on purge.

set(_pkg ${CMAKE_SOURCE_DIR}/packaging)
set(_out ${CMAKE_BINARY_DIR}/packaging)

set(KORVEL_STORE /var/lib/korvel/registry.reg)
foreach(script postinst prerm postrm)
  configure_file(${_pkg}/${script}.in ${_out}/control/${script} @ONLY
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
configure_file(${_pkg}/triggers ${_out}/control/triggers COPYONLY)
# The autostart entry sits in /etc: an administrator may change it, and upgrades keep that.
file(WRITE ${_out}/control/conffiles "${CMAKE_INSTALL_FULL_SYSCONFDIR}/xdg/autostart/korvel-launch.desktop\n")

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev designer)
set(CPACK_PACKAGE_NAME korvel)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME korvel)
set(CPACK_DEBIAN_DEV_PACKAGE_NAME korvel-dev)
set(CPACK_DEBIAN_DESIGNER_PACKAGE_NAME korvel-designer-plugin)
set(CPACK_PACKAGE_VENDOR Ardentis)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "tracks which applications of the suite run on which machine")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "Korvel keeps track, across a local network, of which instances of the\n"
  "desktop applications of the Ardentis suite run on which machine. The master\n"
  "station runs the master service, every workstation runs the client agent,\n"
  "and the launcher starts the one that belongs to the machine at login.\n"
  "This package holds the programs, the suite's libraries, the master station's\n"
  "service units (installed disabled) and the user guide.")
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION_SUMMARY}\n${CPACK_PACKAGE_DESCRIPTION}")
string(CONCAT CPACK_COMPONENT_DEV_DESCRIPTION
  "development files of the Korvel suite's libraries\n"
  "The headers, the .so links and the CMake package Korvel of the suite's\n"
  "libraries (corekit, listkit, mapkit, noticekit, ctlpack), with which the\n"
  "suite's own applications build: find_package(Korvel) and the Korvel:: targets.")
string(CONCAT CPACK_COMPONENT_DESIGNER_DESCRIPTION
  "Qt Designer plugin of the Korvel suite's controls\n"
  "The validated edit, spin edit and memory-backed image of the suite's\n"
  "control library on Qt Designer's \"Samples\" page.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PACKAGE_CONTACT "Korvel maintainers <korvel@ardentis.example>")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DESIGNER_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The plugin links the runtime's libraries: dpkg-shlibdeps finds them in its staging folder, and
# the dependency on korvel is written out below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
  ${CMAKE_BINARY_DIR}/_CPack_Packages/Linux/DEB/korvel-${PROJECT_VERSION}-Linux/runtime/${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR})
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY "=")
# The guide is a compiled help file; xdg-open hands it to the viewer the desktop registered.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_RECOMMENDS "xchm, xdg-utils")
# adduser makes the service's system user.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "adduser")
# Building against the libraries needs Qt's own development files (find_dependency(Qt6)).
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "korvel (= ${PROJECT_VERSION}), qt6-base-dev")
set(CPACK_DEBIAN_DEV_PACKAGE_SUGGESTS "cmake")
set(CPACK_DEBIAN_DESIGNER_PACKAGE_DEPENDS "korvel (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_DESIGNER_PACKAGE_ENHANCES "designer-qt6")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
  ${_out}/control/postinst ${_out}/control/prerm ${_out}/control/postrm ${_out}/control/triggers
  ${_out}/control/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

include(CPack)
