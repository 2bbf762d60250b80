// SPDX-License-Identifier: ISC
#include "common/config_store.h"

#include <stdlib.h>
#include <string.h>
#include <syslog.h>

#include "common/log.h"
#include "common/text.h"

config_handle *config_open(const char *name)
{
	if (!name)
		return nullptr;
	config_handle *h = (config_handle *)calloc(1, sizeof(*h));
	if (!h)
		return nullptr;
	bounded_copy(h->package_name, sizeof(h->package_name), name, strlen(name));
	h->ctx = uci_alloc_context();
	if (!h->ctx) {
		free(h);
		return nullptr;
	}
	int rc = uci_load(h->ctx, name, &h->pkg);
	if (rc != UCI_OK) {
		// A package that is there but cannot be read says why (too large
		// for memory, unreadable, a syntax error); a missing one says nothing.
		char *why = nullptr;
		if (rc != UCI_ERR_NOTFOUND)
			uci_get_errorstr(h->ctx, &why, nullptr);
		if (why)
			log_message(LOG_ERR, "config %s cannot be loaded: %s", name, why);
		free(why);
		config_close(h);
		return nullptr;
	}
	return h;
}

// Items of a list joined by single spaces; null for an empty list.
static char *join_items(struct uci_list *items)
{
	size_t len = 0;
	bool any = false;
	struct uci_element *e;
	uci_foreach_element (items, e) {
		len += strlen(e->name) + (any ? 1 : 0);
		any = true;
	}
	if (!any)
		return nullptr;
	char *out = (char *)malloc(len + 1);
	if (!out)
		return nullptr;
	char *at = out;
	uci_foreach_element (items, e) {
		if (at != out)
			*at++ = ' ';
		size_t n = strlen(e->name);
		memcpy(at, e->name, n);
		at += n;
	}
	*at = 0;
	return out;
}

char *config_get(config_handle *h, const char *section, const char *option)
{
	if (!h || !h->ctx || !h->pkg)
		return nullptr;
	char *path = join_texts(5, h->package_name, ".", section, ".", option);
	if (!path)
		return nullptr;
	struct uci_ptr ptr;
	int rc = uci_lookup_ptr(h->ctx, &ptr, path, true);
	// ptr.o points into the package, not into path, so path can go now.
	free(path);
	// A name cut to fit package_name can make the lookup load some other
	// package; its values are not this handle's, and it must not stay.
	if (rc == UCI_OK && ptr.p && ptr.p != h->pkg) {
		uci_unload(h->ctx, ptr.p);
		return nullptr;
	}
	if (rc != UCI_OK || !(ptr.flags & uci_ptr::UCI_LOOKUP_COMPLETE) || !ptr.o)
		return nullptr;

	switch (ptr.o->type) {
	case UCI_TYPE_STRING:
		return strdup(ptr.o->v.string);
	case UCI_TYPE_LIST:
		return join_items(&ptr.o->v.list);
	default:
		return nullptr;
	}
}

void config_close(config_handle *h)
{
	if (!h)
		return;
	if (h->ctx) {
		if (h->pkg)
			uci_unload(h->ctx, h->pkg);
		uci_free_context(h->ctx);
	}
	free(h);
}
