# Install rules and the Debian package.
#
#   cmake --install build [--prefix /usr]      # the daemon, its config, the user unit
#   scripts/build-deb.sh                        # zorva-renderer_<version>_<arch>.deb
#   scripts/build-deb.sh --arch arm64           # the same, cross-built for arm64
#
# The stand-in libzorva_connect.so goes into a directory of its own under the
# library dir, so it never shadows a real SDK installed system-wide; the
# daemon finds it through its RPATH. With ZORVA_CONNECT_LIBRARY the real SDK
# belongs to its vendor's package: nothing of ours is installed for it, and
# the RPATH points at the directory it was linked from.
set(CMAKE_INSTALL_DOCDIR share/doc/zorva-renderer CACHE PATH "Documentation directory")
include(GNUInstallDirs)

set(ZRV_PRIVATE_LIBDIR ${CMAKE_INSTALL_LIBDIR}/zorva-renderer)
# With the /usr prefix the configuration goes to /etc, as Debian wants;
# otherwise below the prefix, so that `cmake --install --prefix <dir>` stays
# inside <dir>. Every path is relative to the prefix except that /etc.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(ZRV_CONFIG_DIR /etc/zorva-renderer)
  set(ZRV_CONFIG_FILE /etc/zorva-renderer/config.json)
else()
  set(ZRV_CONFIG_DIR ${CMAKE_INSTALL_SYSCONFDIR}/zorva-renderer)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_SYSCONFDIR}")
    set(ZRV_CONFIG_FILE ${ZRV_CONFIG_DIR}/config.json)
  else()
    set(ZRV_CONFIG_FILE ${CMAKE_INSTALL_PREFIX}/${ZRV_CONFIG_DIR}/config.json)
  endif()
endif()

if(ZORVA_CONNECT_LIBRARY STREQUAL "")
  set(zrv_install_rpath "$ORIGIN/../${ZRV_PRIVATE_LIBDIR}")
else()
  get_filename_component(zrv_sdk_dir "${ZORVA_CONNECT_LIBRARY}" DIRECTORY)
  set(zrv_install_rpath "${zrv_sdk_dir}")
endif()
set_target_properties(zorva-renderer PROPERTIES INSTALL_RPATH "${zrv_install_rpath}")

install(TARGETS zorva-renderer RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(ZORVA_CONNECT_LIBRARY STREQUAL "")
  install(TARGETS zorva_connect LIBRARY DESTINATION ${ZRV_PRIVATE_LIBDIR} NAMELINK_SKIP)
endif()

# The configuration holds the application secret: readable by root and a
# group only. The Debian package gives it to the group zorva-renderer.
install(FILES ${PROJECT_SOURCE_DIR}/examples/config.json DESTINATION ${ZRV_CONFIG_DIR}
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ)
install(FILES ${PROJECT_SOURCE_DIR}/examples/config.json ${PROJECT_SOURCE_DIR}/examples/config-nats.json
              ${PROJECT_SOURCE_DIR}/examples/config-rabbitmq.json
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/packaging/debian/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
# Debian wants the changelog and the manual page compressed, and byte for
# byte the same on every build (no name or time stamp in the gzip header).
configure_file(${PROJECT_SOURCE_DIR}/packaging/man/zorva-renderer.1.in ${CMAKE_BINARY_DIR}/packaging/zorva-renderer.1
               @ONLY)
set(zrv_gzipped)
foreach(source ${PROJECT_SOURCE_DIR}/packaging/debian/changelog ${CMAKE_BINARY_DIR}/packaging/zorva-renderer.1)
  get_filename_component(name ${source} NAME)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/packaging/${name}.gz
                     COMMAND gzip -9n -c ${source} > ${CMAKE_BINARY_DIR}/packaging/${name}.gz
                     DEPENDS ${source} VERBATIM)
  list(APPEND zrv_gzipped ${CMAKE_BINARY_DIR}/packaging/${name}.gz)
endforeach()
add_custom_target(zrv_gzipped_docs ALL DEPENDS ${zrv_gzipped})
install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${CMAKE_BINARY_DIR}/packaging/zorva-renderer.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# lintian's overrides, each with its reason; a daemon linked to the real SDK
# needs one more.
file(READ ${PROJECT_SOURCE_DIR}/packaging/debian/lintian-overrides zrv_lintian_overrides)
if(NOT ZORVA_CONNECT_LIBRARY STREQUAL "")
  string(APPEND zrv_lintian_overrides
         "# The closed SDK comes with its vendor's installation, in a directory of\n"
         "# its own outside the library path: the daemon finds it through RUNPATH.\n"
         "zorva-renderer: custom-library-search-path RUNPATH ${zrv_sdk_dir} [usr/bin/zorva-renderer]\n")
endif()
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/packaging/lintian-overrides CONTENT "${zrv_lintian_overrides}")
install(FILES ${CMAKE_BINARY_DIR}/packaging/lintian-overrides DESTINATION share/lintian/overrides
        RENAME zorva-renderer)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR} FILES_MATCHING PATTERN "*.md")

# PipeWire runs in the user's session, so the daemon is a user service.
set(ZRV_DAEMON_PATH ${CMAKE_INSTALL_FULL_BINDIR}/zorva-renderer)
configure_file(${PROJECT_SOURCE_DIR}/packaging/systemd/zorva-renderer.service.in
               ${CMAKE_BINARY_DIR}/packaging/zorva-renderer.service @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/packaging/zorva-renderer.service DESTINATION lib/systemd/user)

# The Debian package (cpack -G DEB, run by scripts/build-deb.sh).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zorva-renderer)
# A package with the stand-in SDK must never pass for one with the real SDK:
# its version carries "~standin", which also sorts it below the real SDK's
# package of the same version, so that one replaces it as an upgrade.
# ZRV_PACKAGE_VERSION overrides the whole version (the package check builds a
# newer package to test upgrades).
if(ZORVA_CONNECT_LIBRARY STREQUAL "")
  set(zrv_default_package_version "${PROJECT_VERSION}~standin")
else()
  set(zrv_default_package_version "${PROJECT_VERSION}")
endif()
set(ZRV_PACKAGE_VERSION "" CACHE STRING "Debian package version; empty: the project's version (with ~standin)")
if(ZRV_PACKAGE_VERSION STREQUAL "")
  set(CPACK_PACKAGE_VERSION ${zrv_default_package_version})
else()
  set(CPACK_PACKAGE_VERSION ${ZRV_PACKAGE_VERSION})
endif()
set(CPACK_PACKAGE_CONTACT "Zorva renderer maintainers <renderer@zorva.invalid>")
# Lines of at most 80 characters, as Debian's tools show them.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "Turns a Linux audio device into a Zorva Connect renderer: found by DNS-SD,\n"
       "paired over a small local HTTP API, playing gaplessly through PipeWire,\n"
       "with events and remote commands on NATS or RabbitMQ.")
if(ZORVA_CONNECT_LIBRARY STREQUAL "")
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Zorva Connect renderer daemon for PipeWire (stand-in SDK build)")
  string(APPEND CPACK_PACKAGE_DESCRIPTION
         "\n.\n"
         "This build carries the project's stand-in for the closed Zorva Connect SDK,\n"
         "for development and tests only: it plays generated audio, and any host on\n"
         "the network can script its queue. Not for devices: build the package with\n"
         "the real SDK for those.")
else()
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Zorva Connect audio renderer daemon for PipeWire")
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# A cross build names its target architecture (its toolchain file sets it);
# otherwise CPack asks dpkg for the machine's.
if(ZRV_DEB_ARCHITECTURE)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${ZRV_DEB_ARCHITECTURE})
endif()
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The shared libraries' packages come from dpkg-shlibdeps. It must find the
# SDK where the daemon's RPATH points: the stand-in's private directory inside
# the package, or the real SDK's directory, whose library belongs to no
# Debian package (CPack passes --ignore-missing-info for that).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(ZORVA_CONNECT_LIBRARY STREQUAL "")
  # Relative to the package's staging root, where dpkg-shlibdeps runs.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS .${CMAKE_INSTALL_PREFIX}/${ZRV_PRIVATE_LIBDIR})
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${zrv_sdk_dir})
endif()
# The maintainer scripts create the configuration's group with addgroup.
set(CPACK_DEBIAN_PACKAGE_DEPENDS adduser)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pipewire, wireplumber, avahi-daemon")
foreach(control conffiles postinst postrm)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/${control}.in ${CMAKE_BINARY_DIR}/packaging/${control} @ONLY)
  list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/${control})
endforeach()
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
