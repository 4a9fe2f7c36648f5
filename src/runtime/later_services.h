// Start-up and interpreter services of the network layer, the log and the
// named locks, as the library start-up and the interpreters call them.
// Until those layers exist, later_services.cc gives each one a body that
// does nothing (and set_setagent_msg keeps its text); the layer that builds
// a service replaces its body there.
#pragma once

#include "zu/env.h"

struct ZU_INTERPRETER;
struct AUTH_CONNECTION_SET;

// Network services.
void init_proxy();
void init_ZUoHTTP_server();
void init_serverinfo();
void init_session();
void init_http_agent();
void init_authentificaition(ZUISP_ENV* env);
// Keeps a copy of the agent identification text and returns it; the caller
// keeps its own text.
char* set_setagent_msg(const char* text);
// The text last handed to set_setagent_msg, or null.
const char* get_setagent_msg();
AUTH_CONNECTION_SET* new_auth_connection_set(ZU_INTERPRETER* zui);
void free_auth_connection_set(AUTH_CONNECTION_SET* set);
// Waits until no remote-session request task runs (the underscore form with
// zui_lock held).
void wait_rs_queue();
void _wait_rs_queue();

// The log (given the two top environments) and the named locks.
void init_log(ZUISP_ENV* env0, ZUISP_ENV* env1);
void init_call_lock();
