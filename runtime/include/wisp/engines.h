// wisp runtime: what the package knows of the SQLAlchemy engines it makes
// and of how their statements ran.
//
// The facade gives every SQLite engine of its registry a listener of its
// own on SQLAlchemy's "begin" event. The runner skips SQLAlchemy's layers
// only while nothing observes them, and a listener is an observer, except
// this one: the runner recognises it by identity and does what it would
// have done. The facade registers it here at import, the runner reads it
// here, and neither imports the other.
#pragma once

#include "wisp/rt.h"

namespace wisp::engines {

// The "begin" listener the facade installs on the engines it makes; null
// until the facade is imported. Kept for the life of the process.
WISP_API void set_own_begin_listener(Borrowed listener);
WISP_API PyObject* own_begin_listener();

// How the owned statements of the runner ran: on a Session, on a
// Connection standing in for it, or on the driver connection of the pool.
// Read by the test suite's probe module; nothing else depends on them.
struct PathCounts {
  unsigned long long session = 0;
  unsigned long long connection = 0;
  unsigned long long driver = 0;
};
WISP_API PathCounts& path_counts();

}  // namespace wisp::engines
