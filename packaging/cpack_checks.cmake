# Read by cpack before each generator runs. A Debian package must install into /usr: the unit's
# ExecStart and EnvironmentFile name the paths chosen at configure time, so a package built from
# a /usr/local configuration would install a unit pointing at nothing.
if(CPACK_GENERATOR STREQUAL "DEB" AND NOT CPACK_PACKAGING_INSTALL_PREFIX STREQUAL "/usr")
  message(FATAL_ERROR "Debian packages need a build configured with -DCMAKE_INSTALL_PREFIX=/usr "
    "(this one has ${CPACK_PACKAGING_INSTALL_PREFIX})")
endif()
