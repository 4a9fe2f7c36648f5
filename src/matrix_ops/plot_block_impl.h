// Inside the plot block: the list bookkeeping the hooks and the commands
// share (plot_block.cc), and the commands (plot_block_cmd.cc).
#pragma once

#include "matrix_ops/plot_block.h"

PP_STRUCT_BLOCK* pp(MX_STRUCT_BLOCK* b);
// Whether the list (or, while it is empty, the next point) lives in sat.
bool pp_list_in_sat(const PP_STRUCT_BLOCK* b);
// Releases the list the way it is held and clears what points into it: the
// cell array's slots, the child counters, `min`.
void pp_release_list(PP_STRUCT_BLOCK* b);
void pp_drop_counts(PP_STRUCT_BLOCK* b);

int pp_cmd_insert(PP_STRUCT_BLOCK* b, void* param);
int pp_cmd_none(PP_STRUCT_BLOCK* b, void* param);
int pp_cmd_sort(PP_STRUCT_BLOCK* b, void* param);
int pp_cmd_divide(PP_STRUCT_BLOCK* b, void* param);
int pp_cmd_take(PP_STRUCT_BLOCK* b, void* param);
int pp_cmd_get(PP_STRUCT_BLOCK* b, void* param);
int pp_cmd_replace(PP_STRUCT_BLOCK* b, void* param);
int pp_cmd_density(PP_STRUCT_BLOCK* b, void* param);
int pp_cmd_array(PP_STRUCT_BLOCK* b, void* param);
int pp_cmd_free_array(PP_STRUCT_BLOCK* b, void* param);
