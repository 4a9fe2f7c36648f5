// Inside the network services: the registrations of the built-in families
// (handed to the library by init_netsvc).
#pragma once

#include <cstdint>

#include "text/convert.h"
#include "zu/env.h"
#include "zu/eval.h"
#include "zu/value.h"

// ---- registrations, in the library's binding order
void init_GetURL(ZUISP_ENV* env);
void init_OpenInterpreter(ZUISP_ENV* env);
void init_CloseInterpreter(ZUISP_ENV* env);
void init_Remote(ZUISP_ENV* env);
void init_GetIid(ZUISP_ENV* env);
void init_SetMainInterpreter(ZUISP_ENV* env);
void init_WaitInterpreter(ZUISP_ENV* env);
void init_SetThisAgentName(ZUISP_ENV* env);
void init_GetLocalHostName(ZUISP_ENV* env);
void init_GetLocalHostIP(ZUISP_ENV* env);
void init_SetLocalHostName(ZUISP_ENV* env);
void init_ComposeURL(ZUISP_ENV* env);
void init_GetCPUStatus(ZUISP_ENV* env);
void init_URLStringCode(ZUISP_ENV* env);
void init_DecodeURLString(ZUISP_ENV* env);
void init_SetProxy(ZUISP_ENV* env);
void init_GetProxy(ZUISP_ENV* env);
void init_SetNativeProxy(ZUISP_ENV* env);
void init_GetNativeProxy(ZUISP_ENV* env);
void init_SessionEnvironment(ZUISP_ENV* env);
void init_GetMainInterpreter(ZUISP_ENV* env);
void init_GetZUIinfo(ZUISP_ENV* env);
// The library's Get (lib_get.cc).
void init_Get(ZUISP_ENV* env);
void init_OpenSession(ZUISP_ENV* env);
void init_CloseSession(ZUISP_ENV* env);
void init_RemoteSession(ZUISP_ENV* env);

// Hands the runtime the session switch, its protocols and the wait for the
// requests of RemoteSession in flight.
void init_session_ops();
