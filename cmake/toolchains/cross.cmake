# SPDX-License-Identifier: ISC
# Shared part of the cross toolchain files: the including file sets
# RAVEL_CROSS_TRIPLE (the Debian cross compiler's prefix), RAVEL_CROSS_QEMU
# (the user-mode emulator) and CMAKE_SYSTEM_PROCESSOR.
#
# Target libraries (json-c, GoogleTest) come from Debian's multiarch tree
# (/usr/lib/<triple>) or, for targets Debian does not ship, from the prefix
# named by RAVEL_CROSS_PREFIX (a cache variable or the environment variable of
# that name), where scripts/cross.sh installs what it builds.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${RAVEL_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${RAVEL_CROSS_TRIPLE}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${RAVEL_CROSS_TRIPLE})

if(NOT RAVEL_CROSS_PREFIX AND DEFINED ENV{RAVEL_CROSS_PREFIX})
  set(RAVEL_CROSS_PREFIX $ENV{RAVEL_CROSS_PREFIX})
endif()
set(RAVEL_CROSS_PREFIX "${RAVEL_CROSS_PREFIX}" CACHE PATH "Prefix holding libraries built for the target")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES RAVEL_CROSS_PREFIX)

# Search the target's trees only, never the build machine's libraries.
set(CMAKE_FIND_ROOT_PATH /usr/${RAVEL_CROSS_TRIPLE} /)
set(pkg_dirs /usr/lib/${RAVEL_CROSS_TRIPLE}/pkgconfig /usr/share/pkgconfig)
if(RAVEL_CROSS_PREFIX)
  list(PREPEND CMAKE_FIND_ROOT_PATH ${RAVEL_CROSS_PREFIX})
  list(PREPEND pkg_dirs ${RAVEL_CROSS_PREFIX}/lib/pkgconfig)
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
string(REPLACE ";" ":" pkg_dirs "${pkg_dirs}")
set(ENV{PKG_CONFIG_LIBDIR} "${pkg_dirs}")
set(ENV{PKG_CONFIG_PATH} "")

# ctest runs the test programs through the emulator; the programs those start
# (daemon, bus daemon, simulator, client) run through binfmt_misc, which
# scripts/cross.sh registers. RAVEL_CROSS_QEMU_ARGS: extra emulator options.
find_program(RAVEL_QEMU ${RAVEL_CROSS_QEMU})
if(RAVEL_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${RAVEL_QEMU} ${RAVEL_CROSS_QEMU_ARGS})
endif()
