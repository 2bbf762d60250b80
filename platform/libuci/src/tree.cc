// SPDX-License-Identifier: ISC
// The element tree: packages, sections, options and list items.
#include "internal.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace uci_impl {

static bool name_char(unsigned char c)
{
	return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

bool valid_name(const char *s)
{
	if (!s || !*s)
		return false;
	for (; *s; s++) {
		if (!name_char((unsigned char)*s))
			return false;
	}
	return true;
}

static bool printable_word(const char *s)
{
	if (!s || !*s)
		return false;
	for (; *s; s++) {
		unsigned char c = (unsigned char)*s;
		if (c < 0x21 || c > 0x7e)
			return false;
	}
	return true;
}

bool valid_type(const char *s)
{
	return printable_word(s);
}
bool valid_package_name(const char *s)
{
	return printable_word(s);
}

bool valid_package_keyword(const char *s)
{
	if (!s || !*s)
		return false;
	for (; *s; s++) {
		if (*s != '-' && !name_char((unsigned char)*s))
			return false;
	}
	return true;
}

char *dup_text_n(const char *s, size_t n)
{
	char *d = (char *)malloc(n + 1);
	if (!d)
		return nullptr;
	memcpy(d, s, n);
	d[n] = 0;
	return d;
}

char *dup_text(const char *s)
{
	return dup_text_n(s, strlen(s));
}

uci_package *package_new(uci_context *ctx, const char *name)
{
	uci_package *p = (uci_package *)calloc(1, sizeof(*p));
	if (!p)
		return nullptr;
	p->e.name = dup_text(name);
	if (!p->e.name) {
		free(p);
		return nullptr;
	}
	list_init(&p->e.list);
	p->e.type = UCI_TYPE_PACKAGE;
	list_init(&p->sections);
	list_init(&p->delta);
	list_init(&p->saved_delta);
	p->ctx = ctx;
	p->backend = ctx->backend;
	return p;
}

void package_free(uci_package *p)
{
	if (!p)
		return;
	uci_element *e, *tmp;
	uci_foreach_element_safe (&p->sections, tmp, e)
		section_free(uci_to_section(e));
	list_del(&p->e.list);
	free(p->path);
	free(p->e.name);
	free(p);
}

// Names of anonymous sections: "cfg", the running section count and a hash
// of the type, so that they stay stable across loads of the same file.
static void anonymous_name(char *out, size_t size, int count, const char *type)
{
	uint32_t h = 5381;
	for (const unsigned char *c = (const unsigned char *)type; *c; c++)
		h = h * 33 + *c;
	h &= 0x7fffffff;
	snprintf(out, size, "cfg%02x%04x", (unsigned)count, (unsigned)(h % 65536));
}

uci_section *section_add(uci_package *p, const char *type, const char *name)
{
	uci_section *s = (uci_section *)calloc(1, sizeof(*s));
	if (!s)
		return nullptr;
	char generated[32];
	int count = p->n_section + 1;
	if (!name) {
		anonymous_name(generated, sizeof(generated), count, type);
		name = generated;
		s->anonymous = true;
	}
	s->e.name = dup_text(name);
	s->type = dup_text(type);
	if (!s->e.name || !s->type) {
		free(s->e.name);
		free(s->type);
		free(s);
		return nullptr;
	}
	s->e.type = UCI_TYPE_SECTION;
	list_init(&s->options);
	s->package = p;
	p->n_section = count;
	list_add_tail(&p->sections, &s->e.list);
	return s;
}

void section_free(uci_section *s)
{
	uci_element *e, *tmp;
	uci_foreach_element_safe (&s->options, tmp, e)
		option_free(uci_to_option(e));
	list_del(&s->e.list);
	free(s->e.name);
	free(s->type);
	free(s);
}

bool section_set_type(uci_section *s, const char *type)
{
	if (strcmp(s->type, type) == 0)
		return true;
	char *t = dup_text(type);
	if (!t)
		return false;
	free(s->type);
	s->type = t;
	return true;
}

uci_section *section_find(uci_package *p, const char *name)
{
	uci_element *e;
	uci_foreach_element (&p->sections, e) {
		if (strcmp(e->name, name) == 0)
			return uci_to_section(e);
	}
	return nullptr;
}

uci_option *option_find(uci_section *s, const char *name)
{
	uci_element *e;
	uci_foreach_element (&s->options, e) {
		if (strcmp(e->name, name) == 0)
			return uci_to_option(e);
	}
	return nullptr;
}

void option_free_items(uci_option *o)
{
	uci_element *e, *tmp;
	uci_foreach_element_safe (&o->v.list, tmp, e) {
		list_del(&e->list);
		free(e->name);
		free(e);
	}
	list_init(&o->v.list);
}

void option_free(uci_option *o)
{
	if (o->type == UCI_TYPE_LIST)
		option_free_items(o);
	else
		free(o->v.string);
	list_del(&o->e.list);
	free(o->e.name);
	free(o);
}

static uci_option *option_new(uci_section *s, const char *name)
{
	uci_option *o = (uci_option *)calloc(1, sizeof(*o));
	if (!o)
		return nullptr;
	o->e.name = dup_text(name);
	if (!o->e.name) {
		free(o);
		return nullptr;
	}
	o->e.type = UCI_TYPE_OPTION;
	o->section = s;
	return o;
}

int option_set(uci_section *s, uci_option *o, const char *name, const char *value, uci_option **out)
{
	char *v = dup_text(value);
	if (!v)
		return UCI_ERR_MEM;
	if (!o) {
		o = option_new(s, name);
		if (!o) {
			free(v);
			return UCI_ERR_MEM;
		}
		list_add_tail(&s->options, &o->e.list);
	} else if (o->type == UCI_TYPE_LIST) {
		option_free_items(o);
	} else {
		free(o->v.string);
	}
	o->type = UCI_TYPE_STRING;
	o->v.string = v;
	if (out)
		*out = o;
	return UCI_OK;
}

static uci_element *item_new(const char *value)
{
	uci_element *e = (uci_element *)calloc(1, sizeof(*e));
	if (!e)
		return nullptr;
	e->name = dup_text(value);
	if (!e->name) {
		free(e);
		return nullptr;
	}
	e->type = UCI_TYPE_ITEM;
	return e;
}

int option_add_item(uci_section *s, uci_option *o, const char *name, const char *value, uci_option **out)
{
	uci_element *item = item_new(value);
	if (!item)
		return UCI_ERR_MEM;
	if (!o) {
		o = option_new(s, name);
		if (!o) {
			free(item->name);
			free(item);
			return UCI_ERR_MEM;
		}
		o->type = UCI_TYPE_LIST;
		list_init(&o->v.list);
		list_add_tail(&s->options, &o->e.list);
	} else if (o->type == UCI_TYPE_STRING) {
		uci_element *old = (uci_element *)calloc(1, sizeof(*old));
		if (!old) {
			free(item->name);
			free(item);
			return UCI_ERR_MEM;
		}
		old->type = UCI_TYPE_ITEM;
		old->name = o->v.string;
		o->type = UCI_TYPE_LIST;
		list_init(&o->v.list);
		list_add_tail(&o->v.list, &old->list);
	}
	list_add_tail(&o->v.list, &item->list);
	if (out)
		*out = o;
	return UCI_OK;
}

} // namespace uci_impl
