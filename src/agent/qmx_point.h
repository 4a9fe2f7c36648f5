// qmxGetPoint: reads from a stored matrix named by a path (a file name, a
// network name, a key, or a document path resolved by the path rules): the
// element values of every typed channel at one point or a list of points,
// the stored bytes of one channel of a node, or the status of a node.
//
// The matrix is found or opened for reading through the entry table
// (open_mxread) and read through the entry's element-access cache, under
// the entry's command lock. The node a command read is released when the
// command ends, so that no channel lock outlives a command (a node held
// across commands would block the save and scan scripts of its matrix).
//
// The binding in the root environment (env0) is the one peers reach: it
// requires a path-type other than `absolute`, and a document path asks the
// peer check (auth_filepath_passive) first.
#pragma once

#include "agent/mx_entry.h"
#include "zu/env.h"

// (qmxGetPoint "path" points) with path-type, mode, channel: env1's and
// env0's bindings.
ZU_SEXP* qn_qmxGetPoint_s(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV* args_env, ZU_SYM_FIELD* sf, ZUISP_ENV* sp_env);
ZU_SEXP* qn_qmxGetPoint_n(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV* args_env, ZU_SYM_FIELD* sf, ZUISP_ENV* sp_env);
// s_flag 1 for env1, 0 for the restricted env0.
ZU_SEXP* qn_qmxGetPoint(int s_flag, ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV* args_env, ZU_SYM_FIELD* sf);

// The `related` road: the candidates of the document path, the first that
// opens read with read_point.
ZU_SEXP* open_mxread_related(ZU_SEXP* path, ZU_SEXP* form, ZU_SEXP* points, ZU_SYM_FIELD* sf);

// The reads, on an entry whose command lock the caller holds. `form` only
// positions the errors. read_point takes one point or a list of points.
ZU_SEXP* read_point(MX_ENTRY* e, ZU_SEXP* points, ZU_SYM_FIELD* sf, ZU_SEXP* form);
ZU_SEXP* read_1point(MX_ENTRY* e, ZU_SEXP* point, ZU_SYM_FIELD* sf, ZU_SEXP* form);
ZU_SEXP* read_node_channel(MX_ENTRY* e, ZU_SEXP* point, int channel, ZU_SEXP* form);
ZU_SEXP* read_node_status(MX_ENTRY* e, ZU_SEXP* point, ZU_SEXP* form);

// Node reads wait for a node being loaded up to one second at a time, each
// time after the interpreter's break check, at most this many times (600;
// the environment variable QNMX_NODE_WAIT_TRIES sets it). Every other wait
// of a command for a node (through the element cache) ends after as many
// seconds, at a break, or when the program's end begins: the store asks
// qmx_node_wait_check, which init_qmx_function installs.
int qmx_node_wait_tries();
int qmx_node_wait_check(double seconds);
// The node of m at dc fetched with `access` (the store's access code) and
// waited for so: the ready node, locked (unlock_node gives it back); or
// null with *status the store's last code (-103 when the tries ran out,
// the program's end began, or no script makes the node ready; a load fault
// of a node stored but unreadable, after one more fetch when the file was
// busy), or *stop the break check's error.
MATRIX_NODE* wait_matrix_node(MATRIX* m, const int64_t* dc, int access, ZU_SEXP* form, int* status, ZU_SEXP** stop);
