/* SPDX-License-Identifier: ISC */
/* Included ahead of every C++ source built for musl. libstdc++'s headers on
 * this machine were configured for glibc and test its version with
 * __GLIBC_PREREQ, which musl does not define: no glibc version is present. */
#ifndef __GLIBC_PREREQ
#define __GLIBC_PREREQ(major, minor) 0
#endif
