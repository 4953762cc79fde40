# Debian packages through CPack's DEB generator, made from the same
# install rules as `cmake --install`, so whatever is installed (a new
# plug-in made with nb_add_plugin included) is packaged with no further
# change. scripts/package.sh builds them the Debian way (release build,
# dpkg-buildflags, stripped); `cpack` in any build folder does too.
#
# One package per install component:
#   nimbrel      the program, its plug-ins, zelkctl, desktop entry, icons,
#                metainfo, manual pages, user guide, catalogues
#   libzelk1     the adapter library (soname libzelk.so.1)
#   libzelk-dev  zelk.h, libzelk.so and zelk.pc
#   nimbrel-dev  nimbrel.h, kit.h, nimbrel-plugin.pc, nimbrel-plugin(7), example
# Depends come from dpkg-shlibdeps, plus the packages of our own the
# components need (exact version: they are built together).

set(NB_DEB_COMPONENTS nimbrel libzelk1 libzelk-dev nimbrel-dev)

# Every package carries the copyright and the Debian changelog (gzip -9n,
# so the package is the same whenever it is built).
set(nb_changelog ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(OUTPUT ${nb_changelog}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
  COMMAND gzip -9n -c ${CMAKE_SOURCE_DIR}/packaging/changelog > ${nb_changelog}
  DEPENDS ${CMAKE_SOURCE_DIR}/packaging/changelog VERBATIM)
add_custom_target(nb_changelog ALL DEPENDS ${nb_changelog})
foreach(comp ${NB_DEB_COMPONENTS})
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright ${nb_changelog}
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${comp} COMPONENT ${comp})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME nimbrel)
set(CPACK_PACKAGE_VENDOR "The Nimbrel developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Nimbrel developers <developers@nimbrel.example.org>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL ${NB_DEB_COMPONENTS})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://nimbrel.example.org/")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps finds libzelk.so.1 in the build; the dependency on its
# package is the component dependency below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${NB_STAGE_DIR})
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_DEBIAN_NIMBREL_PACKAGE_NAME nimbrel)
set(CPACK_COMPONENT_NIMBREL_DEPENDS libzelk1)
set(CPACK_DEBIAN_NIMBREL_PACKAGE_RECOMMENDS "xdg-utils")
set(CPACK_DEBIAN_NIMBREL_DESCRIPTION
"desktop host for CAN-bus analysis plug-ins
Nimbrel opens one channel of a CAN adapter, configures it (bit rate with
automatic detection, acceptance filter, frame format, write timeout,
listen-only mode), starts and stops the controller, watches its error
counters and hands every received and sent frame to its plug-ins: a bus
viewer, a sender, a logger (candump, ASC and BLF files) and a player that
replays such files, each in a page of the main window. Sessions keep the
settings and the loaded plug-ins.
.
Adapters: Linux CAN network interfaces (SocketCAN), SLCAN serial adapters
and a simulated bus for trying things out. zelkctl lists the adapters and dumps or sends frames from the shell.")

set(CPACK_DEBIAN_LIBZELK1_PACKAGE_NAME libzelk1)
set(CPACK_DEBIAN_LIBZELK1_PACKAGE_SECTION libs)
# The shlibs file lets other packages depend on it through dpkg-shlibdeps
# (only libraries with a soname get a line: the plug-ins have none); the
# trigger runs ldconfig after it is installed or removed.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_LIBZELK1_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/packaging/libzelk1/triggers)
set(CPACK_DEBIAN_LIBZELK1_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_LIBZELK1_DESCRIPTION
"ZELK CAN adapter access library
ZELK gives programs one interface to CAN adapters: open a channel, set its
bit rate, filter and write timeout, start and stop the controller, read
and write frames and read its error counters. Its board list names the
adapters: Linux CAN network interfaces (SocketCAN), SLCAN serial adapters
and a simulated bus.")

set(CPACK_DEBIAN_LIBZELK-DEV_PACKAGE_NAME libzelk-dev)
set(CPACK_DEBIAN_LIBZELK-DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_LIBZELK-DEV_DEPENDS libzelk1)
set(CPACK_DEBIAN_LIBZELK-DEV_DESCRIPTION
"ZELK CAN adapter access library - development files
The header zelk.h, the link libzelk.so and the pkg-config file zelk.pc for
programs that use the ZELK CAN adapter access library.")

set(CPACK_DEBIAN_NIMBREL-DEV_PACKAGE_NAME nimbrel-dev)
set(CPACK_DEBIAN_NIMBREL-DEV_PACKAGE_SECTION devel)
set(CPACK_COMPONENT_NIMBREL-DEV_DEPENDS libzelk-dev)
set(CPACK_DEBIAN_NIMBREL-DEV_PACKAGE_DEPENDS "libgtk2.0-dev, pkg-config")
set(CPACK_DEBIAN_NIMBREL-DEV_PACKAGE_SUGGESTS "nimbrel")
set(CPACK_DEBIAN_NIMBREL-DEV_DESCRIPTION
"Nimbrel plug-in development files
The header nimbrel.h (the plug-in interface), the header-only plug-in kit
kit.h, the pkg-config file nimbrel-plugin.pc, the manual page nimbrel-plugin(7) and an example
plug-in, for writing plug-ins for the Nimbrel CAN-bus analysis host.")

include(CPack)
