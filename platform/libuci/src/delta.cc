// SPDX-License-Identifier: ISC
// Saved changes: files of "[prefix]package.section[.option][=value]" lines
// applied on top of a package when it is loaded.
#include "internal.h"

#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

namespace uci_impl {

namespace {

uci_command command_of(char c)
{
	switch (c) {
	case '+':
		return UCI_CMD_ADD;
	case '-':
		return UCI_CMD_REMOVE;
	case '@':
		return UCI_CMD_RENAME;
	case '^':
		return UCI_CMD_REORDER;
	case '|':
		return UCI_CMD_LIST_ADD;
	case '~':
		return UCI_CMD_LIST_DEL;
	default:
		return UCI_CMD_CHANGE;
	}
}

// Decimal number as strtol reads it, with nothing left over.
bool parse_index(const char *s, long *out)
{
	if (!*s)
		return false;
	char *end = nullptr;
	long v = strtol(s, &end, 10);
	if (end == s || *end)
		return false;
	*out = v;
	return true;
}

bool change(uci_package *p, uci_section *s, uci_option *o, bool add, const char *sec, const char *opt,
	    const char *value)
{
	if (!opt) {
		if (!*value) {
			if (s)
				section_free(s);
			return s != nullptr;
		}
		if (!valid_type(value))
			return false;
		if (s)
			return section_set_type(s, value);
		s = section_add(p, value, sec);
		if (!s)
			return false;
		s->anonymous = add;
		return true;
	}
	if (!s)
		return false;
	if (!*value) {
		if (o)
			option_free(o);
		return o != nullptr;
	}
	return option_set(s, o, opt, value) == UCI_OK;
}

bool delta_remove(uci_section *s, uci_option *o, const char *opt, const char *value)
{
	if (!s)
		return false;
	if (!opt) {
		section_free(s);
		return true;
	}
	if (!o)
		return false;
	if (value && o->type == UCI_TYPE_LIST) {
		long index;
		if (!parse_index(value, &index))
			return false;
		long i = 0;
		uci_element *e;
		uci_foreach_element (&o->v.list, e) {
			if (i++ == index) {
				list_del(&e->list);
				free(e->name);
				free(e);
				break;
			}
		}
		return true;
	}
	option_free(o);
	return true;
}

bool delta_rename(uci_section *s, uci_option *o, const char *opt, const char *value)
{
	if (!s || !valid_name(value))
		return false;
	uci_element *e;
	if (opt) {
		if (!o)
			return false;
		e = &o->e;
	} else {
		e = &s->e;
	}
	char *name = dup_text(value);
	if (!name)
		return false;
	free(e->name);
	e->name = name;
	if (!opt)
		s->anonymous = false;
	return true;
}

bool reorder(uci_package *p, uci_section *s, const char *value)
{
	long pos;
	if (!s || !parse_index(value, &pos))
		return false;
	list_del(&s->e.list);
	uci_list *at = &p->sections;
	for (uci_list *l = p->sections.next; l != &p->sections && pos > 0; l = l->next, pos--)
		at = l;
	// Insert after `at` (the head itself for position 0 or below).
	s->e.list.prev = at;
	s->e.list.next = at->next;
	at->next->prev = &s->e.list;
	at->next = &s->e.list;
	return true;
}

bool list_del_value(uci_option *o, const char *value)
{
	if (!o || o->type != UCI_TYPE_LIST)
		return true;
	uci_element *e, *tmp;
	uci_foreach_element_safe (&o->v.list, tmp, e) {
		if (strcmp(e->name, value) == 0) {
			list_del(&e->list);
			free(e->name);
			free(e);
		}
	}
	return true;
}

} // namespace

bool apply_delta_line(uci_package *p, char *line)
{
	uci_command cmd = command_of(*line);
	if (cmd != UCI_CMD_CHANGE)
		line++;

	char *value = strchr(line, '=');
	if (value)
		*value++ = 0;

	char *pkg = line;
	char *sec = strchr(pkg, '.');
	if (!sec)
		return false;
	*sec++ = 0;
	char *opt = strchr(sec, '.');
	if (opt) {
		*opt++ = 0;
		if (strchr(opt, '.'))
			return false;
	}
	if (strcmp(pkg, p->e.name) != 0 || !valid_name(sec))
		return false;
	if (opt && !valid_name(opt))
		return false;
	if (value && !uci_validate_text(value))
		return false;
	if (!value && cmd != UCI_CMD_REMOVE)
		return false;

	uci_section *s = section_find(p, sec);
	uci_option *o = s && opt ? option_find(s, opt) : nullptr;

	switch (cmd) {
	case UCI_CMD_ADD:
	case UCI_CMD_CHANGE:
		return change(p, s, o, cmd == UCI_CMD_ADD, sec, opt, value);
	case UCI_CMD_REMOVE:
		return delta_remove(s, o, opt, value);
	case UCI_CMD_RENAME:
		return delta_rename(s, o, opt, value);
	case UCI_CMD_REORDER:
		return !opt && reorder(p, s, value);
	case UCI_CMD_LIST_ADD:
		return opt && s && option_add_item(s, o, opt, value) == UCI_OK;
	case UCI_CMD_LIST_DEL:
		return opt && s && list_del_value(o, value);
	default:
		return false;
	}
}

static int apply_file(uci_package *p, const char *path)
{
	int fd = open(path, O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return UCI_OK;
	file_data file;
	int rc = UCI_ERR_IO;
	if (flock(fd, LOCK_SH) == 0)
		rc = read_fd(fd, &file);
	close(fd);
	if (rc == UCI_ERR_MEM)
		return rc;
	if (rc != UCI_OK)
		return UCI_OK;

	line_reader rd(file.data, file.len);
	while (rd.next_line()) {
		tokenizer t(rd);
		if (t.peek() != tokenizer::WORD)
			continue;
		word w;
		word_end e = t.read_word(&w);
		if (e == word_end::NOMEM)
			return UCI_ERR_MEM;
		// One word per line; only the line break may follow it.
		if (e != word_end::SPACE)
			continue;
		if (t.term != 0 && !(t.term == '\n' && t.pos >= rd.blen))
			continue;
		apply_delta_line(p, t.text(w));
	}
	return rd.oom ? UCI_ERR_MEM : UCI_OK;
}

static int apply_dir(uci_package *p, const char *dir)
{
	size_t n = strlen(dir) + 1 + strlen(p->e.name) + 1;
	char *path = (char *)malloc(n);
	if (!path)
		return UCI_ERR_MEM;
	snprintf(path, n, "%s/%s", dir, p->e.name);
	int rc = apply_file(p, path);
	free(path);
	return rc;
}

// The change directories apply in the order they were added, except the save
// directory: its changes come last, so they win.
int apply_deltas(uci_context *ctx, uci_package *p)
{
	uci_element *e;
	bool saved = false;
	uci_foreach_element (&ctx->delta_path, e) {
		if (ctx->savedir && strcmp(e->name, ctx->savedir) == 0) {
			saved = true;
			continue;
		}
		int rc = apply_dir(p, e->name);
		if (rc != UCI_OK)
			return rc;
	}
	return saved ? apply_dir(p, ctx->savedir) : UCI_OK;
}

} // namespace uci_impl
