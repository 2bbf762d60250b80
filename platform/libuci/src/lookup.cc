// SPDX-License-Identifier: ISC
// Paths "package[.section[.option]][=value]" and their lookup.
#include "internal.h"

#include <stdlib.h>
#include <string.h>

using namespace uci_impl;

namespace {

using lookup_flags = decltype(uci_ptr::flags);

void add_flags(uci_ptr *ptr, int bits)
{
	ptr->flags = (lookup_flags)(ptr->flags | bits);
}

// "@type[index]" or "@[index]": the index-th section of that type (any
// type when empty), counted from the end when negative. UCI_OK with *out
// NULL when there is no such section, UCI_ERR_INVAL for a malformed text.
int find_extended(uci_package *p, const char *text, uci_section **out)
{
	*out = nullptr;
	if (text[0] != '@')
		return UCI_ERR_INVAL;
	const char *open = strchr(text, '[');
	if (!open)
		return UCI_ERR_INVAL;
	const char *close = strchr(open, ']');
	if (!close || close[1])
		return UCI_ERR_INVAL;

	const char *type = text + 1;
	size_t type_len = (size_t)(open - type);
	for (size_t i = 0; i < type_len; i++) {
		unsigned char c = (unsigned char)type[i];
		if (c < 0x21 || c > 0x7e)
			return UCI_ERR_INVAL;
	}

	long index = 0;
	if (close != open + 1) {
		char *end = nullptr;
		index = strtol(open + 1, &end, 10);
		if (end != close)
			return UCI_ERR_INVAL;
	}

	auto matches = [&](uci_section *s) {
		return type_len == 0 || (strncmp(s->type, type, type_len) == 0 && s->type[type_len] == 0);
	};
	uci_element *e;
	if (index < 0) {
		long count = 0;
		uci_foreach_element (&p->sections, e) {
			if (matches(uci_to_section(e)))
				count++;
		}
		index += count;
		if (index < 0)
			return UCI_OK;
	}
	uci_foreach_element (&p->sections, e) {
		uci_section *s = uci_to_section(e);
		if (matches(s) && index-- == 0) {
			*out = s;
			break;
		}
	}
	return UCI_OK;
}

} // namespace

extern "C" {

int uci_parse_ptr(struct uci_context *ctx, struct uci_ptr *ptr, char *str)
{
	if (!ctx)
		return UCI_ERR_INVAL;
	ctx->err = 0;
	if (!ptr || !str)
		return set_err(ctx, UCI_ERR_INVAL);
	memset(ptr, 0, sizeof(*ptr));

	char *value = strchr(str, '=');
	if (value)
		*value++ = 0;
	char *section = strchr(str, '.');
	char *option = nullptr;
	if (section) {
		*section++ = 0;
		option = strchr(section, '.');
		if (option) {
			*option++ = 0;
			if (strchr(option, '.'))
				goto parse_error;
		}
	}
	if (!valid_package_name(str))
		goto parse_error;
	if (option && !valid_name(option))
		goto parse_error;
	if (value && !uci_validate_text(value))
		goto parse_error;

	ptr->package = str;
	ptr->section = section;
	ptr->option = option;
	ptr->value = value;
	ptr->target = option ? UCI_TYPE_OPTION : section ? UCI_TYPE_SECTION : UCI_TYPE_PACKAGE;
	if (section && !valid_name(section)) {
		if (section[0] != '@') {
			memset(ptr, 0, sizeof(*ptr));
			return set_err(ctx, UCI_ERR_INVAL);
		}
		add_flags(ptr, uci_ptr::UCI_LOOKUP_EXTENDED);
	}
	return UCI_OK;

parse_error:
	memset(ptr, 0, sizeof(*ptr));
	return set_err(ctx, UCI_ERR_PARSE);
}

int uci_lookup_ptr(struct uci_context *ctx, struct uci_ptr *ptr, char *str, bool extended)
{
	if (!ctx)
		return UCI_ERR_INVAL;
	ctx->err = 0;
	if (!ptr)
		return set_err(ctx, UCI_ERR_INVAL);
	if (str) {
		int rc = uci_parse_ptr(ctx, ptr, str);
		if (rc != UCI_OK)
			return rc;
	}
	if (!ptr->package)
		return set_err(ctx, UCI_ERR_INVAL);

	uci_package *p = nullptr;
	uci_element *e;
	uci_foreach_element (&ctx->root, e) {
		if (strcmp(e->name, ptr->package) == 0) {
			p = uci_to_package(e);
			break;
		}
	}
	if (!p) {
		int rc = uci_load(ctx, ptr->package, &p);
		if (rc != UCI_OK) {
			ptr->p = nullptr;
			add_flags(ptr, uci_ptr::UCI_LOOKUP_DONE);
			return set_err(ctx, rc);
		}
	}
	ptr->p = p;
	ptr->s = nullptr;
	ptr->o = nullptr;
	ptr->last = &p->e;

	uci_section *s = nullptr;
	if (ptr->flags & uci_ptr::UCI_LOOKUP_EXTENDED) {
		if (!extended) {
			add_flags(ptr, uci_ptr::UCI_LOOKUP_DONE);
			return set_err(ctx, UCI_ERR_INVAL);
		}
		if (find_extended(p, ptr->section, &s) != UCI_OK) {
			memset(ptr, 0, sizeof(*ptr));
			return set_err(ctx, UCI_ERR_INVAL);
		}
		if (s)
			ptr->section = s->e.name;
	} else if (ptr->section) {
		s = section_find(p, ptr->section);
	}

	bool complete = ptr->target == UCI_TYPE_PACKAGE;
	if (s) {
		ptr->s = s;
		ptr->last = &s->e;
		complete = ptr->target == UCI_TYPE_SECTION;
		if (ptr->option) {
			uci_option *o = option_find(s, ptr->option);
			if (o) {
				ptr->o = o;
				ptr->last = &o->e;
				complete = true;
			}
		}
	}
	add_flags(ptr, uci_ptr::UCI_LOOKUP_DONE | (complete ? uci_ptr::UCI_LOOKUP_COMPLETE : 0));
	return UCI_OK;
}

} // extern "C"
