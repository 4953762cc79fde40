# Where `cmake --install` puts things, relative to the prefix, so that the
# same tree works under any prefix given at install time:
#   bin/nimbrel                   link to the program
#   bin/zelkctl
#   lib/nimbrel/                  the program and the plug-ins we ship (its
#                                 installation directory: the plug-in scan
#                                 and /proc/self/exe work as in the build)
#   lib/<multiarch>/libzelk.so.1  the adapter library
#   include/nimbrel/, lib/<multiarch>/pkgconfig/   the plug-in SDK
#   share/locale, share/applications, share/icons, share/metainfo,
#   share/man, share/doc/nimbrel
# Binaries carry a RUNPATH relative to $ORIGIN only, so no build path
# lands in the installed files.

# The multiarch library folder under every prefix (GNUInstallDirs picks it
# only for /usr, and the prefix may change at install time).
if(CMAKE_LIBRARY_ARCHITECTURE AND NOT DEFINED CACHE{CMAKE_INSTALL_LIBDIR})
  set(CMAKE_INSTALL_LIBDIR "lib/${CMAKE_LIBRARY_ARCHITECTURE}" CACHE PATH
      "Object code libraries (LIBDIR)")
endif()
include(GNUInstallDirs)

set(NB_INSTALL_PKGLIBDIR "lib/nimbrel")
set(NB_INSTALL_DOCDIR "${CMAKE_INSTALL_DATAROOTDIR}/doc/nimbrel")
set(NB_INSTALL_GUIDEDIR "${NB_INSTALL_DOCDIR}/guide")

# Relative paths between the installed folders (a fake prefix is enough).
file(RELATIVE_PATH NB_PKGLIB_TO_LIBDIR "/p/${NB_INSTALL_PKGLIBDIR}" "/p/${CMAKE_INSTALL_LIBDIR}")
file(RELATIVE_PATH NB_BIN_TO_LIBDIR "/p/${CMAKE_INSTALL_BINDIR}" "/p/${CMAKE_INSTALL_LIBDIR}")
file(RELATIVE_PATH NB_PKGLIB_TO_DATADIR "/p/${NB_INSTALL_PKGLIBDIR}"
     "/p/${CMAKE_INSTALL_DATAROOTDIR}")
file(RELATIVE_PATH NB_BIN_TO_PROGRAM "/p/${CMAKE_INSTALL_BINDIR}"
     "/p/${NB_INSTALL_PKGLIBDIR}/nimbrel")

set(NB_INSTALL_PKGCONFIGDIR "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
# pkg-config files name their prefix relative to themselves, so a tree
# installed under any prefix (or unpacked anywhere) builds plug-ins.
file(RELATIVE_PATH NB_PC_TO_PREFIX "/p/${NB_INSTALL_PKGCONFIGDIR}" "/p")
string(REGEX REPLACE "/$" "" NB_PC_TO_PREFIX "${NB_PC_TO_PREFIX}")

# Install components, one a Debian package (cmake/NimbrelPackage.cmake):
#   nimbrel      the program, its plug-ins, zelkctl and their data
#   libzelk1     the shared adapter library
#   libzelk-dev  zelk.h, the libzelk.so link and zelk.pc
#   nimbrel-dev  nimbrel.h, kit.h, nimbrel-plugin.pc, the example plug-in
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME nimbrel)

# nb_install_link(LINK TARGET DESTINATION COMPONENT): installs a relative
# symbolic link DESTINATION/LINK pointing at TARGET.
function(nb_install_link link target destination component)
  set(dir ${CMAKE_BINARY_DIR}/install-links/${destination})
  file(MAKE_DIRECTORY ${dir})
  file(CREATE_LINK ${target} ${dir}/${link} SYMBOLIC)
  install(FILES ${dir}/${link} DESTINATION ${destination} COMPONENT ${component})
endfunction()
