# What an installation holds and where: the programs side by side, the tools on the PATH, the
# libraries versioned and exporting only their interface, with their headers and the CMake
# package Korvel, the designer plugin where Qt's Designer looks, the user guide, the desktop
# entries and the manual pages, the master station's systemd units. Included at the end of the
# top-level list, when every target exists. The Debian packages (KorvelPackage) are made from
# these rules by component: runtime (korvel), one per library (libcorekit2, ...), dev
# (korvel-dev), designer (the designer plugin).

include(CMakePackageConfigHelpers)

# Libraries of the suite that its own applications link; a name without a target is skipped.
set(KORVEL_PUBLIC_LIBRARIES corekit corekit_gui listkit mapkit noticekit ctlpack)

# Run path from an installed folder to the library folder, relative to the file itself, so
# that an unpacked tree finds its own libraries and the installed one finds the system's.
function(korvel_install_rpath target folder)
  file(RELATIVE_PATH rel "/${folder}" "/${CMAKE_INSTALL_LIBDIR}")
  string(REGEX REPLACE "/+$" "" rel "${rel}")
  if(rel STREQUAL "")
    set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN")
  else()
    set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN/${rel}")
  endif()
endfunction()

# ---- libraries ----------------------------------------------------------------------------
set(_korvel_exported)
set(KORVEL_QT_COMPONENTS Core)
foreach(lib IN LISTS KORVEL_PUBLIC_LIBRARIES)
  if(NOT TARGET ${lib})
    continue()
  endif()
  list(APPEND _korvel_exported ${lib})
  set_target_properties(${lib} PROPERTIES
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR}
    EXPORT_NAME ${lib})
  set(map ${CMAKE_CURRENT_LIST_DIR}/exports/${lib}.map)
  if(EXISTS ${map})
    target_link_options(${lib} PRIVATE "LINKER:--version-script=${map}")
    set_property(TARGET ${lib} APPEND PROPERTY LINK_DEPENDS ${map})
  else()
    message(WARNING "${lib} has no export list cmake/exports/${lib}.map: it exports everything")
  endif()
  korvel_install_rpath(${lib} ${CMAKE_INSTALL_LIBDIR})
  # Each library in a package named after its soname, as Debian ships shared libraries.
  install(TARGETS ${lib} EXPORT KorvelTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT lib${lib} NAMELINK_COMPONENT dev
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  get_target_property(src ${lib} SOURCE_DIR)
  install(DIRECTORY ${src}/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev FILES_MATCHING PATTERN "*.h")
  get_target_property(deps ${lib} INTERFACE_LINK_LIBRARIES)
  foreach(dep IN LISTS deps)
    if(dep MATCHES "^Qt6::(.+)$")
      list(APPEND KORVEL_QT_COMPONENTS ${CMAKE_MATCH_1})
    endif()
  endforeach()
endforeach()
list(REMOVE_DUPLICATES KORVEL_QT_COMPONENTS)
list(JOIN KORVEL_QT_COMPONENTS " " KORVEL_QT_COMPONENTS)

install(EXPORT KorvelTargets NAMESPACE Korvel:: DESTINATION ${KORVEL_INSTALL_CMAKEDIR} COMPONENT dev)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/KorvelConfig.cmake.in
  ${CMAKE_BINARY_DIR}/cmake/KorvelConfig.cmake
  INSTALL_DESTINATION ${KORVEL_INSTALL_CMAKEDIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/cmake/KorvelConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/cmake/KorvelConfig.cmake ${CMAKE_BINARY_DIR}/cmake/KorvelConfigVersion.cmake
  DESTINATION ${KORVEL_INSTALL_CMAKEDIR} COMPONENT dev)

# ---- programs and tools -------------------------------------------------------------------
foreach(program master masterd client launch)
  if(TARGET ${program})
    korvel_install_rpath(${program} ${KORVEL_INSTALL_PROGRAMDIR})
    install(TARGETS ${program} RUNTIME DESTINATION ${KORVEL_INSTALL_PROGRAMDIR})
  endif()
endforeach()
foreach(tool korvel-run korvel-reg korvel-report korvel-report-chart korvel-status)
  if(TARGET ${tool})
    korvel_install_rpath(${tool} ${CMAKE_INSTALL_BINDIR})
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

# The designer plugin installs itself under Qt's plugin folder; from there it finds ctlpack.
if(TARGET ctlpack_designer AND DEFINED QT6_INSTALL_PLUGINS)
  korvel_install_rpath(ctlpack_designer ${QT6_INSTALL_PLUGINS}/designer)
endif()

# ---- user guide, desktop entries, manual pages --------------------------------------------
set(KORVEL_FULL_PROGRAMDIR ${CMAKE_INSTALL_PREFIX}/${KORVEL_INSTALL_PROGRAMDIR})
set(_pkg ${CMAKE_SOURCE_DIR}/packaging)
set(_out ${CMAKE_BINARY_DIR}/packaging)

foreach(program master client)
  if(TARGET ${program})
    configure_file(${_pkg}/korvel-${program}.desktop.in ${_out}/korvel-${program}.desktop @ONLY)
    install(FILES ${_out}/korvel-${program}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  endif()
endforeach()
configure_file(${_pkg}/korvel-launch.desktop.in ${_out}/korvel-launch.desktop @ONLY)
install(FILES ${_out}/korvel-launch.desktop DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/xdg/autostart)

# The master station's units, installed disabled: one machine of a network enables them. Under
# /lib as Debian 12's systemd and lintian expect; the system user comes from the maintainer script.
if(TARGET masterd)
  configure_file(${_pkg}/korvel-master.service.in ${_out}/korvel-master.service @ONLY)
  install(FILES ${_out}/korvel-master.service ${_pkg}/korvel-master.socket DESTINATION /lib/systemd/system)
endif()
install(FILES ${_pkg}/korvel.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# Compressed as Debian keeps them: gzip -9 without name and time, so builds are reproducible.
find_program(KORVEL_GZIP gzip REQUIRED)
set(_gz)
foreach(page korvel-run.1 korvel-reg.1 korvel-report.1 korvel-report-chart.1 korvel-status.1)
  add_custom_command(OUTPUT ${_out}/${page}.gz
    COMMAND ${KORVEL_GZIP} -9nc ${_pkg}/man/${page} > ${_out}/${page}.gz
    DEPENDS ${_pkg}/man/${page} VERBATIM)
  list(APPEND _gz ${_out}/${page}.gz)
  install(FILES ${_out}/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
configure_file(${_pkg}/changelog.in ${_out}/changelog @ONLY)
add_custom_command(OUTPUT ${_out}/changelog.gz
  COMMAND ${KORVEL_GZIP} -9nc ${_out}/changelog > ${_out}/changelog.gz
  DEPENDS ${_out}/changelog VERBATIM)
list(APPEND _gz ${_out}/changelog.gz)
add_custom_target(korvel_package_files ALL DEPENDS ${_gz})
# Every package carries its copyright and changelog.
install(FILES ${_out}/changelog.gz ${_pkg}/copyright DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/korvel)
install(FILES ${_out}/changelog.gz ${_pkg}/copyright DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/korvel-dev
  COMPONENT dev)
install(FILES ${_out}/changelog.gz ${_pkg}/copyright DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/korvel-designer-plugin
  COMPONENT designer)
foreach(lib IN LISTS _korvel_exported)
  string(REPLACE "_" "-" _name lib${lib}${PROJECT_VERSION_MAJOR})
  install(FILES ${_out}/changelog.gz ${_pkg}/copyright DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${_name}
    COMPONENT lib${lib})
endforeach()

add_subdirectory(${CMAKE_SOURCE_DIR}/packaging/check ${CMAKE_BINARY_DIR}/packaging/check)

if(EXISTS ${CMAKE_SOURCE_DIR}/doc/guide/CMakeLists.txt)
  add_subdirectory(${CMAKE_SOURCE_DIR}/doc/guide ${CMAKE_BINARY_DIR}/doc-guide)
endif()

include(KorvelPackage)
