// SPDX-License-Identifier: ISC
/* Build-time settings shared by the library, the bus daemon and the bus tool. */
#ifndef __UBUS_COMMON_H
#define __UBUS_COMMON_H

#ifndef UBUS_UNIX_SOCKET
#define UBUS_UNIX_SOCKET "/var/run/ubus/ubus.sock"
#endif

#ifndef UBUS_MAX_MSGLEN
#define UBUS_MAX_MSGLEN 1048576
#endif

#define UBUS_SIGNATURE_METHOD (BLOBMSG_TYPE_LAST + 1)
#define UBUS_SIGNATURE_END (BLOBMSG_TYPE_LAST + 2)

#endif
