// SPDX-License-Identifier: ISC
#include "common/log.h"

#include <stdarg.h>
#include <syslog.h>

int log_threshold = 5;

void log_message(int level, const char *fmt, ...)
{
	if (level > log_threshold)
		return;

	va_list ap;
	va_start(ap, fmt);
	vsyslog(level, fmt, ap);
	va_end(ap);
}
