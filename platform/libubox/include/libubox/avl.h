// SPDX-License-Identifier: ISC
/* Ordered set of nodes keyed by caller-supplied keys. Nodes are embedded in
 * the caller's records and kept in key order on list_head, so iteration is a
 * list walk. */
#ifndef LIBUBOX_AVL_H
#define LIBUBOX_AVL_H

#include <stddef.h>
#include <stdbool.h>

#include "list.h"

#ifdef __cplusplus
extern "C" {
#endif

struct avl_node {
	struct list_head list;
	struct avl_node *parent;
	struct avl_node *left;
	struct avl_node *right;
	const void *key;
	signed char balance;
	bool leader;
};

typedef int (*avl_tree_comp)(const void *k1, const void *k2, void *ptr);

struct avl_tree {
	struct list_head list_head;
	struct avl_node *root;
	unsigned int count;
	bool allow_dups;
	avl_tree_comp comp;
	void *cmp_ptr;
};

enum avl_find_mode { AVL_FIND_EQUAL, AVL_FIND_LESSEQUAL, AVL_FIND_GREATEREQUAL };

#define AVL_TREE_INIT(_name, _comp, _allow_dups, _cmp_ptr)                                                   \
	{                                                                                                    \
		.list_head = LIST_HEAD_INIT(_name.list_head), .root = NULL, .count = 0,                      \
		.allow_dups = _allow_dups, .comp = _comp, .cmp_ptr = _cmp_ptr                                \
	}

#define AVL_TREE(_name, _comp, _allow_dups, _cmp_ptr)                                                        \
	struct avl_tree _name = AVL_TREE_INIT(_name, _comp, _allow_dups, _cmp_ptr)

void avl_init(struct avl_tree *tree, avl_tree_comp comp, bool allow_dups, void *ptr);
struct avl_node *avl_find(const struct avl_tree *tree, const void *key);
struct avl_node *avl_find_greaterequal(const struct avl_tree *tree, const void *key);
struct avl_node *avl_find_lessequal(const struct avl_tree *tree, const void *key);
int avl_insert(struct avl_tree *tree, struct avl_node *node);
void avl_delete(struct avl_tree *tree, struct avl_node *node);

static inline bool avl_is_first(struct avl_tree *tree, struct avl_node *node)
{
	return tree->list_head.next == &node->list;
}

static inline bool avl_is_last(struct avl_tree *tree, struct avl_node *node)
{
	return tree->list_head.prev == &node->list;
}

static inline bool avl_is_empty(struct avl_tree *tree)
{
	return tree->count == 0;
}

#define __avl_find_element(tree, key, node_element, element, mode)                                           \
	({                                                                                                   \
		struct avl_node *_avlnode = (mode) == AVL_FIND_EQUAL ? avl_find(tree, key)                   \
					    : (mode) == AVL_FIND_LESSEQUAL                                   \
						    ? avl_find_lessequal(tree, key)                          \
						    : avl_find_greaterequal(tree, key);                      \
		_avlnode ? container_of(_avlnode, typeof(*(element)), node_element) : NULL;                  \
	})

#define avl_find_element(tree, key, element, node_element)                                                   \
	((typeof(*(element)) *)__avl_find_element(tree, key, node_element, element, AVL_FIND_EQUAL))
#define avl_find_le_element(tree, key, element, node_element)                                                \
	((typeof(*(element)) *)__avl_find_element(tree, key, node_element, element, AVL_FIND_LESSEQUAL))
#define avl_find_ge_element(tree, key, element, node_element)                                                \
	((typeof(*(element)) *)__avl_find_element(tree, key, node_element, element, AVL_FIND_GREATEREQUAL))

#define avl_first_element(tree, element, node_member)                                                        \
	container_of((tree)->list_head.next, typeof(*(element)), node_member.list)
#define avl_last_element(tree, element, node_member)                                                         \
	container_of((tree)->list_head.prev, typeof(*(element)), node_member.list)
#define avl_next_element(element, node_member)                                                               \
	container_of((&(element)->node_member.list)->next, typeof(*(element)), node_member.list)
#define avl_prev_element(element, node_member)                                                               \
	container_of((&(element)->node_member.list)->prev, typeof(*(element)), node_member.list)

#define avl_for_element_range(first, last, element, node_member)                                             \
	for (element = (first); element->node_member.list.prev != &(last)->node_member.list;                 \
	     element = avl_next_element(element, node_member))

#define avl_for_element_range_reverse(first, last, element, node_member)                                     \
	for (element = (last); element->node_member.list.next != &(first)->node_member.list;                 \
	     element = avl_prev_element(element, node_member))

#define avl_for_each_element(tree, element, node_member)                                                     \
	list_for_each_entry (element, &(tree)->list_head, node_member.list)

#define avl_for_each_element_reverse(tree, element, node_member)                                             \
	list_for_each_entry_reverse (element, &(tree)->list_head, node_member.list)

#define avl_for_each_element_safe(tree, element, node_member, ptr)                                           \
	list_for_each_entry_safe (element, ptr, &(tree)->list_head, node_member.list)

#define avl_remove_all_elements(tree, element, node_member, ptr)                                             \
	for (ptr = avl_first_element(tree, element, node_member), element = ptr,                             \
	    ptr = avl_next_element(ptr, node_member);                                                        \
	     (tree)->count > 0 && (avl_delete(tree, &element->node_member), 1);                              \
	     element = ptr, ptr = avl_next_element(ptr, node_member))

#ifdef __cplusplus
}
#endif

#endif
