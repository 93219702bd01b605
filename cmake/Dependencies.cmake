# Every library the daemon uses, found through pkg-config from Debian's -dev
# packages. A missing one stops the configure step with the package to install.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)

function(zrv_require_pkg target module package)
  pkg_check_modules(${target} QUIET IMPORTED_TARGET GLOBAL ${module})
  if(NOT ${target}_FOUND)
    message(FATAL_ERROR "pkg-config module '${module}' not found: install the Debian package ${package} "
                        "(scripts/install-deps.sh installs everything)")
  endif()
  add_library(zrv::${target} ALIAS PkgConfig::${target})
endfunction()

zrv_require_pkg(uv libuv libuv1-dev)
zrv_require_pkg(pipewire libpipewire-0.3 libpipewire-0.3-dev)
zrv_require_pkg(avahi avahi-client libavahi-client-dev)
zrv_require_pkg(cjson libcjson libcjson-dev)
zrv_require_pkg(jansson jansson libjansson-dev)
zrv_require_pkg(nats libnats libnats-dev)
zrv_require_pkg(rabbitmq librabbitmq librabbitmq-dev)
# rabbitmq-c's TLS socket leaves the CA store empty; the system's is added
# to its OpenSSL context.
zrv_require_pkg(openssl openssl libssl-dev)
zrv_require_pkg(curl libcurl libcurl4-openssl-dev)
zrv_require_pkg(systemd libsystemd libsystemd-dev)

# civetweb ships no pkg-config file, and Debian's CMake package for it points
# at a binary that is not installed, so it is found by hand.
find_path(CIVETWEB_INCLUDE_DIR civetweb.h)
find_library(CIVETWEB_LIBRARY civetweb)
if(NOT CIVETWEB_INCLUDE_DIR OR NOT CIVETWEB_LIBRARY)
  message(FATAL_ERROR "civetweb not found: install the Debian package libcivetweb-dev "
                      "(scripts/install-deps.sh installs everything)")
endif()
add_library(zrv_civetweb INTERFACE)
target_include_directories(zrv_civetweb SYSTEM INTERFACE ${CIVETWEB_INCLUDE_DIR})
target_link_libraries(zrv_civetweb INTERFACE ${CIVETWEB_LIBRARY})
add_library(zrv::civetweb ALIAS zrv_civetweb)

if(ZRV_BUILD_TESTS)
  find_package(GTest QUIET)
  if(NOT GTest_FOUND)
    message(FATAL_ERROR "GoogleTest not found: install the Debian packages googletest libgtest-dev libgmock-dev "
                        "(scripts/install-deps.sh installs everything)")
  endif()
endif()
