// SPDX-License-Identifier: ISC
// Contexts, their directories, and error reporting.
#include "internal.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

using namespace uci_impl;

extern "C" {

// Indexed by enum uci_command.
char const uci_command_char[] = {'+', '-', 0, '@', '^', '|', '~'};

static const char *const error_texts[] = {
	"Success",   "Out of memory", "Invalid argument", "Entry not found",
	"I/O error", "Parse error",   "Duplicate entry",  "Unknown error",
};

static char default_confdir[] = UCI_CONFDIR;
static char default_savedir[] = UCI_SAVEDIR;
static char default_conf2dir[] = UCI_CONF2DIR;

static char file_backend_name[] = "file";

static bool is_default(const char *dir)
{
	return dir == default_confdir || dir == default_savedir || dir == default_conf2dir;
}

static void free_dir(char *dir)
{
	if (!is_default(dir))
		free(dir);
}

static void free_path_list(uci_list *head)
{
	uci_element *e, *tmp;
	uci_foreach_element_safe (head, tmp, e) {
		list_del(&e->list);
		free(e->name);
		free(e);
	}
}

// Appends dir to the change-file directories, or moves it to the end.
static int add_delta_path(uci_context *ctx, const char *dir)
{
	uci_element *e, *tmp;
	uci_foreach_element_safe (&ctx->delta_path, tmp, e) {
		if (strcmp(e->name, dir) == 0) {
			list_del(&e->list);
			list_add_tail(&ctx->delta_path, &e->list);
			return UCI_OK;
		}
	}
	e = (uci_element *)calloc(1, sizeof(*e));
	if (!e)
		return UCI_ERR_MEM;
	e->name = dup_text(dir);
	if (!e->name) {
		free(e);
		return UCI_ERR_MEM;
	}
	e->type = UCI_TYPE_PATH;
	list_add_tail(&ctx->delta_path, &e->list);
	return UCI_OK;
}

struct uci_context *uci_alloc_context(void)
{
	uci_context *ctx = (uci_context *)calloc(1, sizeof(*ctx));
	if (!ctx)
		return nullptr;
	list_init(&ctx->root);
	list_init(&ctx->backends);
	list_init(&ctx->delta_path);
	ctx->flags = (uci_flags)(UCI_FLAG_STRICT | UCI_FLAG_SAVED_DELTA);
	ctx->confdir = default_confdir;
	ctx->savedir = default_savedir;
	ctx->conf2dir = default_conf2dir;

	ctx->pctx = (uci_parse_context *)calloc(1, sizeof(*ctx->pctx));
	ctx->backend = (uci_backend *)calloc(1, sizeof(*ctx->backend));
	if (!ctx->pctx || !ctx->backend || add_delta_path(ctx, UCI_SAVEDIR) != UCI_OK) {
		uci_free_context(ctx);
		return nullptr;
	}
	ctx->backend->e.type = UCI_TYPE_BACKEND;
	ctx->backend->e.name = file_backend_name;
	list_add_tail(&ctx->backends, &ctx->backend->e.list);
	return ctx;
}

void uci_free_context(struct uci_context *ctx)
{
	if (!ctx)
		return;
	uci_element *e, *tmp;
	uci_foreach_element_safe (&ctx->root, tmp, e)
		package_free(uci_to_package(e));
	free_path_list(&ctx->delta_path);
	free_dir(ctx->confdir);
	free_dir(ctx->savedir);
	free_dir(ctx->conf2dir);
	free(ctx->backend);
	free(ctx->pctx);
	free(ctx->buf);
	free(ctx);
}

static int replace_dir(uci_context *ctx, char **slot, const char *dir)
{
	if (!dir)
		return set_err(ctx, UCI_ERR_INVAL);
	char *copy = dup_text(dir);
	if (!copy)
		return set_err(ctx, UCI_ERR_MEM);
	free_dir(*slot);
	*slot = copy;
	return UCI_OK;
}

int uci_set_confdir(struct uci_context *ctx, const char *dir)
{
	if (!ctx)
		return UCI_ERR_INVAL;
	ctx->err = 0;
	return replace_dir(ctx, &ctx->confdir, dir);
}

int uci_set_conf2dir(struct uci_context *ctx, const char *dir)
{
	if (!ctx)
		return UCI_ERR_INVAL;
	ctx->err = 0;
	return replace_dir(ctx, &ctx->conf2dir, dir);
}

int uci_set_savedir(struct uci_context *ctx, const char *dir)
{
	if (!ctx)
		return UCI_ERR_INVAL;
	ctx->err = 0;
	if (!dir)
		return set_err(ctx, UCI_ERR_INVAL);
	int rc = add_delta_path(ctx, dir);
	if (rc != UCI_OK)
		return set_err(ctx, rc);
	return replace_dir(ctx, &ctx->savedir, dir);
}

int uci_add_delta_path(struct uci_context *ctx, const char *dir)
{
	if (!ctx)
		return UCI_ERR_INVAL;
	ctx->err = 0;
	if (!dir || !*dir)
		return set_err(ctx, UCI_ERR_INVAL);
	int rc = add_delta_path(ctx, dir);
	return rc == UCI_OK ? rc : set_err(ctx, rc);
}

int uci_lookup_next(struct uci_context *ctx, struct uci_element **e, struct uci_list *list, const char *name)
{
	if (!ctx)
		return UCI_ERR_INVAL;
	ctx->err = 0;
	if (!e || !list || !name)
		return set_err(ctx, UCI_ERR_INVAL);
	uci_element *it;
	uci_foreach_element (list, it) {
		if (it->name && strcmp(it->name, name) == 0) {
			*e = it;
			return UCI_OK;
		}
	}
	return set_err(ctx, UCI_ERR_NOTFOUND);
}

bool uci_validate_text(const char *str)
{
	if (!str)
		return false;
	for (const unsigned char *c = (const unsigned char *)str; *c; c++) {
		if (*c < 0x20 && *c != '\t' && *c != '\n' && *c != '\r')
			return false;
	}
	return true;
}

// "<prefix>: <text>", with the position of the context's last parse error:
// like the router's library, that stays in the text after later calls,
// successful ones included, until another parse error replaces it.
static char *format_error(uci_context *ctx, const char *prefix)
{
	int err = ctx ? ctx->err : UCI_ERR_INVAL;
	if (err < 0 || err >= UCI_ERR_LAST)
		err = UCI_ERR_UNKNOWN;
	char where[160] = "";
	if (ctx && ctx->pctx && ctx->pctx->reason)
		snprintf(where, sizeof(where), " (%s) at line %d, byte %d", ctx->pctx->reason,
			 ctx->pctx->line, ctx->pctx->byte);
	const char *sep = prefix ? ": " : "";
	if (!prefix)
		prefix = "";
	size_t n = strlen(prefix) + strlen(sep) + strlen(error_texts[err]) + strlen(where) + 1;
	char *out = (char *)malloc(n);
	if (out)
		snprintf(out, n, "%s%s%s%s", prefix, sep, error_texts[err], where);
	return out;
}

void uci_perror(struct uci_context *ctx, const char *str)
{
	char *text = format_error(ctx, str);
	if (text) {
		fprintf(stderr, "%s\n", text);
		free(text);
	}
}

void uci_get_errorstr(struct uci_context *ctx, char **dest, const char *str)
{
	if (!dest)
		return;
	*dest = format_error(ctx, str);
}

} // extern "C"
