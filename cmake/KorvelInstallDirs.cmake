# Where an installation puts the suite: /usr unless asked otherwise, since the Debian package is
# how it ships and the entries it installs name the programs by their full path. Included right
# after project(), before anything computes the GNU install folders.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX /usr CACHE PATH "Installation prefix" FORCE)
endif()
include(GNUInstallDirs)

# The three programs side by side (the launcher starts its siblings from its own folder); the
# user guide in Doc beside that folder, where the programs' Help buttons look for it.
set(KORVEL_INSTALL_PROGRAMDIR lib/korvel/bin)
set(KORVEL_INSTALL_DOCDIR lib/korvel/Doc)
set(KORVEL_INSTALL_DATADIR ${CMAKE_INSTALL_DATADIR}/korvel)
set(KORVEL_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/Korvel)
# What an install rule names no component of goes into the runtime package `korvel`; the
# development files and the designer plugin say their own (KorvelInstall, ctlpack/designer).
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME runtime)
