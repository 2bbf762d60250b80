// SPDX-License-Identifier: ISC
// Arbitrary bytes as a config file (strict and lenient), as a file of saved
// changes, and as a lookup path. The first byte picks the mode.
extern "C" {
#include <uci.h>
}

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string work_dir()
{
	static std::string dir;
	if (dir.empty()) {
		char tmpl[] = "/tmp/fuzz_uci.XXXXXX";
		if (!mkdtemp(tmpl))
			abort();
		dir = tmpl;
		std::string save = dir + "/save";
		mkdir(save.c_str(), 0700);
		atexit([] {
			unlink((dir + "/fz").c_str());
			unlink((dir + "/save/fz").c_str());
			rmdir((dir + "/save").c_str());
			rmdir(dir.c_str());
		});
	}
	return dir;
}

void put(const std::string &path, const uint8_t *data, size_t size)
{
	FILE *f = fopen(path.c_str(), "wb");
	if (!f)
		abort();
	if (size)
		fwrite(data, 1, size, f);
	fclose(f);
}

// Walks everything loaded, so a broken tree shows up under the sanitizers.
size_t walk(uci_package *p)
{
	size_t n = strlen(p->e.name);
	uci_element *se, *oe, *ie;
	uci_foreach_element (&p->sections, se) {
		uci_section *s = uci_to_section(se);
		n += strlen(se->name) + strlen(s->type);
		uci_foreach_element (&s->options, oe) {
			uci_option *o = uci_to_option(oe);
			n += strlen(oe->name);
			if (o->type == UCI_TYPE_STRING) {
				n += strlen(o->v.string);
			} else {
				uci_foreach_element (&o->v.list, ie)
					n += strlen(ie->name);
			}
		}
	}
	return n;
}

uci_context *make_context(const std::string &dir)
{
	uci_context *ctx = uci_alloc_context();
	if (!ctx)
		abort();
	uci_set_confdir(ctx, dir.c_str());
	uci_set_conf2dir(ctx, (dir + "/conf2").c_str());
	// Only our own folder of saved changes, never the host's.
	uci_element *e = list_to_element(ctx->delta_path.next);
	ctx->delta_path.next = e->list.next;
	e->list.next->prev = &ctx->delta_path;
	free(e->name);
	free(e);
	uci_set_savedir(ctx, (dir + "/save").c_str());
	return ctx;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size == 0)
		return 0;
	std::string dir = work_dir();
	uint8_t mode = data[0] % 4;
	data++;
	size--;

	uci_context *ctx = make_context(dir);
	uci_package *p = nullptr;
	switch (mode) {
	case 0:
	case 1:
#ifndef RAVEL_STRICT_UCI_ONLY
		if (mode == 1)
			ctx->flags = (uci_flags)(ctx->flags & ~UCI_FLAG_STRICT);
#endif
		put(dir + "/fz", data, size);
		if (uci_load(ctx, (dir + "/fz").c_str(), &p) == UCI_OK)
			walk(p);
		break;
	case 2: {
		static const char base[] = "config s x\n\toption o v\n\tlist l a\nconfig t\n";
		put(dir + "/fz", (const uint8_t *)base, sizeof(base) - 1);
		put(dir + "/save/fz", data, size);
		if (uci_load(ctx, "fz", &p) == UCI_OK)
			walk(p);
		unlink((dir + "/save/fz").c_str());
		break;
	}
	case 3: {
		static const char base[] = "config s x\n\toption o v\n\tlist l a\nconfig t\nconfig t y\n";
		put(dir + "/fz", (const uint8_t *)base, sizeof(base) - 1);
		std::string path((const char *)data, size);
		path = path.c_str(); // up to the first NUL, as a C caller passes it
		uci_ptr ptr;
		uci_lookup_ptr(ctx, &ptr, path.data(), true);
		char *err = nullptr;
		uci_get_errorstr(ctx, &err, "fz");
		free(err);
		break;
	}
	}
	uci_free_context(ctx);
	return 0;
}
