// SPDX-License-Identifier: ISC
/* Compiled as C: every public header must be valid C on its own and together. */
#include <libubox/utils.h>
#include <libubox/list.h>
#include <libubox/blob.h>
#include <libubox/blobmsg.h>
#include <libubox/blobmsg_json.h>
#include <libubox/uloop.h>
#include <libubox/avl.h>
#include <libubox/avl-cmp.h>

struct c_record {
	struct uloop_timeout timer;
	struct avl_node node;
	int value;
};

/* Builds {"cmd":"AT","n":[1]} through the C view of the headers and returns
 * the value of "cmd" found by policy, or NULL. */
const char *ubox_c_roundtrip(struct blob_buf *b);

const char *ubox_c_roundtrip(struct blob_buf *b)
{
	static const struct blobmsg_policy pol[] = {
		{.name = "cmd", .type = BLOBMSG_TYPE_STRING},
	};
	struct blob_attr *tb[ARRAY_SIZE(pol)];
	struct c_record rec = {.value = 7};
	struct c_record *back = container_of(&rec.timer, struct c_record, timer);
	void *c;

	if (back->value != 7)
		return NULL;
	blob_buf_init(b, 0);
	blobmsg_add_string(b, "cmd", "AT");
	c = blobmsg_open_array(b, "n");
	blobmsg_add_u32(b, NULL, 1);
	blobmsg_close_array(b, c);
	if (blobmsg_parse(pol, ARRAY_SIZE(pol), tb, blob_data(b->head), blob_len(b->head)) != 0)
		return NULL;
	return blobmsg_get_string(tb[0]);
}
