// SPDX-License-Identifier: ISC
// Config file parser: lines of "package", "config", "option" and "list".
#include "internal.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace uci_impl {

namespace {

// Finds sections by name and options by (section, name) while a file is
// parsed, so that large files do not cost quadratic time. Holds the first
// element of each name, matching the first-match rule of lookups.
class name_index {
public:
	~name_index() { free(slots_); }

	uci_element *find(const void *parent, const char *name) const
	{
		if (!cap_)
			return nullptr;
		size_t mask = cap_ - 1;
		for (size_t i = hash(parent, name) & mask;; i = (i + 1) & mask) {
			const slot &s = slots_[i];
			if (!s.e)
				return nullptr;
			if (s.parent == parent && strcmp(s.e->name, name) == 0)
				return s.e;
		}
	}

	// Adds e unless its name is already held. False when out of memory.
	bool insert(const void *parent, uci_element *e)
	{
		if ((used_ + 1) * 2 > cap_ && !grow())
			return false;
		size_t mask = cap_ - 1;
		for (size_t i = hash(parent, e->name) & mask;; i = (i + 1) & mask) {
			slot &s = slots_[i];
			if (!s.e) {
				s.parent = parent;
				s.e = e;
				used_++;
				return true;
			}
			if (s.parent == parent && strcmp(s.e->name, e->name) == 0)
				return true;
		}
	}

private:
	struct slot {
		const void *parent;
		uci_element *e;
	};

	static size_t hash(const void *parent, const char *name)
	{
		uint64_t h = 1469598103934665603ull ^ (uint64_t)(uintptr_t)parent;
		for (const unsigned char *c = (const unsigned char *)name; *c; c++)
			h = (h ^ *c) * 1099511628211ull;
		return (size_t)(h ^ (h >> 29));
	}

	bool grow()
	{
		size_t ncap = cap_ ? cap_ * 2 : 64;
		slot *ns = (slot *)calloc(ncap, sizeof(slot));
		if (!ns)
			return false;
		slot *old = slots_;
		size_t ocap = cap_;
		slots_ = ns;
		cap_ = ncap;
		used_ = 0;
		for (size_t i = 0; i < ocap; i++) {
			if (old[i].e)
				insert(old[i].parent, old[i].e);
		}
		free(old);
		return true;
	}

	slot *slots_ = nullptr;
	size_t cap_ = 0;
	size_t used_ = 0;
};

enum class step { OK, ERROR, NOMEM };

struct parser {
	uci_context *ctx;
	uci_package *p;
	line_reader rd;
	uci_section *section = nullptr;
	name_index index;
	const char *reason = nullptr;
	int byte = 0;

	parser(uci_context *c, uci_package *pkg, const char *data, size_t len) : ctx(c), p(pkg), rd(data, len)
	{}

	bool strict() const { return ctx->flags & UCI_FLAG_STRICT; }

	step fail(const char *why, size_t at)
	{
		reason = why;
		byte = (int)at;
		return step::ERROR;
	}

	step line(tokenizer &t);
	step argument(tokenizer &t, word *w);
	step command(tokenizer &t, size_t kw_start, size_t kw_len);
	step do_config(const char *type, const char *name, size_t at);
	step do_option(bool list, const char *name, const char *value);
};

enum class keyword { NONE, PACKAGE, CONFIG, OPTION, LIST };

keyword match_keyword(const char *s, size_t n)
{
	struct kw {
		const char *name;
		keyword k;
	};
	static const kw table[] = {
		{"package", keyword::PACKAGE}, {"p", keyword::PACKAGE},     {"config", keyword::CONFIG},
		{"c", keyword::CONFIG},        {"option", keyword::OPTION}, {"o", keyword::OPTION},
		{"list", keyword::LIST},       {"l", keyword::LIST},
	};
	for (const kw &k : table) {
		if (strlen(k.name) == n && memcmp(k.name, s, n) == 0)
			return k.k;
	}
	return keyword::NONE;
}

step parser::line(tokenizer &t)
{
	for (;;) {
		if (t.peek() == tokenizer::END)
			return step::OK;
		// The keyword ends at a space or TAB only: "config\n" is not "config".
		size_t kw = t.pos;
		while (t.pos < rd.blen && rd.buf[t.pos] != ' ' && rd.buf[t.pos] != '\t')
			t.pos++;
		step r = command(t, kw, t.pos - kw);
		if (r != step::OK)
			return r;
		// Whatever the command left on the line is the next command.
	}
}

// Reads one argument into w; at a ';' the argument is empty and the ';' is
// used up, at the end of the line it is empty.
step parser::argument(tokenizer &t, word *w)
{
	*w = word{};
	switch (t.peek()) {
	case tokenizer::END:
		w->start = t.pos;
		return step::OK;
	case tokenizer::SEMI:
		w->start = t.pos;
		rd.buf[t.pos++] = 0;
		return step::OK;
	case tokenizer::WORD:
		break;
	}
	switch (t.read_word(w)) {
	case word_end::NOMEM:
		return step::NOMEM;
	case word_end::ERR_SQUOTE:
		return fail("EOF with unterminated '", t.pos);
	case word_end::ERR_DQUOTE:
		return fail("EOF with unterminated \"", t.pos);
	default:
		return step::OK;
	}
}

step parser::command(tokenizer &t, size_t kw_start, size_t kw_len)
{
	keyword k = match_keyword(rd.buf + kw_start, kw_len);
	if (k == keyword::NONE)
		return fail("invalid command", kw_start);
	// A keyword that ends the file, with not even a separator after it.
	if (kw_start + kw_len == rd.blen) {
		static const char *const bare[] = {nullptr, "package without name", "config without name",
						   "option without name", "option without name"};
		return fail(bare[int(k)], kw_start);
	}

	// Each argument is checked as soon as it is read, so an error points
	// just past the argument at fault. Words stay in place in the line
	// buffer; later reads only append to it.
	word a, b;
	step r = argument(t, &a);
	if (r != step::OK)
		return r;
	const char *first = a.len ? t.text(a) : nullptr;
	const char *second = nullptr;
	switch (k) {
	case keyword::PACKAGE:
		// The package takes its name from the file; the line is only checked.
		if (!first)
			return fail("insufficient arguments", t.pos);
		if (!valid_package_keyword(first))
			return fail("invalid character in name field", t.pos);
		break;
	case keyword::CONFIG:
		if (!first)
			return fail("insufficient arguments", t.pos);
		if (!valid_type(first))
			return fail("invalid character in type field", t.pos);
		break;
	case keyword::OPTION:
	case keyword::LIST:
		if (!section)
			return fail("option/list command found before the first section", kw_start);
		if (!first)
			return fail("insufficient arguments", t.pos);
		if (!valid_name(first))
			return fail("invalid character in name field", t.pos);
		break;
	case keyword::NONE:
		break;
	}
	if (k != keyword::PACKAGE) {
		if ((r = argument(t, &b)) != step::OK)
			return r;
		second = b.len ? t.text(b) : nullptr;
		if (k == keyword::CONFIG && second && !valid_name(second))
			return fail("invalid character in name field", t.pos);
	}

	// One more argument may follow if it is empty ('' or a ';'); the line
	// then goes on with the next command.
	word extra;
	if ((r = argument(t, &extra)) != step::OK)
		return r;
	if (extra.len) {
		if (strict())
			return fail("too many arguments", t.pos);
		t.pos = rd.blen;
	}

	switch (k) {
	case keyword::CONFIG:
		return do_config(first, second, t.pos);
	case keyword::OPTION:
		return do_option(false, first, second);
	case keyword::LIST:
		return do_option(true, first, second);
	default:
		return step::OK;
	}
}

step parser::do_config(const char *type, const char *name, size_t at)
{
	if (name) {
		uci_element *e = index.find(p, name);
		if (e) {
			uci_section *s = uci_to_section(e);
			if (strcmp(s->type, type) != 0) {
				if (strict())
					return fail("section of different type overwrites prior section with "
						    "same name",
						    at);
				if (!section_set_type(s, type))
					return step::NOMEM;
			}
			section = s;
			return step::OK;
		}
	}
	uci_section *s = section_add(p, type, name);
	if (!s)
		return step::NOMEM;
	if (!index.insert(p, &s->e))
		return step::NOMEM;
	section = s;
	return step::OK;
}

step parser::do_option(bool list, const char *name, const char *value)
{
	// An empty option value sets nothing; an empty list value is an item.
	if (!list && !value)
		return step::OK;

	uci_option *o = nullptr;
	if (uci_element *e = index.find(section, name))
		o = uci_to_option(e);
	bool is_new = !o;
	int rc = list ? option_add_item(section, o, name, value ? value : "", &o)
		      : option_set(section, o, name, value, &o);
	if (rc != UCI_OK)
		return step::NOMEM;
	if (is_new && !index.insert(section, &o->e))
		return step::NOMEM;
	return step::OK;
}

} // namespace

void record_parse_error(uci_context *ctx, const char *reason, int line, int byte)
{
	if (!ctx->pctx)
		return;
	ctx->pctx->reason = reason;
	ctx->pctx->line = line;
	ctx->pctx->byte = byte;
	if (ctx->flags & UCI_FLAG_PERROR)
		fprintf(stderr, "uci: Parse error (%s) at line %d, byte %d\n", reason, line, byte);
}

int parse_config(uci_context *ctx, uci_package *p, const char *data, size_t len)
{
	parser ps(ctx, p, data, len);
	while (ps.rd.next_line()) {
		tokenizer t(ps.rd);
		step r = ps.line(t);
		if (r == step::NOMEM)
			return UCI_ERR_MEM;
		if (r == step::ERROR) {
			record_parse_error(ctx, ps.reason, ps.rd.line, ps.byte);
			if (ps.strict())
				return UCI_ERR_PARSE;
		}
	}
	if (ps.rd.oom)
		return UCI_ERR_MEM;
	return UCI_OK;
}

} // namespace uci_impl
