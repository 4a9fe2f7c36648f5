// In-memory AVL tree over caller-made nodes. The caller allocates and frees
// nodes; the tree only links them.
//
// Ordering: cmp(node_data, data) returns 1 when `data` belongs on the small
// side of the node, -1 when on the large side, 0 when equal. Any other result
// is a broken comparison function and stops the process.
#pragma once

struct AVT_NODE {
  int level;        // height of the subtree rooted here (a leaf is 1)
  AVT_NODE* small;  // subtree of smaller data
  AVT_NODE* large;  // subtree of larger data
  void* data;       // the caller's payload
};

using AVT_CMP = int (*)(void* node_data, void* data);
using AVT_FUNC = int (*)(AVT_NODE* node, void* work);

// Links `a` (its data must be set, else the process stops) into *avtp and
// rebalances. Returns `a`, or the node already holding equal data (then
// nothing is linked).
AVT_NODE* avt_insert(AVT_NODE** avtp, AVT_NODE* a, AVT_CMP cmp);
// The node whose data compares equal to `data`, or null.
AVT_NODE* avt_search(AVT_NODE* a, void* data, AVT_CMP cmp);
// Unlinks the node whose data compares equal and rebalances; returns it (the
// caller frees it), or null when absent.
AVT_NODE* avt_delete(AVT_NODE** avtp, void* data, AVT_CMP cmp);
// Calls func(node, work) in ascending (descending) order until a call returns
// non-zero; returns that value, or 0. func must not change the tree.
int avt_trace_from_small(AVT_NODE* a, AVT_FUNC func, void* work);
int avt_trace_from_large(AVT_NODE* a, AVT_FUNC func, void* work);
