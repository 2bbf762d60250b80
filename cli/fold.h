// SPDX-License-Identifier: ISC
#pragma once

// Line-break clean-up of an answer text before it is printed. Both work in
// place on a NUL-terminated text and only ever shorten it.

// Every LF directly followed by a second LF becomes one CR (one pass from the left).
void fold_lf_pairs(char *text);

// Collapses every run of CR LF pairs to a single CR LF, so empty lines vanish.
void squeeze_crlf_pairs(char *text);
