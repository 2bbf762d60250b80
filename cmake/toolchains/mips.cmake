# SPDX-License-Identifier: ISC
# Big-endian 32-bit MIPS (mips32r2, o32 ABI): Debian's mips-linux-gnu cross
# compiler. Debian has no mips port any more, so json-c and GoogleTest come
# from RAVEL_CROSS_PREFIX (scripts/cross.sh mips builds them there).
#   cmake -S . -B build-mips -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mips.cmake \
#         -DRAVEL_CROSS_PREFIX=/opt/ravel-cross/mips
set(CMAKE_SYSTEM_PROCESSOR mips)
set(RAVEL_CROSS_TRIPLE mips-linux-gnu)
set(RAVEL_CROSS_QEMU qemu-mips-static)
# The C library lives in Debian's cross tree, not in /lib.
set(RAVEL_CROSS_QEMU_ARGS -L /usr/mips-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
