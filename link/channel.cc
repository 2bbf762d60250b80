// SPDX-License-Identifier: ISC
#include "link/at_channel.h"

at_channel channel;
