# SPDX-License-Identifier: ISC
# 32-bit ARMv7 with hardware floating point: Debian's arm-linux-gnueabihf
# cross compiler; json-c and GoogleTest through multiarch (libjson-c-dev:armhf,
# libgtest-dev:armhf, libgmock-dev:armhf).
set(CMAKE_SYSTEM_PROCESSOR arm)
set(RAVEL_CROSS_TRIPLE arm-linux-gnueabihf)
set(RAVEL_CROSS_QEMU qemu-arm-static)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
