// SPDX-License-Identifier: ISC
/* Build options of libuci. */
#ifndef UCI_CONFIG_H
#define UCI_CONFIG_H

/* #define UCI_DEBUG */
/* #define UCI_DEBUG_TYPECAST */

#endif
