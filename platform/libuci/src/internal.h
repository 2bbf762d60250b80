// SPDX-License-Identifier: ISC
// Shared pieces of the library: list links, the element tree, name rules,
// the file reader and the line tokenizer.
#pragma once

// Everything the header declares is exported; the rest stays hidden.
#pragma GCC visibility push(default)
extern "C" {
#include "uci.h"
}
#pragma GCC visibility pop

#include <stddef.h>
#include <stdint.h>

namespace uci_impl {

// ---- list links ------------------------------------------------------------

inline void list_init(uci_list *head)
{
	head->next = head->prev = head;
}

inline void list_add_tail(uci_list *head, uci_list *item)
{
	item->prev = head->prev;
	item->next = head;
	head->prev->next = item;
	head->prev = item;
}

inline void list_del(uci_list *item)
{
	item->prev->next = item->next;
	item->next->prev = item->prev;
	list_init(item);
}

// ---- errors ----------------------------------------------------------------

inline int set_err(uci_context *ctx, int err)
{
	ctx->err = err;
	return err;
}

// ---- name rules ------------------------------------------------------------

bool valid_name(const char *s);            // [A-Za-z0-9_]+
bool valid_type(const char *s);            // 0x21..0x7E, non-empty
bool valid_package_keyword(const char *s); // [A-Za-z0-9_-]+
bool valid_package_name(const char *s);    // 0x21..0x7E, non-empty

// ---- tree ------------------------------------------------------------------

char *dup_text(const char *s);
char *dup_text_n(const char *s, size_t n);

uci_package *package_new(uci_context *ctx, const char *name);
void package_free(uci_package *p);

// Named section; the generated name is made for anonymous ones (name NULL).
uci_section *section_add(uci_package *p, const char *type, const char *name);
void section_free(uci_section *s);
bool section_set_type(uci_section *s, const char *type);
uci_section *section_find(uci_package *p, const char *name);

uci_option *option_find(uci_section *s, const char *name);
void option_free(uci_option *o);
// Sets a string value on `o` (an existing option named `name` in s, or NULL
// to append a new one). A list turns into a string in place. UCI_OK or
// UCI_ERR_MEM; *out (if given) receives the option.
int option_set(uci_section *s, uci_option *o, const char *name, const char *value,
	       uci_option **out = nullptr);
// Appends an item to `o` (or a new list when NULL); a string turns into a
// list with the old value first.
int option_add_item(uci_section *s, uci_option *o, const char *name, const char *value,
		    uci_option **out = nullptr);
void option_free_items(uci_option *o);

// ---- reading files ---------------------------------------------------------

// A whole file read into memory, NUL-terminated.
struct file_data {
	char *data = nullptr;
	size_t len = 0;
	~file_data();
};

// Reads fd to its end. UCI_OK, UCI_ERR_MEM or UCI_ERR_IO. There is no size
// limit of our own, as the router's library has none: a file is as large as
// memory allows, and one that does not fit fails with UCI_ERR_MEM.
int read_fd(int fd, file_data *out);

// Hands out the bytes of a file the way a line reader with C strings sees
// them: a line ends at LF or end of file, and a NUL byte cuts it short so
// that the following line is joined in its place.
struct line_reader {
	const char *data;
	size_t len;
	size_t pos = 0;
	int line = 0; // LF-terminated lines read so far

	char *buf = nullptr; // current logical line, NUL-terminated
	size_t blen = 0;
	size_t bcap = 0;
	bool oom = false;

	line_reader(const char *d, size_t n) : data(d), len(n) {}
	~line_reader();
	line_reader(const line_reader &) = delete;
	line_reader &operator=(const line_reader &) = delete;

	// Starts a new logical line. False at end of file.
	bool next_line();
	// Appends the next physical line to the current one. False at end of file.
	bool append_line();
};

// One word of a line, unquoted in place.
struct word {
	size_t start = 0;
	size_t len = 0;
};

enum class word_end {
	SPACE,      // whitespace or end of line: more words may follow
	COMMENT,    // '#': the rest of the line is ignored
	GLUED_SEMI, // ';' in a plain word: the rest of the line is ignored
	QUOTE_SEMI, // ';' in a word with quotes or escapes: pos stays on the ';'
	ERR_SQUOTE, // end of file inside '...'
	ERR_DQUOTE, // end of file inside "..."
	NOMEM,
};

// Tokenizer over a line_reader's logical line.
struct tokenizer {
	line_reader &rd;
	size_t pos = 0;
	char term = 0; // byte that ended the last word (0: end of line)

	explicit tokenizer(line_reader &r) : rd(r) {}

	enum next_kind { WORD, END, SEMI };
	// Skips whitespace and tells what comes next: a word, the end of the
	// line (or a '#' comment), or a ';' command separator at pos.
	next_kind peek();
	// Reads the word at pos (after at_word), unquoting it in place and
	// terminating it with NUL.
	word_end read_word(word *w);
	char *text(const word &w) { return rd.buf + w.start; }
};

} // namespace uci_impl

// Parser state kept in the context: where the last parse error happened.
struct uci_parse_context {
	const char *reason;
	int line;
	int byte;
};

namespace uci_impl {

// Parses a config file into p. UCI_OK, UCI_ERR_PARSE (position kept in
// ctx->pctx) or UCI_ERR_MEM. In non-strict mode bad lines are skipped.
int parse_config(uci_context *ctx, uci_package *p, const char *data, size_t len);

// Applies the change files of every directory in ctx->delta_path to p.
// Bad lines are skipped. UCI_OK or UCI_ERR_MEM.
int apply_deltas(uci_context *ctx, uci_package *p);

// Applies one change line ("[prefix]package.section[.option][=value]",
// modified in place). True when it was applied.
bool apply_delta_line(uci_package *p, char *line);

void record_parse_error(uci_context *ctx, const char *reason, int line, int byte);

} // namespace uci_impl
