# The Debian packages, made by `cpack` in the build folder from the install rules (KorvelInstall),
# one per component: korvel (runtime: programs, units, guide, entries), a package per library
# named after its soname (libcorekit2, ...), korvel-dev (headers, .so links, the CMake package)
# and korvel-designer-plugin. The runtime's maintainer
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
# Each package's synopsis is the first line of its own description. CPack puts a summary of its
# own above every description unless the summary is its default one, so the default it is.
set(KORVEL_SUMMARY "tracks which applications of the suite run on which machine")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
set(CPACK_PACKAGE_NAME korvel)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME korvel)
set(CPACK_DEBIAN_DEV_PACKAGE_NAME korvel-dev)
set(CPACK_DEBIAN_DESIGNER_PACKAGE_NAME korvel-designer-plugin)
set(CPACK_PACKAGE_VENDOR Ardentis)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "Korvel keeps track, across a local network, of which instances of the\n"
  "desktop applications of the Ardentis suite run on which machine. The master\n"
  "station runs the master service, every workstation runs the client agent,\n"
  "and the launcher starts the one that belongs to the machine at login.\n"
  "This package holds the programs, the suite's libraries, the master station's\n"
  "service units (installed disabled) and the user guide.")
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "${KORVEL_SUMMARY}\n${CPACK_PACKAGE_DESCRIPTION}")
string(CONCAT CPACK_DEBIAN_DEV_DESCRIPTION
  "development files of the Korvel suite's libraries\n"
  "The headers, the .so links and the CMake package Korvel of the suite's\n"
  "libraries (corekit, listkit, mapkit, noticekit, ctlpack), with which the\n"
  "suite's own applications build: find_package(Korvel) and the Korvel:: targets.")
string(CONCAT CPACK_DEBIAN_DESIGNER_DESCRIPTION
  "Qt Designer plugin of the Korvel suite's controls\n"
  "The validated edit, spin edit and memory-backed image of the suite's\n"
  "control library on the Samples page of Qt Designer.")

# The libraries: package, description, the libraries of the suite each one links, ldconfig.
set(_korvel_lib_what_corekit "strings, files, registry and system facts")
set(_korvel_lib_what_corekit_gui "window placement and key state")
set(_korvel_lib_what_listkit "string lists, list files, CSV, version information")
set(_korvel_lib_what_mapkit "named shared-memory blocks")
set(_korvel_lib_what_noticekit "message boxes")
set(_korvel_lib_what_ctlpack "validated edit, spin edit and memory-backed image")
set(_korvel_lib_packages)
foreach(lib IN LISTS _korvel_exported)
  string(TOUPPER lib${lib} _c)
  string(REPLACE "_" "-" _name lib${lib}${PROJECT_VERSION_MAJOR})
  list(APPEND CPACK_COMPONENTS_ALL lib${lib})
  list(APPEND _korvel_lib_packages "${_name} (= ${PROJECT_VERSION})")
  set(CPACK_DEBIAN_${_c}_PACKAGE_NAME ${_name})
  set(CPACK_DEBIAN_${_c}_PACKAGE_SECTION libs)
  string(CONCAT CPACK_DEBIAN_${_c}_DESCRIPTION
    "Korvel suite library ${lib}\n"
    "The shared library ${lib} of the Korvel suite, which its programs and\n"
    "applications link: ${_korvel_lib_what_${lib}}.")
  set(_deps)
  get_target_property(_links ${lib} LINK_LIBRARIES)
  foreach(dep IN LISTS _links)
    string(REGEX REPLACE "^Korvel::" "" dep "${dep}")
    if(NOT dep STREQUAL lib AND dep IN_LIST _korvel_exported)
      string(REPLACE "_" "-" _dep lib${dep}${PROJECT_VERSION_MAJOR})
      list(APPEND _deps "${_dep} (= ${PROJECT_VERSION})")
    endif()
  endforeach()
  list(JOIN _deps ", " CPACK_DEBIAN_${_c}_PACKAGE_DEPENDS)
  set(CPACK_DEBIAN_${_c}_PACKAGE_CONTROL_EXTRA ${_out}/control/triggers)
endforeach()
list(JOIN _korvel_lib_packages ", " _korvel_lib_packages)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PACKAGE_CONTACT "Korvel maintainers <korvel@ardentis.example>")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DESIGNER_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The programs and the plugin link the suite's libraries: dpkg-shlibdeps finds them in their
# packages' staging folders, and the dependencies on those packages are written out below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS)
foreach(lib IN LISTS _korvel_exported)
  list(APPEND CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
    ${CMAKE_BINARY_DIR}/_CPack_Packages/Linux/DEB/korvel-${PROJECT_VERSION}-Linux/lib${lib}${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR})
endforeach()
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY "=")
# The guide is a compiled help file; xdg-open hands it to the viewer the desktop registered.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_RECOMMENDS "xchm, xdg-utils")
# adduser makes the service's system user.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "adduser, ${_korvel_lib_packages}")
# Building against the libraries needs Qt's own development files (find_dependency(Qt6)).
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${_korvel_lib_packages}, qt6-base-dev")
set(CPACK_DEBIAN_DEV_PACKAGE_SUGGESTS "cmake")
set(CPACK_DEBIAN_DESIGNER_PACKAGE_DEPENDS "libctlpack${PROJECT_VERSION_MAJOR} (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_DESIGNER_PACKAGE_ENHANCES "designer-qt6")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
  ${_out}/control/postinst ${_out}/control/prerm ${_out}/control/postrm ${_out}/control/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# CPack gives a library package maintainer scripts that call ldconfig; the ldconfig trigger
# (packaging/triggers) does that work, so they are taken out of the built packages.
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/packaging/drop-ldconfig-scripts.cmake)

include(CPack)
