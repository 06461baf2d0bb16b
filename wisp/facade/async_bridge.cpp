// wisp.wisp, the async surface's bridge (see async.h): the greenlet every
// awaited call runs in, the async engine of each data source, and the
// coroutine functions that stand for the sync wrappers.
//
//     def _bridge(fn, args, kwargs):           # what every greenlet runs
//         token = _bridge_var.set(greenlet.getcurrent())
//         try:
//             return fn(*args, **kwargs)
//         finally:
//             _bridge_var.reset(token)
//
//     async def shell(*args, **kwargs):         # an async wrapper, in effect
//         return await greenlet_spawn(_bridge, inner, args, kwargs)
//
// Neither name is a module global. The coroutine a shell returns is
// greenlet_spawn's own: awaiting it runs the sync wrapper, never awaiting
// it runs nothing.
//
// Async engines. The first awaited use of a data source on an event loop
// makes an engine
// with SQLAlchemy's create_async_engine from the registry engine's URL with
// the asyncio driver of its database (SQLite: aiosqlite; MySQL: aiomysql,
// PyMySQL's own protocol code under asyncio, so that values convert as on
// the sync side; PostgreSQL: psycopg, in its async mode) and the options
// that engine was made with (SQLAlchemy picks the pool class asyncio
// needs). It is kept beside the registry, weakly keyed by the registry's
// engine and the loop (asyncio connections belong to the loop they were made
// on), with a WispDbGateway over its sync_engine. SQLite engines get the
// BEGIN take-over the sync ones have.
//
// Disposal follows the registry's engine: its "engine_disposed" event
// disposes the async engines too (on_engine_disposed).
#include "selection.h"
#include "wisp/engines.h"

using namespace wisp;
using namespace wisp::facade;

namespace {

struct AsyncState {
  PyObject* bridge_var;  // ContextVar: the greenlet of the awaited call running in this context
  PyObject* bridge;      // the function every greenlet runs
  PyObject* engines;     // WeakKeyDictionary: registry engine -> {loop: (async engine, gateway)}
  PyObject* options;     // WeakKeyDictionary: registry engine -> its create_engine options
  PyObject* pending;     // set: dispose tasks not done yet
  PyObject* on_disposed;  // the "engine_disposed" listener
  PyObject* block;        // the class of the async context managers made here
  PyObject* iscoroutinefunction;  // inspect's, as bound at import
};
AsyncState async_state;

LazyRef s_greenlet_spawn;
LazyRef s_await_only;
LazyRef s_in_greenlet;
LazyRef s_create_async_engine;
LazyRef s_async_session;
LazyRef s_event_listen;
LazyRef s_get_running_loop;  // asyncio._get_running_loop: None outside a loop

// The module `name` as sys.modules holds it, imported when it is not there
// yet; a module that cannot be imported raises ModuleNotFoundError naming
// the extra that installs it, chained to the import's own error.
Ref require_module(PyObject* name, const char* what) {
  Ref module = Ref::steal(PyImport_GetModule(name));
  if (!module && PyErr_Occurred()) throw_error();
  if (module && module.get() != Py_None) return module;
  module = Ref::steal(PyImport_Import(name));
  if (module) return module;
  if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw_error();
  Ref cause = fetch_exception();
  Ref message = Ref::check(PyUnicode_FromFormat(
      "%s needs the %U package, which the extra installs: pip install 'wisp[async]'", what, name));
  Ref error = call_kwargs(Borrowed(PyExc_ModuleNotFoundError), {message.get()}, {{"name", name}});
  PyException_SetCause(error.get(), cause.release());
  restore_exception(std::move(error));
  throw PyError{};
}

// greenlet.getcurrent()
Ref current_greenlet() {
  Ref module = require_module(names->greenlet, "wisp's async surface");
  return call_method(module, names->getcurrent, {});
}

// Whether this runs in the greenlet of an awaited call of wisp.
bool bridged() {
  Ref running = contextvar_get(Borrowed(async_state.bridge_var));
  if (running.get() == Py_None) return false;
  return running.get() == current_greenlet().get();
}

// def _bridge(fn, args, kwargs)
struct BridgeArgs {
  Ref fn, args, kwargs;
};
Ref bridge(FunctionObject*, BridgeArgs& a) {
  Ref token = contextvar_set(Borrowed(async_state.bridge_var), current_greenlet());
  Ref result;
  try {
    result = call_with(a.fn, a.args, a.kwargs);
  } catch (...) {
    translate_exception();
    Ref exc = fetch_exception();
    while_handling(exc, [&] { contextvar_reset(Borrowed(async_state.bridge_var), token); });
    restore_exception(std::move(exc));
    throw PyError{};
  }
  contextvar_reset(Borrowed(async_state.bridge_var), token);
  return result;
}

// ---------------------------------------------------------------------------
// Async engines

// The URL of the async engine: the registry engine's, with the asyncio
// driver of its database; the driver's name is put in `driver`.
Ref async_url(Borrowed url, Ref& driver) {
  Ref backend = call_method(url, names->get_backend_name, {});
  if (equals(backend, names->sqlite)) {
    driver = Ref::borrow(names->aiosqlite);
  } else if (equals(backend, names->mysql)) {
    driver = Ref::borrow(names->aiomysql);
  } else if (equals(backend, names->postgresql)) {
    driver = Ref::borrow(names->psycopg);
  } else {
    return Ref::borrow(url.get());  // another database: its own driver, which may be async
  }
  Ref name = concat({backend.get(), names->plus, driver.get()});
  return call_kwargs(getattr(url, names->set), {}, {{"drivername", name.get()}});
}

// The options of the async engine: those the registry engine was made with
// (the defaults, when it was made elsewhere); a database held in its
// connection keeps only those its pool takes.
Ref async_options(Borrowed engine, Borrowed url) {
  const bool memory = held_in_connection(url);
  Ref options = call_method(Borrowed(async_state.options), names->get, {engine.get()});
  if (options.get() == Py_None) return engine_options(Py_None, getattr(engine, names->echo), memory);
  options = Ref::check(PyDict_Copy(options.get()));
  if (memory) {
    for (PyObject* name : {names->pool_size, names->max_overflow, names->pool_recycle}) {
      if (PyDict_DelItem(options.get(), name) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw_error();
        PyErr_Clear();
      }
    }
  }
  return options;
}

// create_async_engine(url, **options), with a missing driver named.
Ref make_async_engine(Borrowed engine) {
  Ref driver;
  Ref url = async_url(getattr(engine, names->url), driver);
  Ref options = async_options(engine, url);
  if (driver) require_module(driver.get(), "an async engine of this data source");
  Borrowed create = s_create_async_engine.get(
      [] { return import_attr("sqlalchemy.ext.asyncio", "create_async_engine"); });
  Ref args = tuple({url.get()});
  return Ref::check(PyObject_Call(create, args.get(), options.get()));
}

// The running event loop, or None.
Ref running_loop() {
  Borrowed running =
      s_get_running_loop.get([] { return import_attr("asyncio", "_get_running_loop"); });
  return call(running);
}

// The async engines of a registry engine: a dict from the event loop to its
// (async engine, gateway) pair, or None.
Ref loops_of(Borrowed engine) {
  return call_method(Borrowed(async_state.engines), names->get, {engine.get()});
}

// Whether this runs in a greenlet of SQLAlchemy's bridge (ours or its own).
bool in_greenlet() {
  Borrowed test =
      s_in_greenlet.get([] { return import_attr("sqlalchemy.util.concurrency", "in_greenlet"); });
  return truthy(call(test));
}

// Drops the engines of loops that have closed. aiosqlite's connections
// belong to a thread of their own, not to a loop: inside a greenlet they are
// closed on the running loop. Those of the other drivers cannot be closed on
// their loop any more; they go with the pool. (An engine's pool holds its
// loop, so the loop is a plain key, swept here.)
void sweep_closed_loops(Borrowed loops) {
  Ref keys = Ref::check(PySequence_List(loops.get()));
  for_each(keys, [&](Borrowed loop) {
    if (!truthy(call_method(loop, names->is_closed, {}))) return;
    Ref pair = dict_get_ref(loops, loop);
    check(PyDict_DelItem(loops.get(), loop.get()));
    if (!pair) return;
    Ref sync_engine = getattr(PyTuple_GET_ITEM(pair.get(), 0), names->sync_engine);
    Ref driver = getattr(getattr(sync_engine, names->dialect), names->driver);
    const bool close = equals(driver, names->aiosqlite) && in_greenlet();
    call_kwargs(getattr(sync_engine, names->dispose), {}, {{"close", close ? Py_True : Py_False}});
  });
}

// The (async engine, gateway) pair of a registry entry on the running loop,
// made on first use. An asyncio connection belongs to the loop it was made
// on: every loop (one per asyncio.run, say) gets an engine of its own, and
// the engines of loops that have closed are dropped when another is made.
Ref async_pair(Borrowed globals, Borrowed entry) {
  Ref engine = getitem(entry, names->db);
  Ref loop = running_loop();
  Ref loops = loops_of(engine);
  if (loops.get() != Py_None) {
    if (Ref pair = dict_get_ref(loops, loop)) return pair;
    sweep_closed_loops(loops);
  } else {
    loops = new_dict();
    check(PyObject_SetItem(async_state.engines, engine.get(), loops.get()));
    Borrowed listen =
        s_event_listen.get([] { return import_attr("sqlalchemy.event", "listen"); });
    call(listen, {engine.get(), names->engine_disposed, async_state.on_disposed});
  }
  Ref async_engine = make_async_engine(engine);
  Ref sync_engine = getattr(async_engine, names->sync_engine);
  take_over_sqlite_begin(sync_engine);
  Ref gateway = call_kw(global(globals, names->WispDbGateway),
                        {getitem(entry, names->mapper_dict).get(), sync_engine.get()}, names->kw_gateway);
  Ref pair = tuple({async_engine.get(), gateway.get()});
  dict_set(loops, loop, pair);
  return pair;
}

// The "engine_disposed" listener of a registry engine that has async twins.
// The twin of the running loop is disposed in place inside an awaited call
// (its connections closed on their loop), by a task of that loop when the
// dispose comes from a coroutine; the others, whose loops are not running
// (and may be closed), drop their connections without closing them.
struct DisposedArgs {
  Ref engine;
};
Ref on_engine_disposed(FunctionObject*, DisposedArgs& a) {
  Ref loops = loops_of(a.engine);
  if (loops.get() == Py_None) return none();
  Ref loop = running_loop();
  const bool bridged_here = in_greenlet();
  sweep_closed_loops(loops);
  Ref pairs = Ref::check(PyDict_Items(loops.get()));
  for_each(pairs, [&](Borrowed item) {
    auto kv = unpack<2>(item);
    Ref async_engine = Ref::borrow(PyTuple_GET_ITEM(kv[1].get(), 0));
    Ref sync_engine = getattr(async_engine, names->sync_engine);
    if (kv[0].get() != loop.get()) {
      call_kwargs(getattr(sync_engine, names->dispose), {}, {{"close", Py_False}});
    } else if (bridged_here) {
      call_method(sync_engine, names->dispose, {});
    } else {
      Ref disposing = call_method(async_engine, names->dispose, {});
      Ref task = call_method(loop, names->create_task, {disposing.get()});
      call_method(Borrowed(async_state.pending), names->add, {task.get()});
      call_method(task, names->add_done_callback, {getattr(Borrowed(async_state.pending), names->discard).get()});
    }
  });
  return none();
}

// ---------------------------------------------------------------------------
// Coroutine functions

// The shell: the coroutine that runs the sync wrapper in the bridge.
struct ShellVars {
  Ref inner;
  static auto fields() { return wisp::fields(&ShellVars::inner); }
};
struct ShellArgs {
  Ref args, kwargs;
};
Ref shell(FunctionObject* f, ShellArgs& a) {
  Ref inner = captured<ShellVars>(f).inner;
  return spawn(inner, a.args, a.kwargs);
}
Def* shell_def;

// A coroutine function's call, awaited in the greenlet running.
struct AwaitedVars {
  Ref func;
  static auto fields() { return wisp::fields(&AwaitedVars::func); }
};
Ref awaited(FunctionObject* f, ShellArgs& a) {
  Ref func = captured<AwaitedVars>(f).func;
  Ref awaitable = call_with(func, a.args, a.kwargs);
  Borrowed await_only =
      s_await_only.get([] { return import_attr("sqlalchemy.util", "await_only"); });
  return call(await_only, {awaitable.get()});
}
Def* awaited_def;

// ---------------------------------------------------------------------------
// transaction.__aenter__, __aexit__

struct SelfArgs {
  Ref self;
};
struct ExitArgs {
  Ref self, exc_type, exc_value, traceback;
};

// manager.__enter__() and manager.__exit__(exc_type, exc_value, traceback),
// each run in the bridge.
Ref enter_in_bridge(Borrowed manager) {
  Ref args = Ref::check(PyTuple_New(0));
  return spawn(getattr(manager, names->enter), args);
}
Ref exit_in_bridge(Borrowed manager, const ExitArgs& a) {
  Ref args = tuple({a.exc_type.get(), a.exc_value.get(), a.traceback.get()});
  return spawn(getattr(manager, names->exit), args);
}

Ref tx_aenter(FunctionObject*, SelfArgs& a) {
  return enter_in_bridge(a.self);
}
Ref tx_aexit(FunctionObject*, ExitArgs& a) {
  return exit_in_bridge(a.self, a);
}

// ---------------------------------------------------------------------------
// The async context manager over a sync one (_AsyncBlock, not a module
// global): entering and leaving run the sync manager's __enter__ and
// __exit__ in the bridge.

struct BlockInitArgs {
  Ref self, manager;
};
Ref block_init(FunctionObject*, BlockInitArgs& a) {
  setattr(a.self, names->manager, a.manager);
  return none();
}
Ref block_aenter(FunctionObject*, SelfArgs& a) {
  return enter_in_bridge(getattr(a.self, names->manager));
}
Ref block_aexit(FunctionObject*, ExitArgs& a) {
  return exit_in_bridge(getattr(a.self, names->manager), a);
}

// def __aenter__(self) and def __aexit__(self, exc_type, exc_value, traceback)
template <Ref (*Enter)(FunctionObject*, SelfArgs&), Ref (*Exit)(FunctionObject*, ExitArgs&)>
void add_async_steps(ClassBuilder& cb) {
  Def aenter = Def::of<Enter>("__aenter__");
  aenter.param("self", &SelfArgs::self);
  cb.method(aenter);
  Def aexit = Def::of<Exit>("__aexit__");
  aexit.param("self", &ExitArgs::self)
      .param("exc_type", &ExitArgs::exc_type)
      .param("exc_value", &ExitArgs::exc_value)
      .param("traceback", &ExitArgs::traceback);
  cb.method(aexit);
}

}  // namespace

namespace wisp::facade {

Ref spawn(Borrowed fn, Borrowed args, Borrowed kwargs) {
  require_module(names->greenlet, "wisp's async surface");
  Borrowed greenlet_spawn =
      s_greenlet_spawn.get([] { return import_attr("sqlalchemy.util", "greenlet_spawn"); });
  Ref no_kwargs;
  if (!kwargs) no_kwargs = new_dict();
  return call(greenlet_spawn,
              {async_state.bridge, fn.get(), args.get(), kwargs ? kwargs.get() : no_kwargs.get()});
}

Ref gateway_of(Borrowed globals, Borrowed entry) {
  if (!bridged()) return getitem(entry, names->db_gateway);
  Ref pair = async_pair(globals, entry);
  return Ref::borrow(PyTuple_GET_ITEM(pair.get(), 1));
}

Ref async_engine_of(Borrowed globals, Borrowed entry) {
  Ref pair = async_pair(globals, entry);
  return Ref::borrow(PyTuple_GET_ITEM(pair.get(), 0));
}

// Whether the module's `inspect` and its iscoroutinefunction are still the
// ones bound at import (the fast path of is_coroutine_function stands in for
// them only then).
static bool inspect_original(Borrowed globals) {
  Ref inspect = dict_get_ref(globals, names->inspect);
  if (inspect.get() != originals.inspect) return false;
  Borrowed test = dict_get(PyModule_GetDict(originals.inspect), names->iscoroutinefunction);
  return test.get() == async_state.iscoroutinefunction;
}

bool is_coroutine_function(Borrowed globals, Borrowed func) {
  Ref held = Ref::borrow(func.get());
  while (PyMethod_Check(held.get())) held = Ref::borrow(PyMethod_GET_FUNCTION(held.get()));
  // A function (ours or Python's) is one by its code's flag, or by the mark
  // inspect.markcoroutinefunction leaves in its __dict__; only a marked one
  // needs inspect to tell.
  bool plain = is_function(held) || PyFunction_Check(held.get());
  if (plain && inspect_original(globals)) {
    bool flagged = is_function(held)
                       ? reinterpret_cast<FunctionObject*>(held.get())->code->coroutine
                       : (reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(held.get()))
                              ->co_flags & CO_COROUTINE) != 0;
    if (flagged) return true;
    Ref dict = Ref::check(PyObject_GenericGetDict(held.get(), nullptr));
    if (!dict_get_ref(dict, names->coroutine_marker)) return false;
  }
  Ref inspect = global(globals, names->inspect);
  return truthy(call_method(inspect, names->iscoroutinefunction, {func.get()}));
}

Ref async_shell(FunctionObject* f, Borrowed func, Borrowed inner) {
  Ref made = shell_def->closure(f, ShellVars{Ref::borrow(inner.get())});
  return apply_wraps(global(f, names->wraps), func, made);
}

Ref awaiting(FunctionObject* f, Borrowed func) {
  if (PyMethod_Check(func.get())) {
    Borrowed target = twin_target(PyMethod_GET_FUNCTION(func.get()));
    if (target) return Ref::check(PyMethod_New(target, PyMethod_GET_SELF(func.get())));
  } else if (Borrowed target = twin_target(func)) {
    return Ref::borrow(target.get());
  }
  return awaited_def->closure(f, AwaitedVars{Ref::borrow(func.get())});
}

Ref async_block(Borrowed manager) {
  return call(Borrowed(async_state.block), {manager.get()});
}

void remember_engine(Borrowed engine, Borrowed options) {
  Ref kept = Ref::check(PyDict_Copy(options.get()));
  if (PyObject_SetItem(async_state.options, engine.get(), kept.get()) < 0) {
    // An engine that cannot be weakly referenced (a replaced create_engine
    // made it) gets the default options on the async side.
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_error();
    PyErr_Clear();
  }
}

void add_transaction_async(ClassBuilder& cb) {
  add_async_steps<tx_aenter, tx_aexit>(cb);
}

void make_async_bridge(Borrowed g) {
  async_state.bridge_var = call_kwargs(global(g, intern("ContextVar")), {str("wisp_bridge").get()},
                              {{"default", Py_None}})
                      .release();
  Def bridge_def = Def::of<bridge>("_bridge");
  bridge_def.param("fn", &BridgeArgs::fn)
      .param("args", &BridgeArgs::args)
      .param("kwargs", &BridgeArgs::kwargs);
  async_state.bridge = bridge_def.build(g).release();
  Ref weak_keyed = import_attr("weakref", "WeakKeyDictionary");
  async_state.iscoroutinefunction =
      getattr(global(g, names->inspect), names->iscoroutinefunction).release();
  async_state.engines = call(weak_keyed).release();
  async_state.options = call(weak_keyed).release();
  async_state.pending = Ref::check(PySet_New(nullptr)).release();
  Def disposed = Def::of<on_engine_disposed>("_engine_disposed");
  disposed.param("engine", &DisposedArgs::engine);
  async_state.on_disposed = disposed.build(g).release();
  // Not an observer of statements: the runner's fast paths stay open.
  engines::set_own_listener(engines::Own::EngineDisposed, async_state.on_disposed);

  shell_def = new Def(Def::of<shell>("wrapper"));
  shell_def->coroutine();
  shell_def->param("args", &ShellArgs::args, Kind::VarPos)
      .param("kwargs", &ShellArgs::kwargs, Kind::VarKw);
  awaited_def = new Def(Def::of<awaited>("awaited"));
  awaited_def->param("args", &ShellArgs::args, Kind::VarPos)
      .param("kwargs", &ShellArgs::kwargs, Kind::VarKw);

  ClassBuilder cb("_AsyncBlock", g);
  cb.doc("An async context manager over a sync one: its steps run in the bridge.");
  Def init = Def::of<block_init>("__init__");
  init.param("self", &BlockInitArgs::self).param("manager", &BlockInitArgs::manager);
  cb.method(init);
  add_async_steps<block_aenter, block_aexit>(cb);
  async_state.block = cb.make().release();
}

}  // namespace wisp::facade
