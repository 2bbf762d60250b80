// SPDX-License-Identifier: ISC
#include "cli/fold.h"

#include <cstddef>

void fold_lf_pairs(char *text)
{
	if (!text)
		return;
	size_t w = 0;
	for (size_t r = 0; text[r];) {
		if (text[r] == '\n' && text[r + 1] == '\n') {
			text[w++] = '\r';
			r += 2;
		} else {
			text[w++] = text[r++];
		}
	}
	text[w] = '\0';
}

// Removing the first two bytes of the first "\r\n\r\n" again and again ends
// with every run of CR LF pairs reduced to one pair; a CR LF pair cannot
// overlap another one, so a single pass over the pairs gives the same text
// without the quadratic cost on a long answer.
void squeeze_crlf_pairs(char *text)
{
	if (!text)
		return;
	size_t w = 0;
	for (size_t r = 0; text[r];) {
		if (text[r] == '\r' && text[r + 1] == '\n') {
			text[w++] = '\r';
			text[w++] = '\n';
			r += 2;
			while (text[r] == '\r' && text[r + 1] == '\n')
				r += 2;
		} else {
			text[w++] = text[r++];
		}
	}
	text[w] = '\0';
}
