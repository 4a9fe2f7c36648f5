// Scans: the script of one access slot run on every node of an area, the
// caller waiting node by node for it to end, and the force scan that visits
// every node position of an area level by level and lets a caller's
// function choose what to load and where to descend.
//
// A scan runs on the caller's thread and never on the node worker (it waits
// for scripts the worker runs). It holds, at any moment, the node locks of
// the path from a stored root node down to the node it waits for and their
// child lists; every one is released on every path out, -125 included.
// matrix_lock is taken only inside the store's calls and around the wait
// on a node's completion byte.
//
// Results: 0, or the last negative code met. A node's script that ends with
// the break error ends the whole scan with kMxScanBreak (-125); any other
// script error (-100) or node failure (-101, -102, -121) marks the result
// and the scan goes on with the next node. A stored node that could not be
// loaded (a load fault, node.h) is the result whatever follows: the first
// such, whose dim code the caller may ask for.
#pragma once

#include <cstdint>

#include "matrix/matrix.h"

struct MATRIX_SCAN_T;

// The state of one scan (on the caller's stack).
struct SCAN_CALL_WORK {
  MATRIX* m;
  int access;                          // the access slot, 0..23
  const int64_t* start;                // the area's corners (dim codes, inclusive)
  const int64_t* end;
  int (*func)(MATRIX_SCAN_T* mst);     // per-node function, may be null
  void* work;                          // handed to func
  int64_t loop_total;                  // force scan: elements of the area
  int64_t processed_total;             // force scan: elements done
  unsigned node_lock : 1;              // set by the loader: it took a node lock
  unsigned ch_lock : 1;                // and a channel lock
  int fault;                           // the first load fault met, 0 none
  int64_t* fault_at;                   // where its node's dim code goes (may be null)
};

// What func receives. matrix_scan calls it with dir 0 after a node's
// script ended; the force scan four times per node (dir 0 before loading,
// 1 after, 2 after the children, 3 last). At dir 0 of the force scan func
// answers with the requests 1 (descend), 2 (load before dir 1) and 4
// (load before dir 3), and fills the loader's fields.
struct MATRIX_SCAN_T {
  int dir;
  const int64_t* dim_code;
  MATRIX* m;
  MATRIX_NODE* n;               // the node, null until loaded
  void* channel_data;           // the loaded channel datum (loading_type 2)
  void* work;
  int channel;                  // channel to load
  int dirty_flags;              // flags of the channel unlock
  int loading_type;             // 1 the node only, 2 the node and the channel datum
  int gn_tree_node;             // get_matrix_node_channel's type (1: best node on the path)
  int gn_create;                // the access the node is asked with
};

// Fires `access` on every stored node of [start, end] from the root nodes
// down and waits for each script: dir 0 runs a node's children before the
// node, any other dir the node before its children. "create-node" is
// "disable" in the matrix's environment meanwhile. -104 for an access
// outside 0..23, -1 on the node worker, the outcome of the file when the
// scan cannot take it (mx_file.h; nothing visited, fault_at left as it
// was). fault_at (1 + dim values, may be null) receives the dim code of
// the node of a load fault answered.
int matrix_scan(MATRIX* m, int dir, int access, const int64_t* start, const int64_t* end,
                int (*func)(MATRIX_SCAN_T*), void* work, int64_t* fault_at = nullptr);
int _scan_pre_call(const int64_t* dim_code, SCAN_CALL_WORK* w);
int _scan_post_call(const int64_t* dim_code, SCAN_CALL_WORK* w);

// Visits every node position of [start, end] from the root position as
// func asks, "create-node" set to "enable". A progress line (QNMX_TRACE)
// at most once a second.
int matrix_scan_force(MATRIX* m, int access, const int64_t* start, const int64_t* end,
                      int (*func)(MATRIX_SCAN_T*), void* work);
int _scan_call_force(const int64_t* dim_code, SCAN_CALL_WORK* w);
// Loads what mst asks for (loading_type 1 or 2): 0 or a negative code.
int _scan_call_loading(const int64_t* dim_code, SCAN_CALL_WORK* w, MATRIX_SCAN_T* mst);

// The elements of every node of [start, end] at and below dim_code's
// level inside dim_code's node (saturating at INT64_MAX).
int64_t get_loop_amount(const MATRIX* m, const int64_t* start, const int64_t* end, const int64_t* dim_code);
