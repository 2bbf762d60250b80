// SPDX-License-Identifier: ISC
#include "cli/json.h"

void put_json_string(FILE *out, const char *text)
{
	static const char hex[] = "0123456789abcdef";
	fputc('"', out);
	for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; p++) {
		switch (*p) {
		case '"':
			fputs("\\\"", out);
			break;
		case '\\':
			fputs("\\\\", out);
			break;
		case '\b':
			fputs("\\b", out);
			break;
		case '\t':
			fputs("\\t", out);
			break;
		case '\n':
			fputs("\\n", out);
			break;
		case '\r':
			fputs("\\r", out);
			break;
		default:
			if (*p < 0x20)
				fprintf(out, "\\u00%c%c", hex[*p >> 4], hex[*p & 15]);
			else
				fputc(*p, out);
		}
	}
	fputc('"', out);
}
