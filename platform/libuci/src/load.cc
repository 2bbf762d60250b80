// SPDX-License-Identifier: ISC
// Loading and unloading packages.
#include "internal.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace uci_impl;

namespace {

char *join_path(const char *dir, const char *name)
{
	size_t n = strlen(dir) + 1 + strlen(name) + 1;
	char *path = (char *)malloc(n);
	if (path)
		snprintf(path, n, "%s/%s", dir, name);
	return path;
}

bool regular_file(const char *path)
{
	struct stat st;
	return stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

struct fd_guard {
	int fd;
	~fd_guard()
	{
		if (fd >= 0)
			close(fd);
	}
};

// Reads the whole file under a shared lock.
int read_locked(const char *path, file_data *out)
{
	fd_guard g{open(path, O_RDONLY | O_CLOEXEC)};
	if (g.fd < 0)
		return errno == ENOENT ? UCI_ERR_NOTFOUND : UCI_ERR_IO;
	int rc;
	do
		rc = flock(g.fd, LOCK_SH);
	while (rc < 0 && errno == EINTR);
	if (rc < 0)
		return UCI_ERR_IO;
	return read_fd(g.fd, out);
}

} // namespace

extern "C" {

int uci_load(struct uci_context *ctx, const char *name, struct uci_package **package)
{
	if (!ctx)
		return UCI_ERR_INVAL;
	ctx->err = 0;
	if (!name)
		return set_err(ctx, UCI_ERR_INVAL);

	// A path names the file itself; a plain name is looked up in the config
	// directories and gets the saved changes applied.
	bool by_path = name[0] == '/' || (name[0] == '.' && name[1] == '/');
	const char *pkg_name = name;
	char *path = nullptr;
	bool uses_conf2 = false;
	if (by_path) {
		const char *slash = strrchr(name, '/');
		pkg_name = slash + 1;
		path = dup_text(name);
	} else {
		if (name[0] == '.')
			return set_err(ctx, UCI_ERR_NOTFOUND);
		if (!valid_package_name(name))
			return set_err(ctx, UCI_ERR_INVAL);
		if (ctx->conf2dir) {
			path = join_path(ctx->conf2dir, name);
			if (path && regular_file(path)) {
				uses_conf2 = true;
			} else {
				free(path);
				path = nullptr;
			}
		}
		if (!uses_conf2)
			path = join_path(ctx->confdir, name);
	}
	if (!path)
		return set_err(ctx, UCI_ERR_MEM);

	uci_element *e;
	uci_foreach_element (&ctx->root, e) {
		if (strcmp(e->name, pkg_name) == 0) {
			free(path);
			return set_err(ctx, UCI_ERR_DUPLICATE);
		}
	}
	if (!*pkg_name || !regular_file(path)) {
		free(path);
		return set_err(ctx, UCI_ERR_NOTFOUND);
	}

	file_data file;
	int rc = read_locked(path, &file);
	if (rc != UCI_OK) {
		free(path);
		return set_err(ctx, rc == UCI_ERR_NOTFOUND ? UCI_ERR_NOTFOUND : rc);
	}

	uci_package *p = package_new(ctx, pkg_name);
	if (!p) {
		free(path);
		return set_err(ctx, UCI_ERR_MEM);
	}
	p->path = path;
	p->has_delta = !by_path;
	p->uses_conf2 = uses_conf2;

	rc = parse_config(ctx, p, file.data, file.len);
	if (rc == UCI_OK && p->has_delta)
		rc = apply_deltas(ctx, p);
	if (rc != UCI_OK) {
		package_free(p);
		return set_err(ctx, rc);
	}
	list_add_tail(&ctx->root, &p->e.list);
	if (package)
		*package = p;
	return UCI_OK;
}

int uci_unload(struct uci_context *ctx, struct uci_package *p)
{
	if (!ctx)
		return UCI_ERR_INVAL;
	ctx->err = 0;
	if (!p)
		return set_err(ctx, UCI_ERR_INVAL);
	package_free(p);
	return UCI_OK;
}

} // extern "C"
