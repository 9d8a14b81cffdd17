# Installing the server, the plug-in SDK and the systemd unit, and the Debian
# package built from that installation (cpack -G DEB).
#
# The installed layout, relative to the prefix (/usr for the package):
#
#   lib/ombrevard/ombrevard            the server
#   lib/ombrevard/plugins/             its plug-in folder (the example plug-ins and
#                                      the media plug-ins, which idle until given settings)
#   bin/ombrevard                      a launcher that starts the server above
#   include/ombrevard/plugin_api.h     the one header plug-ins build against
#   include/ombrevard/media.h          the media payload format, beside it
#   share/pkgconfig/ombrevard-plugin.pc
#   share/cmake/OmbrevardPlugin/       find_package(OmbrevardPlugin)
#   lib/systemd/system/ombrevard.service
#   share/man/man8/ombrevard.8.gz      the manual page
#   share/doc/ombrevard/               copyright, changelog.gz
#
# The server loads its plug-ins from the folder beside the path it was started
# by, without resolving symbolic links, so a symlink on PATH would make it look
# in bin/plugins. The command on PATH is therefore a small script that starts
# the server by its real path (packaging/launcher.sh.in).

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

option(OMBREVARD_INSTALL_SYSTEMD_UNIT "Install the systemd unit" ON)
option(OMBREVARD_INSTALL_EXAMPLES "Install the example plug-ins into the plug-in folder" ON)
option(OMBREVARD_INSTALL_MEDIA "Install the media plug-ins, when built, into the plug-in folder" ON)
option(OMBREVARD_INSTALL_NATS "Install nats_bridge, when built, into the plug-in folder" ON)
set(OMBREVARD_INSTALL_SERVERDIR "lib/ombrevard" CACHE STRING
  "Folder of the installed server and its plugins folder, relative to the prefix")
set(OMBREVARD_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
  "Folder of the installed systemd unit, relative to the prefix or absolute")
# The default names nobody who reads mail (.invalid is reserved for that);
# packagers give their own.
set(OMBREVARD_DEFAULT_MAINTAINER "ombrevard developers <ombrevard@ombrevard.invalid>")
set(OMBREVARD_PACKAGE_MAINTAINER "${OMBREVARD_DEFAULT_MAINTAINER}" CACHE STRING
  "Maintainer field of the Debian package")
# Build trees that cached the earlier default, a host lintian rejects, move on.
if(OMBREVARD_PACKAGE_MAINTAINER STREQUAL "ombrevard developers <ombrevard@localhost>")
  set_property(CACHE OMBREVARD_PACKAGE_MAINTAINER PROPERTY VALUE "${OMBREVARD_DEFAULT_MAINTAINER}")
endif()

# The launcher finds the server relative to itself, so both folders must be
# relative to the same prefix.
foreach(dir OMBREVARD_INSTALL_SERVERDIR CMAKE_INSTALL_BINDIR)
  if(IS_ABSOLUTE "${${dir}}")
    message(FATAL_ERROR "${dir} must be relative to the install prefix")
  endif()
endforeach()

set(OMBREVARD_INSTALL_PLUGINDIR "${OMBREVARD_INSTALL_SERVERDIR}/plugins")
set(OMBREVARD_INSTALL_HEADERDIR "${CMAKE_INSTALL_INCLUDEDIR}/ombrevard")
set(OMBREVARD_INSTALL_PKGCONFIGDIR "${CMAKE_INSTALL_DATADIR}/pkgconfig")
set(OMBREVARD_INSTALL_CMAKEDIR "${CMAKE_INSTALL_DATADIR}/cmake/OmbrevardPlugin")
set(OMBREVARD_INSTALL_STAGING "${PROJECT_BINARY_DIR}/install-templates")

# ---- Files that name the prefix they are installed under -------------------
#
# The pkg-config file and the systemd unit hold absolute paths. They get the
# prefix of the installation actually made (cmake --install --prefix ..., or
# /usr when cpack stages the package), not the one configured: the template is
# configured now with @OMBREVARD_INSTALL_PREFIX@ left in place, and that is
# filled in by the install step.

install(CODE [[
  # Install time: <staged> with the prefix filled in, as <destination>/<name>;
  # compressed by <gzip> when that is given.
  function(ombrevard_install_configured staged destination name gzip)
    set(OMBREVARD_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
    if(NOT IS_ABSOLUTE "${destination}")
      set(destination "${CMAKE_INSTALL_PREFIX}/${destination}")
    endif()
    # One scratch name per destination, so that installations to different
    # places from one build tree may run at the same time.
    string(MD5 key "$ENV{DESTDIR}${destination}")
    set(configured "${staged}.${key}")
    configure_file("${staged}" "${configured}" @ONLY)
    if(gzip)
      # Best compression and no name or time stamp in the header, as Debian
      # wants manual pages and changelogs: the same input gives the same bytes.
      execute_process(COMMAND "${gzip}" -9 -n -c "${configured}"
        OUTPUT_FILE "${configured}.gz" RESULT_VARIABLE failed)
      if(failed)
        message(FATAL_ERROR "${gzip} could not compress ${name}")
      endif()
      file(REMOVE "${configured}")
      set(configured "${configured}.gz")
    endif()
    file(INSTALL DESTINATION "${destination}" TYPE FILE RENAME "${name}" FILES "${configured}")
    file(REMOVE "${configured}")
    # file(INSTALL) records the file in this function's scope only.
    set(CMAKE_INSTALL_MANIFEST_FILES "${CMAKE_INSTALL_MANIFEST_FILES}" PARENT_SCOPE)
  endfunction()
]])

# Configures <template> now and installs it as <destination>/<name>, with
# @OMBREVARD_INSTALL_PREFIX@ filled in at install time. With GZIP, <name> is
# the template compressed (name it *.gz).
function(ombrevard_install_with_prefix template destination name)
  set(gzip "")
  if(ARGV3 STREQUAL "GZIP")
    set(gzip "${OMBREVARD_GZIP}")
  endif()
  set(OMBREVARD_INSTALL_PREFIX "@OMBREVARD_INSTALL_PREFIX@")
  configure_file(${template} ${OMBREVARD_INSTALL_STAGING}/${name} @ONLY)
  install(CODE "ombrevard_install_configured(\"${OMBREVARD_INSTALL_STAGING}/${name}\" \"${destination}\" \"${name}\" \"${gzip}\")")
endfunction()

# A path for a file that names other installed paths: relative ones become
# relative to <prefix_reference>, absolute ones stay as they are.
function(ombrevard_prefixed_path out prefix_reference path)
  if(IS_ABSOLUTE "${path}")
    set(${out} "${path}" PARENT_SCOPE)
  else()
    set(${out} "${prefix_reference}/${path}" PARENT_SCOPE)
  endif()
endfunction()

# ---- The server and its plug-in folder --------------------------------------

install(TARGETS ombrevard RUNTIME DESTINATION ${OMBREVARD_INSTALL_SERVERDIR})
# The folder exists even without plug-ins in it, so that one can be dropped in.
install(DIRECTORY DESTINATION ${OMBREVARD_INSTALL_PLUGINDIR})
if(OMBREVARD_EXAMPLES AND OMBREVARD_INSTALL_EXAMPLES)
  # Loaded, not executed: no execute bit, as for any shared object.
  install(TARGETS monitor producer consumer
    LIBRARY DESTINATION ${OMBREVARD_INSTALL_PLUGINDIR}
    PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endif()
if(TARGET gst_source AND TARGET gst_sink AND OMBREVARD_INSTALL_MEDIA)
  install(TARGETS gst_source gst_sink
    LIBRARY DESTINATION ${OMBREVARD_INSTALL_PLUGINDIR}
    PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endif()
if(TARGET nats_bridge AND OMBREVARD_INSTALL_NATS)
  install(TARGETS nats_bridge
    LIBRARY DESTINATION ${OMBREVARD_INSTALL_PLUGINDIR}
    PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endif()

file(RELATIVE_PATH OMBREVARD_LAUNCHER_TO_SERVER
  /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${OMBREVARD_INSTALL_SERVERDIR}/ombrevard)
configure_file(${PROJECT_SOURCE_DIR}/packaging/launcher.sh.in
  ${OMBREVARD_INSTALL_STAGING}/launcher.sh @ONLY)
install(PROGRAMS ${OMBREVARD_INSTALL_STAGING}/launcher.sh
  DESTINATION ${CMAKE_INSTALL_BINDIR} RENAME ombrevard)

# ---- The plug-in SDK ---------------------------------------------------------

install(FILES ${PROJECT_SOURCE_DIR}/core/plugin_api.h ${PROJECT_SOURCE_DIR}/core/media.h
  DESTINATION ${OMBREVARD_INSTALL_HEADERDIR})

ombrevard_prefixed_path(OMBREVARD_PC_INCLUDEDIR "\${prefix}" "${CMAKE_INSTALL_INCLUDEDIR}")
ombrevard_prefixed_path(OMBREVARD_PC_PLUGINDIR "\${prefix}" "${OMBREVARD_INSTALL_PLUGINDIR}")
ombrevard_install_with_prefix(${PROJECT_SOURCE_DIR}/cmake/ombrevard-plugin.pc.in
  ${OMBREVARD_INSTALL_PKGCONFIGDIR} ombrevard-plugin.pc)

# The CMake package finds its paths relative to its own folder, so it needs no
# prefix filled in.
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/OmbrevardPluginConfig.cmake.in
  ${OMBREVARD_INSTALL_STAGING}/OmbrevardPluginConfig.cmake
  INSTALL_DESTINATION ${OMBREVARD_INSTALL_CMAKEDIR}
  PATH_VARS OMBREVARD_INSTALL_HEADERDIR OMBREVARD_INSTALL_PLUGINDIR)
# Plug-ins built against an older header keep working: blocks only grow.
write_basic_package_version_file(${OMBREVARD_INSTALL_STAGING}/OmbrevardPluginConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES
  ${OMBREVARD_INSTALL_STAGING}/OmbrevardPluginConfig.cmake
  ${OMBREVARD_INSTALL_STAGING}/OmbrevardPluginConfigVersion.cmake
  DESTINATION ${OMBREVARD_INSTALL_CMAKEDIR})

# ---- The systemd unit --------------------------------------------------------

if(OMBREVARD_INSTALL_SYSTEMD_UNIT)
  ombrevard_install_with_prefix(${PROJECT_SOURCE_DIR}/packaging/ombrevard.service.in
    ${OMBREVARD_SYSTEMD_UNIT_DIR} ombrevard.service)
endif()

# ---- The manual page and the package's documents ------------------------------

find_program(OMBREVARD_GZIP gzip REQUIRED)
ombrevard_install_with_prefix(${PROJECT_SOURCE_DIR}/packaging/ombrevard.8.in
  ${CMAKE_INSTALL_MANDIR}/man8 ombrevard.8.gz GZIP)
# The copyright file in Debian's machine-readable format, and the changelog
# in Debian's format, which a native package ships as changelog.gz.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
ombrevard_install_with_prefix(${PROJECT_SOURCE_DIR}/packaging/changelog
  ${CMAKE_INSTALL_DOCDIR} changelog.gz GZIP)

# ---- The Debian package ------------------------------------------------------

set(CPACK_PACKAGE_NAME ombrevard)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "ombrevard developers")
set(CPACK_PACKAGE_CONTACT "${OMBREVARD_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "plug-in based video server: the core process")
set(CPACK_GENERATOR DEB)
# The install step runs with DESTDIR set to the staging folder and the real
# prefix, so that the files that name the prefix name /usr.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${OMBREVARD_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "The ombrevard server loads plug-in libraries from its plugins folder,\n\
hands each of them a function to post events with, and carries those events\n\
between them. It runs as a daemon under systemd (ombrevard.service) or in the\n\
foreground with -d. The package holds the server, example plug-ins, and the\n\
header, pkg-config file and CMake package for building plug-ins, and the\n\
GStreamer media plug-ins when the build made them.")
# Runtime dependencies come from the libraries the binaries are linked with.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# cpack asks dpkg for the machine's architecture; a 32-bit x86 build made on a
# 64-bit machine (cmake/i386-linux-gnu.cmake) is an i386 package all the same.
if(CMAKE_SIZEOF_VOID_P EQUAL 4 AND CMAKE_SYSTEM_PROCESSOR MATCHES "^(i[3-6]86|x86)$")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE i386)
endif()

include(CPack)
