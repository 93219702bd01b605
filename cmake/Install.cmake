# Install rules and the Debian package.
#
#   cmake --install build [--prefix /usr]      # the daemon, its config, the user unit
#   scripts/build-deb.sh                        # zorva-renderer_<version>_<arch>.deb
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

install(FILES ${PROJECT_SOURCE_DIR}/examples/config.json DESTINATION ${ZRV_CONFIG_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/examples/config.json ${PROJECT_SOURCE_DIR}/examples/config-nats.json
              ${PROJECT_SOURCE_DIR}/examples/config-rabbitmq.json
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR} FILES_MATCHING PATTERN "*.md")

# PipeWire runs in the user's session, so the daemon is a user service.
set(ZRV_DAEMON_PATH ${CMAKE_INSTALL_FULL_BINDIR}/zorva-renderer)
configure_file(${PROJECT_SOURCE_DIR}/packaging/systemd/zorva-renderer.service.in
               ${CMAKE_BINARY_DIR}/packaging/zorva-renderer.service @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/packaging/zorva-renderer.service DESTINATION lib/systemd/user)

# The Debian package (cpack -G DEB, run by scripts/build-deb.sh).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zorva-renderer)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Zorva renderer maintainers <renderer@zorva.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Zorva Connect audio renderer daemon for PipeWire")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "Turns a Linux audio device into a Zorva Connect renderer: found by DNS-SD, "
       "paired over a small local HTTP API, playing gaplessly through PipeWire, with "
       "events and remote commands on NATS or RabbitMQ.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The Debian 12 packages of the shared libraries the daemon links.
string(JOIN ", " CPACK_DEBIAN_PACKAGE_DEPENDS
       "libc6 (>= 2.34)" "libstdc++6 (>= 12)" libgcc-s1 "libuv1 (>= 1.44)" "libpipewire-0.3-0 (>= 0.3.65)"
       libavahi-client3 libavahi-common3 libcivetweb1 libcjson1 "libjansson4 (>= 2.14)" libnats3.4 librabbitmq4
       libcurl4)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pipewire, wireplumber, avahi-daemon")
configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/conffiles.in ${CMAKE_BINARY_DIR}/packaging/conffiles @ONLY)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
