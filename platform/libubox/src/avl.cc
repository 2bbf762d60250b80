// SPDX-License-Identifier: ISC
// Ordered node set. Nodes are kept sorted on the tree's list; lookups walk the
// list. The sets held here (bus objects, subscriptions) are small, so the walk
// is cheap, and the list alone keeps insertion and removal trivially correct.
#include "libubox/avl.h"

void avl_init(struct avl_tree *tree, avl_tree_comp comp, bool allow_dups, void *ptr)
{
	INIT_LIST_HEAD(&tree->list_head);
	tree->root = nullptr;
	tree->count = 0;
	tree->allow_dups = allow_dups;
	tree->comp = comp;
	tree->cmp_ptr = ptr;
}

namespace {

struct avl_node *node_of(struct list_head *l)
{
	return container_of(l, struct avl_node, list);
}

// The first node whose key is not below `key`, or NULL.
struct avl_node *first_not_below(const struct avl_tree *tree, const void *key)
{
	for (struct list_head *l = tree->list_head.next; l != &tree->list_head; l = l->next) {
		struct avl_node *n = node_of(l);
		if (tree->comp(n->key, key, tree->cmp_ptr) >= 0)
			return n;
	}
	return nullptr;
}

} // namespace

struct avl_node *avl_find(const struct avl_tree *tree, const void *key)
{
	struct avl_node *n = first_not_below(tree, key);
	if (n && tree->comp(n->key, key, tree->cmp_ptr) == 0)
		return n;
	return nullptr;
}

struct avl_node *avl_find_greaterequal(const struct avl_tree *tree, const void *key)
{
	return first_not_below(tree, key);
}

struct avl_node *avl_find_lessequal(const struct avl_tree *tree, const void *key)
{
	struct avl_node *found = nullptr;
	for (struct list_head *l = tree->list_head.next; l != &tree->list_head; l = l->next) {
		struct avl_node *n = node_of(l);
		int c = tree->comp(n->key, key, tree->cmp_ptr);
		if (c > 0)
			break;
		// For equal keys report the first of the group.
		if (!found || c < 0 || tree->comp(found->key, key, tree->cmp_ptr) != 0)
			found = n;
	}
	return found;
}

int avl_insert(struct avl_tree *tree, struct avl_node *node)
{
	struct list_head *l;
	bool dup = false;

	for (l = tree->list_head.next; l != &tree->list_head; l = l->next) {
		int c = tree->comp(node_of(l)->key, node->key, tree->cmp_ptr);
		if (c == 0) {
			if (!tree->allow_dups)
				return -1;
			dup = true;
		} else if (c > 0) {
			break;
		}
	}

	node->parent = node->left = node->right = nullptr;
	node->balance = 0;
	node->leader = !dup;
	_list_add(&node->list, l->prev, l);
	tree->count++;
	tree->root = node_of(tree->list_head.next);
	return 0;
}

void avl_delete(struct avl_tree *tree, struct avl_node *node)
{
	struct list_head *next = node->list.next;
	if (node->leader && next != &tree->list_head) {
		struct avl_node *n = node_of(next);
		if (!n->leader && tree->comp(n->key, node->key, tree->cmp_ptr) == 0)
			n->leader = true;
	}
	_list_del(&node->list);
	node->list.next = node->list.prev = nullptr;
	tree->count--;
	tree->root = tree->count ? node_of(tree->list_head.next) : nullptr;
}
