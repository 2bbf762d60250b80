// SPDX-License-Identifier: ISC
// Leveled logging to the system log, shared by both programs.
#pragma once

// The highest level passed on (signed comparison). The daemon's start value is
// 5; the client sets 3 before reading its options. `-l` overwrites it.
extern int log_threshold;

// Hands level (used unchanged as the syslog priority, no facility bits), fmt
// and its arguments to vsyslog, unless level > log_threshold; a suppressed
// message is not formatted. The program calls openlog itself, once.
// Not safe from a signal handler: set a flag there and log afterwards.
void log_message(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
