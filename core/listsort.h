// Stable merge sort of any singly linked list through three callbacks, so the
// nodes need no common layout. O(n log n) compares, no allocation.
#pragma once

// `head` is the address of the list owner's first-node pointer; it is passed to
// every callback as the owner.
// > 0 when `a` sorts after `b`.
typedef int (*LinkedCompareFn)(void **head, void *callbackContext, void *compareContext, void *a,
                               void *b);
// The node after `node`, or null.
typedef void *(*LinkedGetNextFn)(void **head, void *callbackContext, void *node);
// Links `next` (maybe null) after `node`; `distributing` is 1 while the input is
// being split, 0 while merging.
typedef void (*LinkedSetNextFn)(void **head, void *callbackContext, void *node, void *next,
                                int distributing);

// Sorts the list starting at *head: direction 1 ascending, 0 descending; equal
// nodes keep their order. Returns 0 for an empty list, else 1 with *head the
// first node and the last node's next null.
int Linked_Sort(void **head, int direction, void *compareContext, void *callbackContext,
                LinkedCompareFn compare, LinkedGetNextFn getNext, LinkedSetNextFn setNext);
