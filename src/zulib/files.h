// Files and directories: path texts, file operations, FindFile and the path
// settings of the interpreter runtime (directory pairs, path rules, the log
// and script paths). Each registration binds one built-in into the given
// environment; lib_names.cc says which.
#pragma once

#include "zu/env.h"

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
