// wisp runtime: what the package knows of the SQLAlchemy engines it makes
// and of how their statements ran.
//
// The facade installs listeners of its own on the engines of its registry:
// on SQLite engines, one on SQLAlchemy's "begin" event; on an engine whose
// data source is also used from asyncio, one on "engine_disposed". The
// runner skips SQLAlchemy's layers only while nothing observes them, and a
// listener is an observer, except these: the runner recognises them by
// identity and does what they would have done (the BEGIN; nothing for a
// disposal, which no statement causes). The facade registers them here at
// import, the runner reads them here, and neither imports the other.
#pragma once

#include "wisp/rt.h"

namespace wisp::engines {

enum class Own { Begin, EngineDisposed };

// The listener the facade installs for `which`; null until the facade is
// imported. Kept for the life of the process.
WISP_API void set_own_listener(Own which, Borrowed listener);
WISP_API PyObject* own_listener(Own which);

// A model's insert of one row with the row as execution parameters of the
// statement kept for the model, where the package's own gateway and runner
// would run `statement.values(**row)` on a Connection standing in for an
// owned session while nothing observes the engine (no listener but the
// package's own, no echo or engine logging, no execution option): the same
// Connection steps and the same SQL, without building a statement per row.
// Each layer registers its step at import (the gateway's hands on to the
// runner's); a step gives null, having run nothing, when its conditions do
// not hold, and so does row_insert while none is registered.
enum class Layer { Gateway, Runner };
using RowInsert = Ref (*)(Borrowed target, Borrowed statement, Borrowed row);
WISP_API void set_row_insert(Layer layer, RowInsert step);
WISP_API Ref row_insert(Layer layer, Borrowed target, Borrowed statement, Borrowed row);

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
