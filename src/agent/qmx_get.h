// The agent's Get: how other agents read this agent's matrices. A peer
// sends (Get "path" (level x y ...)) to an interpreter that sees the root
// environment; the answer is one node in its transmitted byte form (the
// store's encode_matrix_node: form byte, children, then every channel
// marked for sending), or with mode="meta" the matrix's status as a peer
// sees it (qmxStatus's restricted view).
//
// The path is a document path: the access check of peers is asked first,
// then the path rules resolve it to candidate files, which are opened for
// reading with the stored server scripts (an entry opened for a node read
// stays open, so later reads reuse it). A read creates nothing: the
// matrix's "create-node" is "disable" while the node is fetched, and a dim
// code outside the matrix is refused before the store is asked. A node
// being loaded is waited for as qmxGetPoint waits (a bounded number of one-
// second tries, each after the interpreter's break check).
//
// Runs on the thread of the interpreter that serves the peer; the node is
// locked only while it is encoded.
#pragma once

#include "zu/env.h"

// (Get "path" [dimcode]) with mode absent, "data" or "meta".
ZU_SEXP* qn_qmxGet(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV* args_env, ZU_SYM_FIELD* sf, ZUISP_ENV* sp_env);

// The node read by document path (mode "data").
ZU_SEXP* open_mxread_server_related(ZU_SEXP* path, ZU_SEXP* form);
