// wisp.db.query_runner: owned text statements without a Session (owned.h).
#include "owned.h"

#include <unordered_map>

#include "wisp/engines.h"
#include "wisp/generator.h"
#include "wisp/lru.h"
#include "wisp/protocol.h"

namespace wisp::db {

namespace {

struct Names {
  // engines, connections and their events
  PyObject *data_source = intern("data_source"), *dialect = intern("dialect"),
           *dispatch = intern("dispatch"), *has_events = intern("_has_events"),
           *execution_options = intern("_execution_options"),
           *should_log_info = intern("_should_log_info"),
           *parent_listeners = intern("parent_listeners"), *listeners = intern("listeners"),
           *begin = intern("begin"), *engine_disposed = intern("engine_disposed"),
           *connect = intern("connect"), *raw_connection = intern("raw_connection"),
           *handle_noconnection = intern("_handle_dbapi_exception_noconnection"),
           *handle_error = intern("_handle_dbapi_exception"),
           *rollback_impl = intern("_rollback_impl"), *loaded_dbapi = intern("loaded_dbapi"),
           *Error = intern("Error");
  // dialects
  PyObject *name = intern("name"), *driver = intern("driver"), *do_execute = intern("do_execute"),
           *execution_ctx_cls = intern("execution_ctx_cls"),
           *get_result_processor = intern("get_result_processor"),
           *translate_colname = intern("_translate_colname"),
           *broken_dotted_colnames = intern("_broken_dotted_colnames"),
           *requires_name_normalize = intern("requires_name_normalize"),
           *bind_typing = intern("bind_typing"), *type_descriptor = intern("type_descriptor"),
           *do_begin = intern("do_begin"), *do_commit = intern("do_commit");
  // compiled statements and their binds
  PyObject *compile = intern("compile"), *string = intern("string"),
           *positional = intern("positional"), *positiontup = intern("positiontup"),
           *binds = intern("binds"), *bind_processors = intern("_bind_processors"),
           *escaped_bind_names = intern("escaped_bind_names"),
           *literal_execute_params = intern("literal_execute_params"),
           *post_compile_params = intern("post_compile_params"), *key = intern("key"),
           *expanding = intern("expanding"), *literal_execute = intern("literal_execute"),
           *callable = intern("callable"), *value = intern("value"),
           *get_execution_options = intern("get_execution_options"),
           *exported_columns = intern("exported_columns");
  // connections, cursors
  PyObject *commit = intern("commit"), *rollback = intern("rollback"), *close = intern("close"),
           *cursor = intern("cursor"), *execute = intern("execute"),
           *dbapi_connection = intern("dbapi_connection"), *description = intern("description"),
           *fetchall = intern("fetchall"), *fetchone = intern("fetchone"),
           *lastrowid = intern("lastrowid"), *rowcount = intern("rowcount"),
           *BEGIN = intern("BEGIN");
  // the dialects whose text execution is known to add nothing to the driver's
  PyObject *sqlite = intern("sqlite"), *pysqlite = intern("pysqlite"), *mysql = intern("mysql"),
           *pymysql = intern("pymysql"), *postgresql = intern("postgresql"),
           *psycopg = intern("psycopg");
};
const Names* names;

struct State {
  bool usable = false;          // SQLAlchemy's structures read below are there
  PyObject* text_clause;        // sqlalchemy.TextClause
  PyObject* insert_type;        // sqlalchemy.sql.dml.Insert
  PyObject* engine_type;        // sqlalchemy.engine.Engine
  PyObject* connection_type;    // sqlalchemy.engine.Connection
  PyObject* session_listeners;  // the class-level listener lists of Session, per event
  PyObject* connection_events;  // the names of ConnectionEvents
  PyObject* default_do_execute;
  PyObject* default_result_processor;
  PyObject* null_type;      // NullType
  PyObject* null_type_obj;  // NULLTYPE
  PyObject* setinputsizes;  // BindTyping.SETINPUTSIZES
  PyObject* resource_closed;
  PyObject* no_rows;  // ResourceClosedError's message for a result without rows
  PyObject* kw_dialect;
  PyObject* no_params_positional;  // ()
};
State state;

// Dialect classes and whether their text execution can be done here.
std::unordered_map<PyObject*, bool> dialect_classes;

bool size_is_zero(Borrowed o) {
  Py_ssize_t n = PyObject_Size(o);
  if (n < 0) throw_error();
  return n == 0;
}

// ---------------------------------------------------------------------------
// Guards

bool no_session_listeners() {
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(state.session_listeners); ++i) {
    if (!size_is_zero(PyTuple_GET_ITEM(state.session_listeners, i))) return false;
  }
  return true;
}

// Whether `event` names `text`.
bool is_event(PyObject* event, PyObject* text) {
  return PyUnicode_CheckExact(event) && PyUnicode_Compare(event, text) == 0;
}

// The engine's listeners on Connection events are none, or only the
// package's own (engines.h): its BEGIN on "begin" (`own_begin` then tells
// the caller, who sends it) and its "engine_disposed".
bool only_own_listeners(Borrowed engine, bool& own_begin) {
  Ref dispatch = getattr(engine, names->dispatch);
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(state.connection_events); ++i) {
    PyObject* event = PyTuple_GET_ITEM(state.connection_events, i);
    Ref listening = getattr(dispatch, event);
    if (!size_is_zero(getattr(listening, names->parent_listeners))) return false;
    Ref own_list = getattr(listening, names->listeners);
    Py_ssize_t n = PyObject_Size(own_list.get());
    if (n < 0) throw_error();
    if (n == 0) continue;
    const bool begin = is_event(event, names->begin);
    if (n != 1 || !(begin || is_event(event, names->engine_disposed))) return false;
    PyObject* own =
        engines::own_listener(begin ? engines::Own::Begin : engines::Own::EngineDisposed);
    if (!own || Ref::check(PySequence_GetItem(own_list.get(), 0)).get() != own) return false;
    if (begin) own_begin = true;
  }
  return true;
}

// Whether the dialect's class runs a text statement as the driver does.
bool dialect_class_direct(Borrowed dialect) {
  PyObject* cls = reinterpret_cast<PyObject*>(Py_TYPE(dialect.get()));
  auto it = dialect_classes.find(cls);
  if (it != dialect_classes.end()) return it->second;
  auto is = [&](PyObject* attr, PyObject* text) {
    Ref v = getattr(dialect, attr);
    return PyUnicode_CheckExact(v.get()) && PyUnicode_Compare(v.get(), text) == 0;
  };
  bool ok = (is(names->name, names->sqlite) && is(names->driver, names->pysqlite)) ||
            (is(names->name, names->mysql) && is(names->driver, names->pymysql)) ||
            (is(names->name, names->postgresql) && is(names->driver, names->psycopg));
  if (ok) {
    ok = !truthy(getattr(dialect, names->requires_name_normalize)) &&
         getattr(dialect, names->bind_typing).get() != state.setinputsizes &&
         PyObject_TypeCheck(
             call_method(dialect, names->type_descriptor, {state.null_type_obj}).get(),
             reinterpret_cast<PyTypeObject*>(state.null_type));
  }
  Py_INCREF(cls);  // kept with the answer
  dialect_classes.emplace(cls, ok);
  return ok;
}

// Whether statements of `engine` can run on its driver connection: nothing
// listens or logs, no execution option is set, the dialect is one we know.
bool engine_unobserved(Borrowed engine, Borrowed dialect, bool& own_begin) {
  own_begin = false;
  if (truthy(getattr(state.connection_type, names->has_events))) return false;
  if (truthy(getattr(dialect, names->has_events))) return false;
  if (!size_is_zero(getattr(engine, names->execution_options))) return false;
  if (truthy(call_method(engine, names->should_log_info, {}))) return false;
  if (!dialect_class_direct(dialect)) return false;
  // The steps a user may replace at any time, on the class or on the
  // dialect itself, are asked on every call.
  if (!bound_to(getattr(dialect, names->do_execute), state.default_do_execute, dialect)) {
    return false;
  }
  Ref ctx = getattr(dialect, names->execution_ctx_cls);
  if (getattr(ctx, names->get_result_processor).get() != state.default_result_processor) {
    return false;
  }
  Ref translate = getattr_opt(ctx, names->translate_colname);
  if (translate && translate.get() != Py_None) {
    // Dotted names are cut only by an SQLite too old to name columns plainly.
    Ref broken = getattr_opt(dialect, names->broken_dotted_colnames);
    if (!broken || truthy(broken)) return false;
  }
  if (truthy(getattr(engine, names->has_events)) && !only_own_listeners(engine, own_begin)) {
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Compiled forms: (sql, positional, names, keys, processors), or None for a
// clause that is not run here. `names` are the bind names in the order the
// driver takes them (positional) or one each (named), `keys` the names the
// driver sees, `processors` the bind processor of each or None.

Ref make_form(Borrowed clause, Borrowed dialect) {
  Ref compiled = call_method_kw(clause, names->compile, {dialect.get()}, state.kw_dialect);
  Ref sql = getattr(compiled, names->string);
  if (!PyUnicode_CheckExact(sql.get())) return none();
  if (!size_is_zero(getattr(compiled, names->literal_execute_params)) ||
      !size_is_zero(getattr(compiled, names->post_compile_params))) {
    return none();
  }
  Ref binds = getattr(compiled, names->binds);
  if (!PyDict_CheckExact(binds.get())) return none();
  // Every bind is a plain placeholder: no value or callable of its own, not
  // expanded or rendered.
  PyObject *name, *bind;
  Py_ssize_t pos = 0;
  while (PyDict_Next(binds.get(), &pos, &name, &bind)) {
    Ref bind_ref = Ref::borrow(bind), name_ref = Ref::borrow(name);
    Ref key = getattr(bind_ref, names->key);
    if (!PyUnicode_CheckExact(name_ref.get()) || !PyUnicode_CheckExact(key.get()) ||
        PyUnicode_Compare(key.get(), name_ref.get()) != 0 ||
        truthy(getattr(bind_ref, names->expanding)) ||
        truthy(getattr(bind_ref, names->literal_execute)) ||
        getattr(bind_ref, names->callable).get() != Py_None ||
        getattr(bind_ref, names->value).get() != Py_None) {
      return none();
    }
  }
  const bool positional = truthy(getattr(compiled, names->positional));
  Ref order_names;
  if (positional) {
    Ref order = getattr(compiled, names->positiontup);
    if (order.get() == Py_None) return none();
    order_names = Ref::check(PySequence_Tuple(order.get()));
  } else {
    order_names = Ref::check(PySequence_Tuple(binds.get()));
  }
  Ref processors = getattr(compiled, names->bind_processors);
  Ref escaped = getattr(compiled, names->escaped_bind_names);
  const Py_ssize_t n = PyTuple_GET_SIZE(order_names.get());
  Ref keys = Ref::check(PyTuple_New(n));
  Ref procs = Ref::check(PyTuple_New(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref bind_name = Ref::borrow(PyTuple_GET_ITEM(order_names.get(), i));
    if (!PyUnicode_CheckExact(bind_name.get()) ||
        !check(PySequence_Contains(binds.get(), bind_name.get()))) {
      return none();
    }
    Ref proc = PyDict_Check(processors.get()) ? dict_get_ref(processors, bind_name) : Ref();
    if (!PyDict_Check(processors.get()) && !size_is_zero(processors)) return none();
    PyTuple_SET_ITEM(procs.get(), i, proc ? proc.release() : Py_NewRef(Py_None));
    Ref key = PyDict_Check(escaped.get()) ? dict_get_ref(escaped, bind_name) : Ref();
    if (!PyDict_Check(escaped.get()) && !size_is_zero(escaped)) return none();
    PyTuple_SET_ITEM(keys.get(), i, key ? key.release() : bind_name.new_ref());
  }
  return tuple(
      {sql.get(), positional ? Py_True : Py_False, order_names.get(), keys.get(), procs.get()});
}

// The form of `clause` for `dialect`: kept in the shared clause cache, made
// on first use. None when the clause is not one the cache holds (a clause
// made anew on every call would be compiled on every call) or is not run
// here.
Ref form_of(Borrowed clause, Borrowed dialect) {
  ClauseCache& cache = ClauseCache::shared();
  if (Ref kept = cache.form(clause, dialect)) return kept;
  if (!cache.holds(clause)) return none();
  Ref form;
  try {
    form = make_form(clause, dialect);
  } catch (const PyError&) {
    if (!clear_ordinary_exception()) throw;
    form = none();  // the full path raises what compiling it raises
  }
  cache.keep_form(clause, dialect, form);
  return form;
}

// Whether `params` (None or an exact dict) give every bind of `form`.
bool gives_every_bind(Borrowed form, Borrowed params) {
  PyObject* bind_names = PyTuple_GET_ITEM(form.get(), 2);
  if (params.get() == Py_None) return PyTuple_GET_SIZE(bind_names) == 0;
  if (!PyDict_CheckExact(params.get())) return false;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bind_names); ++i) {
    if (!check(PyDict_Contains(params.get(), PyTuple_GET_ITEM(bind_names, i)))) return false;
  }
  return true;
}

// The driver's parameters for `form` from `params`, processed as
// SQLAlchemy processes them: a tuple in placeholder order, or a dict.
Ref driver_params(Borrowed form, Borrowed params) {
  const bool positional = PyTuple_GET_ITEM(form.get(), 1) == Py_True;
  PyObject* bind_names = PyTuple_GET_ITEM(form.get(), 2);
  PyObject* keys = PyTuple_GET_ITEM(form.get(), 3);
  PyObject* procs = PyTuple_GET_ITEM(form.get(), 4);
  const Py_ssize_t n = PyTuple_GET_SIZE(bind_names);
  Ref out = positional ? Ref::check(PyTuple_New(n)) : new_dict();
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref value = dict_get_ref(params, PyTuple_GET_ITEM(bind_names, i));
    if (!value) raise(PyExc_KeyError, "a bind parameter went missing");
    PyObject* proc = PyTuple_GET_ITEM(procs, i);
    if (proc != Py_None) value = call(proc, {value.get()});
    if (positional) {
      PyTuple_SET_ITEM(out.get(), i, value.release());
    } else {
      dict_set(out, PyTuple_GET_ITEM(keys, i), value);
    }
  }
  return out;
}

// ---------------------------------------------------------------------------
// Rows

// The column names of a cursor's description.
Ref column_names(Borrowed description) {
  Ref columns = new_list();
  for_each(description, [&](Borrowed column) {
    list_append(columns, Ref::check(PySequence_GetItem(column, 0)));
  });
  return columns;
}

// One row as a dict by the column names; a later column of the same name
// overwrites an earlier one, as Row._asdict does.
Ref row_dict(Borrowed columns, Borrowed row) {
  Ref values = Ref::check(PySequence_Fast(row, "a row must be a sequence"));
  const Py_ssize_t n = PyList_GET_SIZE(columns.get());
  if (PySequence_Fast_GET_SIZE(values.get()) != n) {
    raise(PyExc_ValueError, "a row does not match its description");
  }
  Ref out = new_dict();
  PyObject** items = PySequence_Fast_ITEMS(values.get());
  for (Py_ssize_t i = 0; i < n; ++i) dict_set(out, PyList_GET_ITEM(columns.get(), i), items[i]);
  return out;
}

// Closes a cursor as SQLAlchemy's results do: an ordinary error is ignored.
void close_cursor(Borrowed cursor) {
  try {
    call_method(cursor, names->close, {});
  } catch (const PyError&) {
    if (!clear_ordinary_exception()) throw;
  }
}

// What a result without rows says when rows are asked of it; its cursor is
// closed already, as SQLAlchemy closes it once the statement has run.
[[noreturn]] void no_rows(Borrowed cursor) {
  close_cursor(cursor);
  Ref exc = call(state.resource_closed, {state.no_rows});
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
  throw PyError{};
}

// ---------------------------------------------------------------------------
// The driver connection

// A pooled driver connection used for one owned operation, with the
// Connection made over it when a failure needs SQLAlchemy's handling.
class DriverRun {
 public:
  DriverRun(Borrowed engine, Borrowed dialect) : engine_(engine), dialect_(dialect) {}

  // engine.raw_connection(), a driver error wrapped as a new Connection
  // would wrap it.
  void check_out() {
    try {
      fairy_ = call_method(engine_, names->raw_connection, {});
    } catch (const PyError&) {
      Ref exc = fetch_exception();
      if (PyErr_GivenExceptionMatches(exc.get(), dbapi_error().get())) {
        while_handling(exc, [&] {
          call_method(state.connection_type, names->handle_noconnection,
                      {exc.get(), dialect_.get(), engine_.get()});
        });
      }
      restore_exception(std::move(exc));
      throw;
    }
  }

  Borrowed fairy() const { return fairy_; }

  Ref connection() {
    if (!connection_) connection_ = call(state.connection_type, {engine_.get(), fairy_.get()});
    return connection_;
  }

  // Runs `step`, a call into the driver; a failure is handled by the
  // Connection as it handles one at that point (`statement` and `params`
  // as it passes them, or null), which wraps it, closes the cursor,
  // invalidates a lost connection and rolls back.
  template <class F>
  Ref driver_step(Borrowed statement, Borrowed params, Borrowed cursor, F&& step,
                  bool statement_for_driver_errors_only = false) {
    try {
      return step();
    } catch (...) {
      translate_exception();
      Ref exc = fetch_exception();
      Borrowed shown = statement;
      if (statement_for_driver_errors_only &&
          !PyErr_GivenExceptionMatches(exc.get(), dbapi_error().get())) {
        shown = Borrowed();
      }
      handled_ = true;
      while_handling(exc, [&] {
        call_method(connection(), names->handle_error,
                    {exc.get(), shown ? shown.get() : Py_None, params ? params.get() : Py_None,
                     cursor ? cursor.get() : Py_None, Py_None});
      });
      restore_exception(std::move(exc));
      throw PyError{};
    }
  }

  // Runs `step`; should it fail, the connection goes back to the pool, with
  // the transaction rolled back once begun (clean_up), and the failure goes
  // on to the caller.
  template <class F>
  void or_give_back(bool begun, F&& step) {
    try {
      step();
    } catch (...) {
      translate_exception();
      Ref exc = fetch_exception();
      clean_up(exc, begun);
      restore_exception(std::move(exc));
      throw PyError{};
    }
  }

 private:
  // After a failure with `exc` in flight: a transaction the handling did not
  // roll back is rolled back (once begun), and the connection goes back to
  // the pool, as the session's rollback and close would do.
  void clean_up(Ref& exc, bool begun) {
    if (begun && !handled_) {
      while_handling(exc, [&] { call_method(connection(), names->rollback_impl, {}); });
    }
    while_handling(exc, [&] {
      if (connection_) {
        call_method(connection_, names->close, {});
      } else {
        call_method(fairy_, names->close, {});
      }
    });
  }

  Ref dbapi_error() {
    Ref dbapi = getattr(dialect_, names->loaded_dbapi);
    return getattr(dbapi, names->Error);
  }

  Borrowed engine_, dialect_;
  Ref fairy_;
  Ref connection_;
  bool handled_ = false;
};

// One statement on the driver connection; its value.
Ref run_statement(DriverRun& run, const Statement& st, Borrowed form) {
  Borrowed sql = PyTuple_GET_ITEM(form.get(), 0);
  Ref listed = Ref::check(PyList_New(1));
  PyList_SET_ITEM(listed.get(), 0, Py_NewRef(st.params.get()));
  Ref params, cursor;
  run.driver_step(sql, listed, Borrowed(), [&] {
    params = st.params.get() == Py_None ? (PyTuple_GET_ITEM(form.get(), 1) == Py_True
                                               ? Ref::borrow(state.no_params_positional)
                                               : new_dict())
                                        : driver_params(form, st.params);
    cursor = call_method(run.fairy(), names->cursor, {});
    return none();
  });
  Ref description, count;
  run.driver_step(
      sql, params, cursor,
      [&] {
        call_method(cursor, names->execute, {sql.get(), params.get()});
        description = getattr(cursor, names->description);
        if (st.yield == Yield::RowCount) count = getattr(cursor, names->rowcount);
        return none();
      },
      true);
  Ref value;
  switch (st.yield) {
    case Yield::RowCount:
      value = count;
      break;
    case Yield::LastRowId:
      value = run.driver_step(Borrowed(), Borrowed(), cursor,
                              [&] { return getattr(cursor, names->lastrowid); });
      break;
    case Yield::FirstAsDict:
    case Yield::Scalar: {
      if (description.get() == Py_None) no_rows(cursor);
      Ref row = run.driver_step(Borrowed(), Borrowed(), cursor,
                                [&] { return call_method(cursor, names->fetchone, {}); });
      if (row.get() == Py_None) {
        value = none();
      } else if (st.yield == Yield::Scalar) {
        value = Ref::check(PySequence_GetItem(row.get(), 0));
      } else {
        value = row_dict(column_names(description), row);
      }
      break;
    }
    case Yield::RowsAsDicts: {
      if (description.get() == Py_None) no_rows(cursor);
      Ref rows = run.driver_step(Borrowed(), Borrowed(), cursor,
                                 [&] { return call_method(cursor, names->fetchall, {}); });
      Ref columns = column_names(description);
      value = new_list();
      for_each(rows, [&](Borrowed row) { list_append(value, row_dict(columns, row)); });
      break;
    }
  }
  close_cursor(cursor);
  return value;
}

// ---------------------------------------------------------------------------
// The Connection standing in for the session

// The scope of get_session over a Connection: begun by its first statement,
// committed on success, rolled back on an Exception, closed in every case.
class ConnectionScope : public ContextBody {
 public:
  ConnectionScope(Borrowed engine, Ref connection)
      : engine_(Ref::borrow(engine)), connection_(std::move(connection)) {}

 protected:
  Ref enter() override {
    if (!connection_) connection_ = call_method(engine_, names->connect, {});
    return connection_;
  }
  void on_success() override { call_method(connection_, names->commit, {}); }
  void on_error(Borrowed) override { call_method(connection_, names->rollback, {}); }
  void on_finally() override { call_method(connection_, names->close, {}); }
  int traverse(visitproc visit, void* arg) override {
    Py_VISIT(engine_.get());
    Py_VISIT(connection_.get());
    return 0;
  }

 private:
  Ref engine_;
  Ref connection_;
};

Ref on_a_connection(Borrowed engine, Ref connection, FnRef<Ref(Borrowed)> body) {
  ++engines::path_counts().connection;
  ConnectionScope scope(engine, std::move(connection));
  return scope.run_inline([&](Borrowed c) { return body(c); });
}

constexpr size_t kMaxStatements = 2;

}  // namespace

// ---------------------------------------------------------------------------

bool plain_text(Borrowed statement) {
  return state.usable &&
         Py_TYPE(statement.get()) == reinterpret_cast<PyTypeObject*>(state.text_clause);
}

bool plain_insert(Borrowed statement, Borrowed params) {
  if (!state.usable || params.get() != Py_None ||
      Py_TYPE(statement.get()) != reinterpret_cast<PyTypeObject*>(state.insert_type)) {
    return false;
  }
  return size_is_zero(call_method(statement, names->get_execution_options, {})) &&
         size_is_zero(getattr(statement, names->exported_columns));
}

bool sessionless(Borrowed runner, bool sessionmaker_original, Ref& engine) {
  if (!state.usable || !sessionmaker_original) return false;
  Ref bind = getattr(runner, names->data_source);
  if (Py_TYPE(bind.get()) != reinterpret_cast<PyTypeObject*>(state.engine_type)) return false;
  if (!no_session_listeners()) return false;
  engine = std::move(bind);
  return true;
}

bool unobserved(Borrowed engine) {
  if (!state.usable) return false;
  try {
    Ref dialect = getattr(engine, names->dialect);
    bool own_begin = false;
    return engine_unobserved(engine, dialect, own_begin);
  } catch (const PyError&) {
    // An engine or dialect not shaped as expected counts as observed.
    if (!clear_ordinary_exception()) throw;
    return false;
  }
}

Ref run_on_connection(Borrowed engine, FnRef<Ref(Borrowed)> body) {
  return on_a_connection(engine, Ref(), body);
}

Ref run_owned(Borrowed engine, const Statement* statements, size_t count,
              FnRef<Ref(std::vector<Ref>&)> assemble, FnRef<Ref(Borrowed)> on_connection) {
  Ref dialect = getattr(engine, names->dialect);
  bool own_begin = false, unobserved = false;
  try {
    unobserved = count <= kMaxStatements && engine_unobserved(engine, dialect, own_begin);
  } catch (const PyError&) {
    // An engine or dialect not shaped as expected is simply not skipped.
    if (!clear_ordinary_exception()) throw;
  }
  if (!unobserved) return on_a_connection(engine, Ref(), on_connection);
  DriverRun run(engine, dialect);
  run.check_out();
  // Compiled once the pool has connected: the first connection initialises
  // the dialect, and SQLAlchemy compiles after it too.
  Ref forms[kMaxStatements];
  bool direct = true;
  run.or_give_back(false, [&] {
    for (size_t i = 0; i < count && direct; ++i) {
      forms[i] = form_of(statements[i].clause, dialect);
      direct = forms[i].get() != Py_None && gives_every_bind(forms[i], statements[i].params);
    }
  });
  if (!direct) {
    Ref connection;
    run.or_give_back(false, [&] { connection = run.connection(); });
    return on_a_connection(engine, std::move(connection), on_connection);
  }

  ++engines::path_counts().driver;
  if (own_begin) {
    // What the package's listener does on "begin"; its failure is not
    // wrapped, as SQLAlchemy does not wrap a listener's.
    run.or_give_back(false, [&] {
      Ref driver_connection = getattr(run.fairy(), names->dbapi_connection);
      call_method(driver_connection, names->execute, {names->BEGIN});
    });
  }
  std::vector<Ref> values;
  run.or_give_back(true, [&] {
    run.driver_step(Borrowed(), Borrowed(), Borrowed(),
                    [&] { return call_method(dialect, names->do_begin, {run.fairy().get()}); });
    for (size_t i = 0; i < count; ++i) {
      values.push_back(run_statement(run, statements[i], forms[i]));
    }
    run.driver_step(Borrowed(), Borrowed(), Borrowed(),
                    [&] { return call_method(dialect, names->do_commit, {run.fairy().get()}); });
  });
  call_method(run.fairy(), names->close, {});
  return assemble(values);
}

void init_owned() {
  names = new Names();
  state.kw_dialect = names_tuple({"dialect"}).release();
  state.no_params_positional = Ref::check(PyTuple_New(0)).release();
  state.text_clause = import_attr("sqlalchemy", "TextClause").release();
  state.insert_type = import_attr("sqlalchemy.sql.dml", "Insert").release();
  state.engine_type = import_attr("sqlalchemy.engine", "Engine").release();
  state.connection_type = import_attr("sqlalchemy.engine", "Connection").release();
  state.resource_closed = import_attr("sqlalchemy.exc", "ResourceClosedError").release();
  state.no_rows =
      intern("This result object does not return rows. It has been closed automatically.");
  try {
    Ref session = import_attr("sqlalchemy.orm", "Session");
    Ref for_class = getattr(getattr(session, names->dispatch), intern("_for_class"));
    Ref dispatch = call(for_class, {session.get()});
    Ref session_events =
        Ref::check(PySequence_Tuple(getattr(dispatch, intern("_event_names")).get()));
    Ref lists = Ref::check(PyTuple_New(PyTuple_GET_SIZE(session_events.get())));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(session_events.get()); ++i) {
      Ref listening = getattr(dispatch, PyTuple_GET_ITEM(session_events.get(), i));
      PyTuple_SET_ITEM(lists.get(), i, getattr(listening, names->parent_listeners).release());
    }
    Ref engine_dispatch = getattr(state.engine_type, names->dispatch);
    Ref event_names = getattr(engine_dispatch, intern("_event_names"));
    Ref events = Ref::check(PySequence_Tuple(event_names.get()));
    Ref default_dialect = import_attr("sqlalchemy.engine.default", "DefaultDialect");
    Ref default_context = import_attr("sqlalchemy.engine.default", "DefaultExecutionContext");
    state.default_do_execute = getattr(default_dialect, names->do_execute).release();
    state.default_result_processor =
        getattr(default_context, names->get_result_processor).release();
    state.null_type = import_attr("sqlalchemy.sql.sqltypes", "NullType").release();
    state.null_type_obj = import_attr("sqlalchemy.sql.sqltypes", "NULLTYPE").release();
    state.setinputsizes =
        getattr(import_attr("sqlalchemy.engine.interfaces", "BindTyping"), intern("SETINPUTSIZES"))
            .release();
    for (PyObject* needed :
         {names->handle_error, names->handle_noconnection, names->rollback_impl}) {
      getattr(state.connection_type, needed);
    }
    state.session_listeners = lists.release();
    state.connection_events = events.release();
    state.usable = true;
  } catch (const PyError&) {
    // Another SQLAlchemy than the one this was written against: every owned
    // statement keeps its Session.
    if (!clear_ordinary_exception()) throw;
  }
}

}  // namespace wisp::db
