// wisp.wisp, the async surface: what the facade's other sources ask of it.
//
// Every awaited call of wisp is one `sqlalchemy.util.greenlet_spawn`: the
// coroutine it returns runs the sync machinery (gateway, runner, rendering,
// row shaping) in a greenlet, where each database round trip of a data
// source's async engine is awaited on the event loop through `await_only`.
// The greenlet shares the task's context, so the gateway's per-context
// session, depth and savepoint levels are the task's own.
//
// While such a greenlet runs, the context variable of the bridge holds it:
// a lookup of a data source's gateway made in it (gateway_of) finds the
// gateway over the data source's async engine, made on first use beside the
// registry (keyed by the registry's engine; the entries keep their three
// keys). Code that runs elsewhere, a user's coroutine awaited from inside a
// transaction included, finds the registry's own gateway, as before.
#pragma once

#include "wisp/function.h"

namespace wisp {
class ClassBuilder;
}

namespace wisp::facade {

// entry["db_gateway"]; inside an awaited call of wisp, the gateway over the
// async engine of the same data source instead.
Ref gateway_of(Borrowed globals, Borrowed entry);

// inspect.iscoroutinefunction(func), with the common cases (a function of
// this runtime, a Python function, a bound method over one) read directly.
bool is_coroutine_function(Borrowed globals, Borrowed func);

// The coroutine function that stands for `func` (an async def) and runs the
// sync wrapper `inner` made for it: `wraps(func)(shell)`, where calling the
// shell returns the coroutine that runs inner(*args, **kwargs) in the
// bridge. `f` is the function making it (its module's globals are used).
Ref async_shell(FunctionObject* f, Borrowed func, Borrowed inner);

// A callable to hand a sync wrapper in place of the coroutine function
// `func`: calling it calls func and awaits the result (await_only), so that
// the wrapper's scope (a switch, a transaction) encloses the whole
// coroutine. A method of AsyncBaseMapper is called as the sync body it
// stands for, in the greenlet already running.
Ref awaiting(FunctionObject* f, Borrowed func);

// The coroutine of one greenlet_spawn running fn(*args, **kwargs) in the
// bridge (`args` a tuple, `kwargs` a dict or null). ModuleNotFoundError
// naming the extra when greenlet is missing.
Ref spawn(Borrowed fn, Borrowed args, Borrowed kwargs = Borrowed());

// transaction.__aenter__ and __aexit__, in class order after __exit__.
void add_transaction_async(ClassBuilder& cb);

// The async engine of a registry entry's data source, made on first use.
Ref async_engine_of(Borrowed globals, Borrowed entry);

// AsyncSession(bind=engine, expire_on_commit=False)
Ref async_session(Borrowed engine);

// An async context manager whose __aenter__ and __aexit__ run the sync
// context manager `manager`'s __enter__ and __exit__ in the bridge.
Ref async_block(Borrowed manager);

// Every engine the configuration makes is remembered with the keyword
// options create_engine was given, for its async twin.
void remember_engine(Borrowed engine, Borrowed options);

// Whether SQLAlchemy keeps the database of `url` in its connection (a pool
// other than a QueuePool: SQLite in memory). In config.cpp.
bool held_in_connection(Borrowed url);
// The create_engine options of a data-source record (None: the defaults),
// with the echo switch `echo`; `memory` for a database held in its
// connection. In config.cpp.
Ref engine_options(Borrowed record, Borrowed echo, bool memory);

// The bridge, the async engines and _AsyncBlock, made at import before the
// binders below run.
void make_async_bridge(Borrowed g);
// Binders, after the specified names: async_db_session, AsyncBaseMapper.
void bind_async(Borrowed g);

}  // namespace wisp::facade
