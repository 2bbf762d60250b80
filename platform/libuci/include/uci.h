// SPDX-License-Identifier: ISC
/*
 * libuci: reading the router's configuration packages.
 *
 * A context owns every package loaded into it; a package owns its sections,
 * a section its options, an option its list items. Every name, type, value
 * and path handed out belongs to the library and stays valid until the
 * package is unloaded or the context is freed.
 */
#ifndef __LIBUCI_H
#define __LIBUCI_H

#include "uci_config.h"

#include <stdbool.h>
#include <setjmp.h>
#include <stdio.h>
#include <stdint.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define UCI_CONFDIR "/etc/config"
#define UCI_SAVEDIR "/tmp/.uci"
#define UCI_CONF2DIR "/var/run/uci"
#define UCI_DIRMODE 0700
#define UCI_FILEMODE 0600

enum {
	UCI_OK = 0,
	UCI_ERR_MEM,
	UCI_ERR_INVAL,
	UCI_ERR_NOTFOUND,
	UCI_ERR_IO,
	UCI_ERR_PARSE,
	UCI_ERR_DUPLICATE,
	UCI_ERR_UNKNOWN,
	UCI_ERR_LAST
};

struct uci_list;
struct uci_list {
	struct uci_list *next;
	struct uci_list *prev;
};

struct uci_ptr;
struct uci_element;
struct uci_package;
struct uci_section;
struct uci_option;
struct uci_delta;
struct uci_context;
struct uci_backend;
struct uci_parse_option;
struct uci_parse_context;

/* Allocates a context with the default directories; NULL when out of memory. */
extern struct uci_context *uci_alloc_context(void);

/* Frees the context and every package loaded into it. */
extern void uci_free_context(struct uci_context *ctx);

/* Prints the last error of ctx to stderr, prefixed by str. */
extern void uci_perror(struct uci_context *ctx, const char *str);

/* Stores the last error text in a new heap string (*dest) that the caller frees. */
extern void uci_get_errorstr(struct uci_context *ctx, char **dest, const char *str);

/*
 * Loads the package `name` (a file of the config directory, or a path when it
 * starts with '/' or "./") into ctx and applies its saved changes. A parse
 * error fails the whole load and *package is left as it was.
 */
extern int uci_load(struct uci_context *ctx, const char *name, struct uci_package **package);

/* Removes p from ctx and frees it with everything it holds. */
extern int uci_unload(struct uci_context *ctx, struct uci_package *p);

/*
 * Splits str ("package[.section[.option]][=value]", written into in place)
 * and finds the elements it names, loading the package if needed. A missing
 * section or option is not an error: check UCI_LOOKUP_COMPLETE in ptr->flags.
 * With `extended`, the section may be written "@type[index]".
 */
extern int uci_lookup_ptr(struct uci_context *ctx, struct uci_ptr *ptr, char *str, bool extended);

/* Directory that plain package names are read from (a copy is kept). */
extern int uci_set_confdir(struct uci_context *ctx, const char *dir);

/* Directory of saved changes; it is also appended to the list applied at load. */
extern int uci_set_savedir(struct uci_context *ctx, const char *dir);

/* Directory whose files override those of the config directory. */
extern int uci_set_conf2dir(struct uci_context *ctx, const char *dir);

/* Appends dir to the directories whose change files are applied at load. */
extern int uci_add_delta_path(struct uci_context *ctx, const char *dir);

/* Splits str into ptr without any lookup. */
extern int uci_parse_ptr(struct uci_context *ctx, struct uci_ptr *ptr, char *str);

/* Finds the first element named `name` in list. */
extern int uci_lookup_next(struct uci_context *ctx, struct uci_element **e, struct uci_list *list,
			   const char *name);

/* True when str holds no control byte other than TAB, LF and CR. */
extern bool uci_validate_text(const char *str);

enum uci_type {
	UCI_TYPE_UNSPEC = 0,
	UCI_TYPE_DELTA = 1,
	UCI_TYPE_PACKAGE = 2,
	UCI_TYPE_SECTION = 3,
	UCI_TYPE_OPTION = 4,
	UCI_TYPE_PATH = 5,
	UCI_TYPE_BACKEND = 6,
	UCI_TYPE_ITEM = 7,
	UCI_TYPE_HOOK = 8,
};

enum uci_option_type {
	UCI_TYPE_STRING = 0,
	UCI_TYPE_LIST = 1,
};

enum uci_flags {
	UCI_FLAG_STRICT = (1 << 0),      /* a parse error aborts the load */
	UCI_FLAG_PERROR = (1 << 1),      /* print parse errors to stderr */
	UCI_FLAG_EXPORT_NAME = (1 << 2), /* export names of anonymous sections */
	UCI_FLAG_SAVED_DELTA = (1 << 3), /* keep the change lines read at load */
};

struct uci_element {
	struct uci_list list;
	enum uci_type type;
	char *name;
};

struct uci_backend {
	struct uci_element e;
	char **(*list_configs)(struct uci_context *ctx);
	struct uci_package *(*load)(struct uci_context *ctx, const char *name);
	void (*commit)(struct uci_context *ctx, struct uci_package **p, bool overwrite);

	/* private */
	const void *ptr;
	void *priv;
};

struct uci_context {
	/* list of config packages */
	struct uci_list root;

	/* parser context, kept after a parse error for its position */
	struct uci_parse_context *pctx;

	/* backend for import and export */
	struct uci_backend *backend;
	struct uci_list backends;

	/* uci runtime flags */
	enum uci_flags flags;

	char *confdir;
	char *savedir;
	char *conf2dir;

	/* search path for change files */
	struct uci_list delta_path;

	/* private */
	int err;
	const char *func;
	jmp_buf trap;
	bool internal, nested;
	char *buf;
	int bufsz;
};

struct uci_package {
	struct uci_element e;
	struct uci_list sections;
	struct uci_context *ctx;
	bool has_delta;
	bool uses_conf2;
	char *path;

	/* private */
	struct uci_backend *backend;
	void *priv;
	int n_section;
	struct uci_list delta;
	struct uci_list saved_delta;
};

struct uci_section {
	struct uci_element e;
	struct uci_list options;
	struct uci_package *package;
	bool anonymous;
	char *type;
};

struct uci_option {
	struct uci_element e;
	struct uci_section *section;
	enum uci_option_type type;
	union {
		struct uci_list list;
		char *string;
	} v;
};

enum uci_command {
	UCI_CMD_ADD,
	UCI_CMD_REMOVE,
	UCI_CMD_CHANGE,
	UCI_CMD_RENAME,
	UCI_CMD_REORDER,
	UCI_CMD_LIST_ADD,
	UCI_CMD_LIST_DEL,
	__UCI_CMD_MAX,
	__UCI_CMD_LAST = __UCI_CMD_MAX - 1
};
extern char const uci_command_char[];

struct uci_delta {
	struct uci_element e;
	enum uci_command cmd;
	char *section;
	char *value;
};

struct uci_ptr {
	enum uci_type target;
	enum {
		UCI_LOOKUP_DONE = (1 << 0),
		UCI_LOOKUP_COMPLETE = (1 << 1),
		UCI_LOOKUP_EXTENDED = (1 << 2),
	} flags;

	struct uci_package *p;
	struct uci_section *s;
	struct uci_option *o;
	struct uci_element *last;

	const char *package;
	const char *section;
	const char *option;
	const char *value;
};

struct uci_parse_option {
	const char *name;
	enum uci_option_type type;
};

/* Lower-case aliases of the element types. */
#define uci_type_backend UCI_TYPE_BACKEND
#define uci_type_delta UCI_TYPE_DELTA
#define uci_type_package UCI_TYPE_PACKAGE
#define uci_type_section UCI_TYPE_SECTION
#define uci_type_option UCI_TYPE_OPTION

#define BITS_PER_LONG (8 * sizeof(unsigned long))

static inline void uci_bitfield_set(unsigned long *bits, int bit)
{
	bits[bit / BITS_PER_LONG] |= (1UL << (bit % BITS_PER_LONG));
}

#ifndef container_of
#define container_of(ptr, type, member) ((type *)((char *)(ptr)-offsetof(type, member)))
#endif

/* The element that holds a list link. */
#define list_to_element(ptr) container_of(ptr, struct uci_element, list)

/* Visits every element of a list in order; the body must not free _ptr. */
#define uci_foreach_element(_list, _ptr)                                                                     \
	for (_ptr = list_to_element((_list)->next); &_ptr->list != (_list);                                  \
	     _ptr = list_to_element(_ptr->list.next))

/* As uci_foreach_element, but the body may free _ptr. */
#define uci_foreach_element_safe(_list, _tmp, _ptr)                                                          \
	for (_ptr = list_to_element((_list)->next), _tmp = list_to_element(_ptr->list.next);                 \
	     &_ptr->list != (_list); _ptr = _tmp, _tmp = list_to_element(_ptr->list.next))

#define uci_list_empty(list) ((list)->next == (list))

/* Address just past *ptr: strings stored in the same allocation. */
#define uci_dataptr(ptr) (((char *)ptr) + sizeof(*ptr))

#define uci_to_backend(ptr) container_of(ptr, struct uci_backend, e)
#define uci_to_delta(ptr) container_of(ptr, struct uci_delta, e)
#define uci_to_package(ptr) container_of(ptr, struct uci_package, e)
#define uci_to_section(ptr) container_of(ptr, struct uci_section, e)
#define uci_to_option(ptr) container_of(ptr, struct uci_option, e)

static inline struct uci_package *uci_lookup_package(struct uci_context *ctx, const char *name)
{
	struct uci_element *e = NULL;
	if (uci_lookup_next(ctx, &e, &ctx->root, name) == 0)
		return uci_to_package(e);
	return NULL;
}

static inline struct uci_section *uci_lookup_section(struct uci_context *ctx, struct uci_package *p,
						     const char *name)
{
	struct uci_element *e = NULL;
	if (uci_lookup_next(ctx, &e, &p->sections, name) == 0)
		return uci_to_section(e);
	return NULL;
}

static inline struct uci_option *uci_lookup_option(struct uci_context *ctx, struct uci_section *s,
						   const char *name)
{
	struct uci_element *e = NULL;
	if (uci_lookup_next(ctx, &e, &s->options, name) == 0)
		return uci_to_option(e);
	return NULL;
}

static inline const char *uci_lookup_option_string(struct uci_context *ctx, struct uci_section *s,
						   const char *name)
{
	struct uci_option *o;

	o = uci_lookup_option(ctx, s, name);
	if (!o || o->type != UCI_TYPE_STRING)
		return NULL;
	return o->v.string;
}

#ifdef __cplusplus
}
#endif

#endif
