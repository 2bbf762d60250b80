# SPDX-License-Identifier: ISC
# AArch64: Debian's aarch64-linux-gnu cross compiler; json-c and GoogleTest
# through multiarch (libjson-c-dev:arm64, libgtest-dev:arm64, libgmock-dev:arm64).
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(RAVEL_CROSS_TRIPLE aarch64-linux-gnu)
set(RAVEL_CROSS_QEMU qemu-aarch64-static)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
