# Cross-build for 32-bit ARM hard-float (arm-linux-gnueabihf) with Debian's cross compilers
# against a target tree: the armhf -dev packages extracted into a directory of their own
# (scripts/target-tree.sh), so the host's dpkg never needs the armhf architecture.
# VASKEL_TARGET_TREE names the tree; test programs run under qemu-user with the tree as
# their library prefix (QEMU_LD_PREFIX), so they load the C library they were built with.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm-static)

if(NOT VASKEL_TARGET_TREE AND DEFINED ENV{VASKEL_TARGET_TREE})
    set(VASKEL_TARGET_TREE "$ENV{VASKEL_TARGET_TREE}")
endif()
if(NOT VASKEL_TARGET_TREE)
    message(FATAL_ERROR "armhf: set VASKEL_TARGET_TREE to a target tree (make check-armhf makes one)")
endif()
get_filename_component(VASKEL_TARGET_TREE "${VASKEL_TARGET_TREE}" ABSOLUTE)
# Try-compiles read the toolchain file again, in a project of their own.
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VASKEL_TARGET_TREE)
set(ENV{VASKEL_TARGET_TREE} "${VASKEL_TARGET_TREE}")

set(CMAKE_SYSROOT "${VASKEL_TARGET_TREE}")

# pkg-config reads only the tree's .pc files and prefixes their paths with the tree.
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${VASKEL_TARGET_TREE}")
set(ENV{PKG_CONFIG_LIBDIR}
    "${VASKEL_TARGET_TREE}/usr/lib/arm-linux-gnueabihf/pkgconfig:${VASKEL_TARGET_TREE}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# Libraries and headers come from the tree only; programs (qemu, mkfs) from the host.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# GNUInstallDirs picks the multiarch library directory only when it finds a Debian system in
# the sysroot, and the target tree holds no base-files: name the directory here.
set(CMAKE_INSTALL_LIBDIR "lib/${CMAKE_LIBRARY_ARCHITECTURE}" CACHE PATH "object code libraries")
