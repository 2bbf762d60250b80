// SPDX-License-Identifier: ISC
#pragma once

#include <cstdio>

// Writes text as a JSON string, quotes included, escaped as the bus tools
// print reply texts: \" \\ \b \t \n \r, other control bytes as \u00XX, all
// other bytes as they are.
void put_json_string(FILE *out, const char *text);
