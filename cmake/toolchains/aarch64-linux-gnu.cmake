# Cross-building for arm64 on a Debian amd64 machine with Debian's cross
# toolchain (crossbuild-essential-arm64) and the arm64 development packages
# installed side by side with the amd64 ones (dpkg --add-architecture arm64;
# scripts/install-deps.sh installs all of it). Used by
# `scripts/build-deb.sh --arch arm64`.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# Multiarch: the arm64 libraries and their pkg-config files live under
# /usr/lib/aarch64-linux-gnu; the headers under /usr/include are shared.
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
# The Debian architecture the package is built for.
set(ZRV_DEB_ARCHITECTURE arm64)
