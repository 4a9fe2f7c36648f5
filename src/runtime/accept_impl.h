// Accepting interpreters: the accept thread of a listener admits, refuses
// and dispatches each incoming connection; an admitted line link becomes a
// connected interpreter of its own.
#pragma once

#include "base/task.h"
#include "runtime/accept.h"
#include "runtime/interp.h"

// Task entry of a listener's accepting thread (data: the listener): it
// accepts connections and hands each to a task of its own, which admits,
// refuses or dispatches it. The listener's accept_threads counts the
// accepting thread and those tasks; the last one out closes it. It takes
// zui_lock itself (the underscore names no lock held).
void _accept_thread(TKEY data);
// One-shot timer action: closes a connection whose first byte is late.
void accept_thread_tick(void* stream);

// Writes "\n&cx%x;\n<Permission>Allow</Permission>\n" (or the bare admission
// without an encoding) on an accepted link before anything else it replies.
void send_admission(ZU_INTERPRETER* zui);
