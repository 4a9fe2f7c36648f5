// Remote sessions as the log uses them. The network layer that runs
// sessions replaces these bodies; until then no session can be opened and
// every request answers an error value.
#pragma once

#include "stream/url.h"
#include "zu/env.h"
#include "zu/value.h"

struct REMOTE_SESSION_OPT;

// A new session id (0 while sessions are not available).
int open_session(int option);
// Runs one request on session sid to u: the peer's result or an error value.
ZU_SEXP* remote_session(ZUISP_ENV* env, int sid, URL* u, const L_CHAR* agent, const L_CHAR* login_mode,
                        const L_CHAR* command, ZU_SEXP* value, const char* file, int line,
                        int lock_switch, REMOTE_SESSION_OPT* opt);
