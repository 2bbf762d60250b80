// SPDX-License-Identifier: ISC
// Read access to the UCI configuration store: open one package, read options
// of its sections as fresh heap texts, close it. Nothing here writes; the one
// line logged is why a package that exists could not be loaded.
#pragma once

extern "C" {
#include <uci.h>
}

#include "common/own.h"

// One opened package. Made by config_open, released by config_close.
struct config_handle {
	struct uci_context *ctx; // context of this handle alone
	struct uci_package *pkg; // the loaded package, owned by ctx
	char package_name[128];  // the name given to config_open, cut to 127 bytes
};

// Loads the package `name` from the default configuration directory (with
// pending saved changes applied). Null when the name is null, the package is
// missing or does not parse, or memory runs out; nothing is left allocated then.
// A package that exists but cannot be loaded is logged at level 3 with the
// library's reason.
config_handle *config_open(const char *name);

// The value of `option` in `section` as a new heap text that the caller
// frees: a single value as it is, a list as its items joined by one space.
// The section may also be written "@type[index]". Null when the handle is
// not loaded, the section or option is missing, the list is empty, or memory
// runs out.
char *config_get(config_handle *h, const char *section, const char *option);

// Releases the handle, its context and its package. Null does nothing.
void config_close(config_handle *h);

using config_owner = handle_owner<config_handle, config_close>;
