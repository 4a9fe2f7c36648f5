// The network services: interpreters opened from scripts, remote queries,
// URLs, the proxy setting and the server information, status reports.
//
// The interpreter runtime below calls the network services through its
// table of network operations, and the library binds the built-ins of this
// layer through the registrations handed to it; init_netsvc installs both.
#pragma once

// Fills the runtime's network operations with this layer's and hands the
// library the registrations of its built-ins. Once, in the start-up thread,
// before init_zu and init_function.
void init_netsvc();
