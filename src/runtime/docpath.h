// Document paths: agents name documents by absolute ZU paths such as
// /maps/a/b.zu. A document directory is registered under a URL prefix as a
// pair of local trees below one base directory, "zudocs/" for documents and
// "zusys/" for system files. The suffix of a document's name selects a rule
// that says, for this agent and the asking command, which trees are
// searched and in which order.
//
// No mapping ever leaves its tree: a path with a ".." component maps to no
// file. Pairs and rules are never removed; pointers to rules stay valid.
#pragma once

#include "base/alloc.h"
#include "stream/url.h"
#include "text/lchar.h"
#include "zu/value.h"

struct path_pair {
  path_pair* next;
  L_CHAR* sys_path;   // base + "zusys/"
  L_CHAR* docs_path;  // base + "zudocs/"
  L_CHAR* url_base;   // the URL prefix
};

struct ZU_GETFILE {
  ZU_GETFILE* next;
  int flags;        // GF_* below
  L_CHAR* prefix;   // the suffix with its dot, such as ".zu"
  L_CHAR* agent;    // the agent the rule serves
  L_CHAR* mode;     // handed to the caller, such as "zu" or "raw"
  L_CHAR* cmd_sym;  // the command the rule serves
};

// Search order (flags & GF_ORDER) and lock bits of a rule.
constexpr int GF_ORDER = 3;
constexpr int GF_SYS = 0;
constexpr int GF_DOCS = 1;
constexpr int GF_SYS_DOCS = 2;
constexpr int GF_DOCS_SYS = 3;
constexpr int GF_LOCK_URL = 4;
constexpr int GF_LOCK_FULL = 8;

// Registers base directory path under url (a URL registered before keeps
// its first directory). Returns 0.
int Reg_List_pathpair(const L_CHAR* path, const L_CHAR* url);
// (docs-dir sys-dir url) of the first pair whose document tree contains the
// directory path, or null. The caller holds the memory lock.
ZU_SEXP* get_pathpair(const L_CHAR* path);

// The local file of a ZU path in the document or system tree: a new string
// the caller frees, or null when no pair serves it or it has a ".."
// component. A leading "//" counts as "/".
L_CHAR* get_zudocs(const L_CHAR* f);
L_CHAR* get_zusys(const L_CHAR* f);
// The same for the file path of a URL, and that file joined with c.
L_CHAR* get_zudocs_path(const URL* u);
L_CHAR* get_zusys_path(const URL* u);
L_CHAR* get_zudocs_apppath(const URL* u, const char* c);
L_CHAR* get_zusys_apppath(const URL* u, const char* c);
// The system tree of the pair serving "/" joined with c; dir joined with c.
// Null when c has a ".." component (or no pair serves "/").
L_CHAR* get_sys_path(const char* c);
L_CHAR* get_append_path(const L_CHAR* dir, const char* c);
// base and rest joined with exactly one "/" (a rest beginning with "." is
// appended directly). A new string.
L_CHAR* get_synth_path(const L_CHAR* base, const L_CHAR* rest);
// The URL of a local file; a copy of userpath when no pair holds it.
L_CHAR* get_url_path(const L_CHAR* fullpath, const L_CHAR* userpath);
// The document path of a local file named with every symlink resolved (as
// realpath(3) gives it), the trees taken in their resolved form too; null
// when no registered tree holds it. A new string the caller frees.
L_CHAR* get_url_path_resolved(const char* real);

// The name of a directory's access file, whose rules the network layer
// reads; a peer never edits one.
constexpr char kAccessFileName[] = ".zuaccess";

// A document path as every reader of document paths takes it, so that what
// is checked is what is served: "?query" and "#name" are cut off first, then
// empty and "." components are dropped (a leading "/" or "//" with them).
// The result is "/" followed by the components joined by "/" ("/" for none),
// a new string the caller frees; null for null or a path holding "..".
L_CHAR* normalize_doc_path(const L_CHAR* path);

// The candidate local files of document fname for command func_name, in
// the order the rule gives (target[1] null for single-tree rules; the
// caller frees both), and the rule in *gf. fname must begin with "/"; it is
// resolved in its normalized form. Null on success, else an error
// value positioned at s. The caller holds the memory lock.
ZU_SEXP* get_path(L_CHAR* target[2], ZU_GETFILE** gf, const L_CHAR* fname, ZU_SEXP* s,
                  const L_CHAR* func_name);
// The same with the candidates owned: freed when they go, also when a
// refusal for memory unwinds past them.
inline ZU_SEXP* get_path(Tagged<L_CHAR> (&target)[2], ZU_GETFILE** gf, const L_CHAR* fname, ZU_SEXP* s,
                         const L_CHAR* func_name) {
  L_CHAR* found[2] = {};
  ZU_SEXP* err = get_path(found, gf, fname, s, func_name);
  target[0].reset(found[0]);
  target[1].reset(found[1]);
  return err;
}
// True when rule gf hands its caller the mode `word` (read under the
// tables' lock: another thread may give the rule a new mode meanwhile).
bool getfile_mode_is(const ZU_GETFILE* gf, const char* word);
// Bit 1: the document-tree file of f can be opened for reading; bit 2: the
// system-tree file can.
int path_check(const L_CHAR* f);

// One rule per string of the list cmds; null, or an error value for an
// element that is not a string (the rules before it are kept).
ZU_SEXP* insert_getfile(const L_CHAR* suffix, const L_CHAR* agent, const L_CHAR* mode, int flags,
                        ZU_SEXP* cmds);
// Makes the rule {suffix, agent, cmd} or gives the existing one the new
// mode, command text and flags. It takes docpath_lock itself: the
// underscore names the one-command form of insert_getfile, not a lock the
// caller holds.
void _insert_getfile(const L_CHAR* suffix, const L_CHAR* agent, const L_CHAR* mode, int flags,
                     const L_CHAR* cmd);
// The rule for suffix, agent and command (any command when fname is null).
ZU_GETFILE* search_getfile(const L_CHAR* prefix, const L_CHAR* agent, const L_CHAR* fname);
// The first rule with that suffix from gfin on, or in the suffix's own
// chain when gfin is null.
ZU_GETFILE* search_getfile_by_prefix(const L_CHAR* prefix, ZU_GETFILE* gfin);
