// Files and directories: path texts, file operations, FindFile and the path
// settings of the interpreter runtime (directory pairs, path rules, the log
// and script paths). Each registration binds one built-in into the given
// environment; lib_names.cc says which.
#pragma once

#include "zu/env.h"

// The refusal of a built-in that edits or writes a file, called for a peer
// (over its link, or on its behalf): null when the caller evaluates for no
// peer or the peer may edit `path` (a string value), else the denial
// positioned at the call form. The path is judged where it leads, every symlink resolved: an
// access file and a place outside every registered tree are refused;
// elsewhere the access files of its document path decide, asked with the
// built-in's name as the operation. With whole_tree (the edit takes all
// below the path with it) every entry below a directory is judged so too,
// as if it were edited alone.
ZU_SEXP* peer_edit_refusal(ZU_SEXP* form, ZU_SEXP* path, const char* op, bool whole_tree);

// Path texts (file_path_text.cc).
void init_ComposePath(ZUISP_ENV* env);
void init_Directory(ZUISP_ENV* env);
void init_Leaf(ZUISP_ENV* env);
void init_Prefix(ZUISP_ENV* env);
void init_Trunc(ZUISP_ENV* env);
// The working directory and file operations (file_ops.cc).
void init_GetCwd(ZUISP_ENV* env);
void init_Chdir(ZUISP_ENV* env);
void init_Mkdir(ZUISP_ENV* env);
void init_Mv(ZUISP_ENV* env);
void init_Rm(ZUISP_ENV* env);
void init_Touch(ZUISP_ENV* env);
void init_UTime(ZUISP_ENV* env);
// Finding files by star patterns (file_find.cc).
void init_FindFile(ZUISP_ENV* env);
// Path settings (file_path_settings.cc).
void init_SetDirectory(ZUISP_ENV* env);
void init_SetDatabasePath(ZUISP_ENV* env);
void init_GetZUpathpair(ZUISP_ENV* env);
void init_SetPrefixMode(ZUISP_ENV* env);
void init_GetPrefixMode(ZUISP_ENV* env);
void init_SetLogPath(ZUISP_ENV* env);
void init_SetScriptPath(ZUISP_ENV* env);
// The rule engine (file_rule.cc): Rule with its keywords Target, Exist and
// NotExist.
void init_Rule(ZUISP_ENV* env);
