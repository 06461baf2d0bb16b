// wisp.db.query_runner: runs one statement or ORM operation on an owned or a
// borrowed session, and pages text selects.
//
// Every operation is one action inside `get_session(con)`. When the class's
// own `get_session` is in force the scope is run inline, with exactly the
// steps of the context manager; an override is honoured through the `with`
// protocol.
#include <iterator>
#include <memory>
#include <utility>

#include "methods.h"
#include "owned.h"
#include "sessions.h"
#include "sql_scanners.h"
#include "wisp/engines.h"
#include "wisp/generator.h"
#include "wisp/lru.h"
#include "wisp/protocol.h"

using namespace wisp;
using db::Ann;

namespace {

struct Names {
  // module globals the bodies read
  PyObject *text = intern("text"), *count_query = intern("count_query"),
           *limit_query = intern("limit_query");
  // attributes and methods of the runner, sessions, results, rows and pages
  PyObject *data_source = intern("data_source"), *get_session = intern("get_session"),
           *execute = intern("execute"), *commit = intern("commit"), *rollback = intern("rollback"),
           *insert_orm2 = intern("insert_orm2"),
           *close = intern("close"), *add = intern("add"), *add_all = intern("add_all"),
           *flush = intern("flush"), *bulk_update_mappings = intern("bulk_update_mappings"),
           *get_nested_transaction = intern("get_nested_transaction"),
           *update = intern("update"), *update_orm2 = intern("update_orm2");
  PyObject *get_bind = intern("get_bind"), *dialect = intern("dialect"), *name = intern("name"),
           *connection = intern("connection"), *exec_driver_sql = intern("exec_driver_sql"),
           *returns_rows = intern("returns_rows"), *orig = intern("orig"),
           *sqlstate = intern("sqlstate");
  PyObject *first = intern("first"), *all = intern("all"), *scalar = intern("scalar"),
           *scalars = intern("scalars"), *scalar_one_or_none = intern("scalar_one_or_none"),
           *asdict = intern("_asdict"), *keys = intern("keys"), *lastrowid = intern("lastrowid"),
           *rowcount = intern("rowcount"), *bindparams = intern("bindparams");
  PyObject *pageNum = intern("pageNum"), *pageSize = intern("pageSize"), *total = intern("total"),
           *list = intern("list"), *page_size = intern("page_size"),
           *page_offset = intern("page_offset");
  // str methods and the pieces of the count and page statements
  PyObject *strip = intern("strip"), *rstrip = intern("rstrip"), *semicolon = intern(";"),
           *simple_count = intern("SELECT COUNT(*) as count FROM "),
           *wrap_open = intern("select count(*) from ( "), *wrap_close = intern(" ) temp"),
           *limit_tail = intern(" limit :page_size offset :page_offset"), *newline = intern("\n");
  // PostgreSQL: its dialect name, and what reads the key an INSERT drew
  // from a sequence
  PyObject *postgresql = intern("postgresql"), *discard_sequences = intern("DISCARD SEQUENCES"),
           *key_savepoint = intern("SAVEPOINT wisp_inserted_key"),
           *key_release = intern("RELEASE SAVEPOINT wisp_inserted_key"),
           *key_rollback = intern("ROLLBACK TO SAVEPOINT wisp_inserted_key"),
           *select_lastval = intern("SELECT lastval()"),
           *lastval_undefined = intern("55000");  // object_not_in_prerequisite_state
};
const Names* names;

// Objects captured at import that the fast paths compare against.
struct State {
  PyObject* get_session;  // the contextmanager stored as QueryRunner.get_session
  PyObject* count_query;  // the module's own count_query
  PyObject* limit_query;  // the module's own limit_query
  ClauseCache* clauses;   // text clauses of count and page statements seen before
  PyObject* one;          // 1
  PyObject* kw_page;      // ("page_size", "page_offset")
  PyObject* row_type;     // sqlalchemy.engine.row.Row
  PyObject* row_asdict;   // Row._asdict as imported
  PyObject* dbapi_error;  // sqlalchemy.exc.DBAPIError
  PyObject* runner_cls;   // QueryRunner as the module made it
  PyObject* insert_orm2;  // its own insert_orm2
  PyObject* globals;      // the module namespace
};
State state;
db::SessionFactory sessions;

// ---------------------------------------------------------------------------
// Sessions

// The scope of get_session: commit and close an owned session, roll back
// on an Exception, close an owned session in every case.
//
// A borrowed session inside a SAVEPOINT (begin_nested()) of its owner is
// rolled back to that savepoint only: Session.rollback() would end the
// owner's whole transaction, with every savepoint around the statement,
// while the owner goes on as if only the savepoint's work were gone.
class SessionScope : public ContextBody {
 public:
  SessionScope(Ref self, Ref session, Ref globals)
      : self_(std::move(self)), session_(std::move(session)), globals_(std::move(globals)) {}

 protected:
  Ref enter() override {
    auto_close_ = true;
    if (truthy(session_)) {
      auto_close_ = false;
    } else {
      session_ = sessions.make(globals_, getattr(self_, names->data_source));
    }
    return session_;
  }
  void on_success() override {
    if (auto_close_) call_method(session_, names->commit, {});
  }
  void on_error(Borrowed) override {
    if (!auto_close_) {
      Ref nested_of = getattr_opt(session_, names->get_nested_transaction);
      Ref nested = nested_of ? call(nested_of) : Ref();
      if (nested && nested.get() != Py_None) {
        call_method(nested, names->rollback, {});
        return;
      }
    }
    call_method(session_, names->rollback, {});
  }
  void on_finally() override {
    if (auto_close_) call_method(session_, names->close, {});
  }
  int traverse(visitproc visit, void* arg) override {
    Py_VISIT(self_.get());
    Py_VISIT(session_.get());
    Py_VISIT(globals_.get());
    return 0;
  }

 private:
  Ref self_;
  Ref session_;
  Ref globals_;
  bool auto_close_ = true;
};

// Whether `self.get_session` is the class's own scope; otherwise the
// override, in `gs`.
bool own_scope(Borrowed self, Ref& gs) {
  gs = getattr(self, names->get_session);
  return bound_to(gs, state.get_session, self);
}

// `with self.get_session(con) as session: value = body(session)`; returns
// value once the scope has exited (None when an overriding scope swallowed
// the body's exception).
template <class F>
Ref in_session(FunctionObject* f, Borrowed self, Borrowed con, F&& body) {
  Ref gs;
  if (own_scope(self, gs)) {
    // The class's own scope, inline.
    gs.reset();
    if (!truthy(con)) ++engines::path_counts().session;
    SessionScope scope(Ref::borrow(self), Ref::borrow(con), Ref::borrow(f->globals));
    return scope.run_inline(std::forward<F>(body));
  }
  Ref cm = call(gs, {con.get()});
  Ref value = with(cm, std::forward<F>(body));
  return value ? value : none();
}

// The engine an owned statement of `self` runs on without a Session
// (owned.h), or null when it keeps its Session.
// `globals` is the module namespace, whose sessionmaker the session is
// made with.
Ref sessionless_engine(Borrowed globals, Borrowed self, Borrowed con) {
  Ref gs, engine;
  if (truthy(con) || !own_scope(self, gs)) return Ref();
  gs.reset();
  if (!db::sessionless(self, sessions.original(globals), engine)) return Ref();
  return engine;
}

bool is_postgresql(Borrowed dialect) {
  Ref name = getattr(dialect, names->name);
  return PyUnicode_Check(name.get()) && PyUnicode_Compare(name.get(), names->postgresql) == 0;
}

// Whether `session` runs on PostgreSQL: the dialect of session.get_bind().
// A borrowed object without get_bind is taken as it always was. A
// Connection standing in for an owned session (`stand_in`) has its own.
bool on_postgresql(Borrowed session, bool stand_in = false) {
  if (stand_in) return is_postgresql(getattr(session, names->dialect));
  Ref get_bind = getattr_opt(session, names->get_bind);
  if (!get_bind) return false;
  return is_postgresql(getattr(call(get_bind), names->dialect));
}

// The result's column names as a list, when every row of it can be turned
// into a dict without `_asdict`: they are distinct str objects, and the rows
// are SQLAlchemy's own Row with its own `_asdict` (which is
// `dict(row._mapping)`, the names paired with the values in order).
// Otherwise a null Ref.
Ref plain_keys(Borrowed result, Borrowed first_row) {
  if (Py_TYPE(first_row.get()) != reinterpret_cast<PyTypeObject*>(state.row_type)) return {};
  Ref own = getattr(Borrowed(state.row_type), names->asdict);
  if (own.get() != state.row_asdict) return {};
  Ref keys = Ref::check(PySequence_List(call_method(result, names->keys, {}).get()));
  for (Py_ssize_t i = 0, n = PyList_GET_SIZE(keys.get()); i < n; ++i) {
    if (!PyUnicode_CheckExact(PyList_GET_ITEM(keys.get(), i))) return {};
  }
  Ref distinct = Ref::check(PySet_New(keys.get()));
  if (PySet_GET_SIZE(distinct.get()) != PyList_GET_SIZE(keys.get())) return {};
  return keys;
}

// `row._asdict()`, by the keys from plain_keys when there are; a row that is
// not a plain Row, or whose values do not match them in number, takes
// `_asdict` after all.
Ref row_as_dict(Borrowed row, Borrowed keys) {
  if (keys && Py_TYPE(row.get()) == reinterpret_cast<PyTypeObject*>(state.row_type)) {
    Ref values = Ref::check(PySequence_Tuple(row.get()));
    Py_ssize_t n = PyList_GET_SIZE(keys.get());
    if (PyTuple_GET_SIZE(values.get()) == n) {
      Ref out = new_dict();
      for (Py_ssize_t i = 0; i < n; ++i) {
        dict_set(out, PyList_GET_ITEM(keys.get(), i), PyTuple_GET_ITEM(values.get(), i));
      }
      return out;
    }
  }
  return call_method(row, names->asdict, {});
}

// [row._asdict() for row in result.all()]
Ref rows_as_dicts(Borrowed result) {
  Ref rows = call_method(result, names->all, {});
  Ref keys;
  if (PyList_CheckExact(rows.get()) && PyList_GET_SIZE(rows.get()) > 0) {
    keys = plain_keys(result, Ref::borrow(PyList_GET_ITEM(rows.get(), 0)));
  }
  Ref out = new_list();
  for_each(rows, [&](Borrowed row) { list_append(out, row_as_dict(row, keys)); });
  return out;
}

// data = <result>.first(); data._asdict() when truthy
Ref first_as_dict(Borrowed result) {
  Ref data = call_method(result, names->first, {});
  if (truthy(data)) return row_as_dict(data, plain_keys(result, data));
  return data;
}

// def get_session(self, session=None), wrapped by contextlib.contextmanager
struct GetSession {
  Ref self, session;
};
Ref get_session(FunctionObject* f, GetSession& args) {
  auto body = std::make_unique<SessionScope>(args.self, args.session, Ref::borrow(f->globals));
  return new_generator(std::move(body), f->name, f->qualname);
}

// ---------------------------------------------------------------------------
// QueryRunner's operations
//
// Each is `with self.get_session(con) as session:` around one call of a
// session method, whose result the operation turns into its value; `delete`
// and `delete_orm2` call `update` and `update_orm2` instead, with their own
// arguments.

enum class Then {
  Result,           // the call's result
  Nothing,          // None
  Flushed,          // session.flush(), then None
  InsertedKey,      // the new row's key (inserted_key)
  RowCount,         // result.rowcount
  FirstAsDict,      // the first row as a dict, or None
  ScalarOneOrNone,  // result.scalar_one_or_none()
  All,              // result.all()
  ScalarsAll,       // result.scalars().all()
  RowsAsDicts,      // [row._asdict() for row in result.all()]
  SameAsOnSelf,     // no scope: self.<call>(<every argument>)
};

// One operation: its parameters after self, the argument that is the
// session (`con`), the session method called and the arguments passed to
// it (slots of the call, self being 0), and what the value is made of.
struct Operation {
  const char* name;
  db::Params params;
  int con;
  PyObject* Names::* call;
  std::array<int, 2> args;
  Then then;
  const char* doc = nullptr;
  // A batch: an empty list of rows runs nothing (the driver would take it
  // for "no parameters" and run the statement once).
  bool batch = false;
};

constexpr db::Param kSql{"sql", Ann::TextClause}, kCon{"con", Ann::None, true},
    kArgs{"args", Ann::None, true}, kStatement{"statement"}, kData{"data", Ann::Any},
    kSqlParam{"sql_param", Ann::None, true};

constexpr const char* kBulkDoc =
    "\n"
    "        orm2.0 core or origin_sql\n"
    "        :param table_model:\n"
    "        :param arg_marks:\n"
    "        :param con:\n"
    "        :return:\n"
    "        ";

// In class order; select_page and get_session follow.
constexpr Operation kOperations[] = {
    {"insert", {kSql, kCon, kArgs}, 2, &Names::execute, {1, 3}, Then::InsertedKey},
    {"insert_list", {kSql, kCon, kArgs}, 2, &Names::execute, {1, 3}, Then::Nothing, nullptr, true},
    {"insert_orm2", {kStatement, {"data_list"}, kCon}, 3, &Names::execute, {1, 2}, Then::Result},
    {"add", {kData, kCon}, 2, &Names::add, {1, -1}, Then::Flushed},
    {"add_all", {kData, kCon}, 2, &Names::add_all, {1, -1}, Then::Flushed},
    {"delete", {kSql, kCon, kArgs}, 2, &Names::update, {}, Then::SameAsOnSelf},
    {"delete_orm2", {kStatement, kCon, kSqlParam}, 2, &Names::update_orm2, {}, Then::SameAsOnSelf},
    {"update_orm2", {kStatement, kCon, kSqlParam}, 2, &Names::execute, {1, 3}, Then::RowCount},
    {"update", {kSql, kCon, kArgs}, 2, &Names::execute, {1, 3}, Then::RowCount},
    {"bulk_update_mappings",
     {{{"table_model"}, {"arg_marks", Ann::ListOfDictOrNone, true}, kCon}},
     3,
     &Names::bulk_update_mappings,
     {1, 2},
     Then::Nothing,
     kBulkDoc},
    {"select_one_orm1", {kStatement, kCon}, 2, &Names::execute, {1, -1}, Then::FirstAsDict},
    {"select_one_orm2", {kStatement, kCon}, 2, &Names::execute, {1, -1}, Then::ScalarOneOrNone},
    {"select_all_orm1", {kStatement, kCon}, 2, &Names::execute, {1, -1}, Then::All},
    {"select_all_orm2", {kStatement, kCon}, 2, &Names::execute, {1, -1}, Then::ScalarsAll},
    {"select_one", {kSql, kCon, kArgs}, 2, &Names::execute, {1, 3}, Then::FirstAsDict},
    {"select_list", {kSql, kCon, kArgs}, 2, &Names::execute, {1, 3}, Then::RowsAsDicts},
};

Ref finish(Then then, Borrowed session, Ref result) {
  switch (then) {
    case Then::Result:
      return result;
    case Then::Nothing:
      return none();
    case Then::Flushed:
      call_method(session, names->flush, {});
      return none();
    case Then::RowCount:
      return getattr(result, names->rowcount);
    case Then::FirstAsDict:
      return first_as_dict(result);
    case Then::ScalarOneOrNone:
      return call_method(result, names->scalar_one_or_none, {});
    case Then::All:
      return call_method(result, names->all, {});
    case Then::ScalarsAll:
      return call_method(call_method(result, names->scalars, {}), names->all, {});
    case Then::RowsAsDicts:
      return rows_as_dicts(result);
    case Then::InsertedKey:  // made by inserted_key
    case Then::SameAsOnSelf:
      break;
  }
  return result;
}

// lastval() in a savepoint of its own: the value the session last drew from
// a sequence, or None when it drew none since DISCARD SEQUENCES (lastval()
// then fails, and the savepoint keeps that from aborting the transaction).
Ref last_sequence_value(Borrowed connection) {
  call_method(connection, names->exec_driver_sql, {names->key_savepoint});
  Ref value;
  try {
    value = call_method(call_method(connection, names->exec_driver_sql, {names->select_lastval}),
                        names->scalar, {});
  } catch (const PyError&) {
    Ref exc = fetch_exception();
    bool undefined = check(PyObject_IsInstance(exc.get(), state.dbapi_error)) == 1;
    if (undefined) {
      Ref code = getattr_opt(getattr(exc, names->orig), names->sqlstate);
      undefined = code && PyUnicode_Check(code.get()) &&
                  PyUnicode_Compare(code.get(), names->lastval_undefined) == 0;
    }
    if (!undefined) {
      restore_exception(std::move(exc));
      throw;
    }
    call_method(connection, names->exec_driver_sql, {names->key_rollback});
    value = none();
  }
  call_method(connection, names->exec_driver_sql, {names->key_release});
  return value;
}

// Whether a statement says it returns rows: a top-level RETURNING in its
// text, read as PostgreSQL reads it.
bool says_returning(Borrowed sql) {
  Ref sql_text = getattr_opt(sql, names->text);
  return sql_text && PyUnicode_Check(sql_text.get()) &&
         db::has_top_level_word(sql_text, "returning", db::kPostgres);
}

// The key of the row `session.execute(sql, args)` inserts. On MySQL and
// SQLite: the result's lastrowid. PostgreSQL has no last row id: the key is
// the first column of the first row the statement returns (INSERT ...
// RETURNING), else the value it drew from a sequence (serial and identity
// columns), read with lastval() on the same connection right after it.
// DISCARD SEQUENCES before the statement makes lastval() speak of this
// statement alone: after an insert that drew no value (a uuid key, a key
// given by the caller) it is undefined, and the key is None rather than a
// value an earlier statement drew. An insert that added no row (ON CONFLICT
// DO NOTHING) has no key either, whatever its defaults drew.
Ref inserted_key(Borrowed session, Borrowed sql, Borrowed args, bool stand_in) {
  if (!on_postgresql(session, stand_in)) {
    Ref result = call_method(session, names->execute, {sql.get(), args.get()});
    return getattr(result, names->lastrowid);
  }
  const bool returning = says_returning(sql);
  Ref connection = stand_in ? Ref::borrow(session) : call_method(session, names->connection, {});
  if (!returning) call_method(connection, names->exec_driver_sql, {names->discard_sequences});
  Ref result = call_method(session, names->execute, {sql.get(), args.get()});
  if (truthy(getattr(result, names->returns_rows))) {
    Ref row = call_method(result, names->first, {});
    if (row.get() == Py_None) return none();
    return Ref::check(PySequence_GetItem(row.get(), 0));
  }
  Ref count = getattr(result, names->rowcount);
  result.reset();
  if (returning || (PyLong_Check(count.get()) && check(PyObject_Not(count.get())))) return none();
  return last_sequence_value(connection);
}

// What a text operation's value is made of on the driver connection, which
// only dialects with a last row id reach.
bool driver_yield(Then then, db::Yield& yield) {
  switch (then) {
    case Then::InsertedKey:
      yield = db::Yield::LastRowId;
      return true;
    case Then::RowCount:
      yield = db::Yield::RowCount;
      return true;
    case Then::FirstAsDict:
      yield = db::Yield::FirstAsDict;
      return true;
    case Then::RowsAsDicts:
      yield = db::Yield::RowsAsDicts;
      return true;
    default:
      return false;
  }
}

Ref run_operation(FunctionObject* f, Ref* a, const Operation& op) {
  if (op.then == Then::SameAsOnSelf) {
    return call_method(a[0], names->*op.call, {a[1].get(), a[2].get(), a[3].get()});
  }
  if (op.batch) {
    PyObject* rows = a[op.args[1]].get();
    if ((PyList_CheckExact(rows) || PyTuple_CheckExact(rows)) && Py_SIZE(rows) == 0) return none();
  }
  // `stand_in`: a Connection stands in for the owned session.
  auto run = [&](Borrowed session, bool stand_in) {
    if (op.then == Then::InsertedKey) {
      return inserted_key(session, a[op.args[0]], a[op.args[1]], stand_in);
    }
    Ref result = op.args[1] < 0 ? call_method(session, names->*op.call, {a[op.args[0]].get()})
                                : call_method(session, names->*op.call,
                                              {a[op.args[0]].get(), a[op.args[1]].get()});
    return finish(op.then, session, std::move(result));
  };
  auto on_connection = [&](Borrowed c) { return run(c, true); };
  if (op.then == Then::Result && db::plain_insert(a[op.args[0]], a[op.args[1]])) {
    // A model's insert(...).values(...) (BaseMapper.insert).
    if (Ref engine = sessionless_engine(f->globals, a[0], a[op.con])) {
      return db::run_on_connection(engine, on_connection);
    }
  }
  // Text statements of an owned scope: without the Session when nothing
  // could tell (owned.h).
  if (op.params[0].ann == Ann::TextClause && db::plain_text(a[op.args[0]])) {
    if (Ref engine = sessionless_engine(f->globals, a[0], a[op.con])) {
      db::Yield yield;
      // PostgreSQL has no last row id: its key is read by inserted_key.
      if (!driver_yield(op.then, yield) ||
          (op.then == Then::InsertedKey && is_postgresql(getattr(engine, names->dialect)))) {
        return db::run_on_connection(engine, on_connection);
      }
      db::Statement statement{a[op.args[0]], a[op.args[1]], yield};
      return db::run_owned(
          engine, &statement, 1, [](std::vector<Ref>& values) { return values[0]; }, on_connection);
    }
  }
  return in_session(f, a[0], a[op.con], [&](Borrowed session) { return run(session, false); });
}

// A model's row as execution parameters of its kept insert statement
// (engines.h), for a runner of the module's own class whose insert_orm2
// and get_session are the class's own, in an owned scope on a Connection
// with nothing observing the engine: what insert_orm2 does with
// `statement.values(**row)` there, the Connection's execute given the row.
Ref runner_row_insert(Borrowed self, Borrowed statement, Borrowed row) {
  if (Py_TYPE(self.get()) != reinterpret_cast<PyTypeObject*>(state.runner_cls)) return Ref();
  if (!bound_to(getattr(self, names->insert_orm2), state.insert_orm2, self)) return Ref();
  if (!db::plain_insert(statement, Py_None)) return Ref();
  Ref engine = sessionless_engine(state.globals, self, Py_None);
  if (!engine || !db::unobserved(engine)) return Ref();
  return db::run_on_connection(engine, [&](Borrowed c) {
    return call_method(c, names->execute, {statement.get(), row.get()});
  });
}

template <size_t I>
Ref operation(FunctionObject* f, Ref* a) {
  return run_operation(f, a, kOperations[I]);
}

template <size_t... I>
void bind_operations(ClassBuilder& cls, const db::Annotations& ann, std::index_sequence<I...>) {
  (ann.method(cls, kOperations[I].name, operation<I>, kOperations[I].params, kOperations[I].doc),
   ...);
}

// def __init__(self, data_source)
struct Init {
  Ref self, data_source;
};
Ref init(FunctionObject*, Init& args) {
  setattr(args.self, names->data_source, args.data_source);
  return none();
}

// ---------------------------------------------------------------------------
// Paging

// sql.text.strip().rstrip(";")
Ref count_text(Borrowed sql) {
  Ref raw = getattr(sql, names->text);
  if (!PyUnicode_CheckExact(raw.get())) {
    Ref stripped = call_method(raw, names->strip, {});
    return call_method(stripped, names->rstrip, {names->semicolon});
  }
  Py_ssize_t begin, end;
  db::count_bounds(raw, begin, end);
  if (begin == 0 && end == PyUnicode_GET_LENGTH(raw.get())) return raw;
  return Ref::check(PyUnicode_Substring(raw.get(), begin, end));
}

// count_query(sql) in the module namespace `globals`. The clause comes from
// the module's clause cache while `text` is SQLAlchemy's own: a page asked
// for again counts with the clause made the first time.
//
// On PostgreSQL (`postgres`, for the pages the runner counts there) the
// text is read with its syntax, and the simple form may not keep a
// top-level ORDER BY, which PostgreSQL refuses beside COUNT(*) with no
// GROUP BY: an ORDER BY that ends the statement is left out (it changes no
// count), and one that a LIMIT, OFFSET, FETCH or FOR clause follows stays,
// inside the subquery form.
Ref count_clause(Borrowed globals, Borrowed sql, bool postgres = false) {
  Ref sql_text = count_text(sql);
  Ref q;
  const db::Syntax syntax = postgres ? db::kPostgres : db::Syntax{};
  Py_ssize_t cut = PyUnicode_Check(sql_text.get()) ? db::count_cut(sql_text, syntax) : -1;
  Py_ssize_t end = cut >= 0 ? PyUnicode_GET_LENGTH(sql_text.get()) : -1;
  if (postgres && cut >= 0) {
    db::OrderBy order = db::top_level_order_by(sql_text, cut, syntax);
    if (order.followed) {
      cut = -1;
    } else if (order.start >= 0) {
      end = db::statement_end(Ref::check(PyUnicode_Substring(sql_text.get(), 0, order.start)));
    }
  }
  if (cut >= 0) {
    Ref from_content = Ref::check(PyUnicode_Substring(sql_text.get(), cut, end));
    q = concat({names->simple_count, from_content.get()});
  } else if (db::ends_in_line_comment(sql_text)) {
    // A trailing line comment would swallow the closing parenthesis.
    q = concat({names->wrap_open, sql_text.get(), names->newline, names->wrap_close});
  } else {
    q = concat({names->wrap_open, sql_text.get(), names->wrap_close});
  }
  return state.clauses->text(global(globals, names->text), q);
}

// def count_query(sql: TextClause)
Ref count_query(FunctionObject* f, Ref* a) {
  return count_clause(f->globals, a[0]);
}

// The count statement of select_page: count_query(sql), read with
// PostgreSQL's syntax when the session runs there.
Ref page_count_query(FunctionObject* f, Borrowed session, Borrowed sql, bool stand_in) {
  GlobalRef count = global(f, names->count_query);
  if (count.get() == state.count_query) {
    return count_clause(f->globals, sql, on_postgresql(session, stand_in));
  }
  return call(count, {sql.get()});
}

// The statement text without trailing semicolons and blanks, so that the
// limit clause lands inside the statement.
Ref strip_statement_end(Ref s) {
  if (!PyUnicode_Check(s.get())) return call_method(s, names->rstrip, {});
  const Py_ssize_t end = db::statement_end(s);
  if (end == PyUnicode_GET_LENGTH(s.get())) return s;
  return Ref::check(PyUnicode_Substring(s.get(), 0, end));
}

// The pieces of limit_query(sql, page): the text with the limit clause and
// the offset of the page's first row.
struct LimitParts {
  Ref text;
  Ref start;
};

LimitParts limit_parts(Borrowed sql, Borrowed page) {
  Ref num = getattr(page, names->pageNum);
  Ref less = Ref::check(PyNumber_Subtract(num.get(), state.one));
  Ref size = getattr(page, names->pageSize);
  Ref start = Ref::check(PyNumber_Multiply(less.get(), size.get()));
  Ref body = strip_statement_end(getattr(sql, names->text));
  if (db::ends_in_line_comment(body)) {
    // The clause would land inside the comment and the page would silently
    // hold every row: start it on a line of its own.
    return {concat({body.get(), names->newline, names->limit_tail}), std::move(start)};
  }
  return {Ref::check(PyUnicode_Concat(body.get(), names->limit_tail)), std::move(start)};
}

// def limit_query(sql: TextClause, page: Page)
struct LimitQuery {
  Ref sql, page;
};
Ref limit_query(FunctionObject* f, LimitQuery& args) {
  LimitParts parts = limit_parts(args.sql, args.page);
  // bindparams returns a copy: the shared clause stays as it was made.
  Ref clause = state.clauses->text(global(f, names->text), parts.text);
  Ref bindparams = getattr(clause, names->bindparams);
  Ref page_size = getattr(args.page, names->pageSize);
  return call_kw(bindparams, {page_size.get(), parts.start.get()}, state.kw_page);
}

// The module's own limit_query(sql, page) run with `args` (None or an exact
// dict): the same statement, with the page values passed beside `args`
// rather than bound into a copy of the clause, which SQLAlchemy makes at a
// cost comparable to running the query. Values in `args` win, as they win
// over bound values.
void page_statement(FunctionObject* f, Borrowed sql, Borrowed page, Borrowed args, Ref& clause,
                    Ref& binds) {
  LimitParts parts = limit_parts(sql, page);
  clause = state.clauses->text(global(f, names->text), parts.text);
  binds = new_dict();
  dict_set(binds, names->page_size, getattr(page, names->pageSize));
  dict_set(binds, names->page_offset, parts.start);
  if (args.get() != Py_None) check(PyDict_Update(binds.get(), args.get()));
}

// The page query of select_page: limit_query(sql, page) run with `args`.
Ref run_page_query(FunctionObject* f, Borrowed session, Borrowed sql, Borrowed page,
                   Borrowed args) {
  GlobalRef limit = global(f, names->limit_query);
  if (limit.get() != state.limit_query ||
      !(args.get() == Py_None || PyDict_CheckExact(args.get()))) {
    Ref sql_str = call(limit, {sql.get(), page.get()});
    return call_method(session, names->execute, {sql_str.get(), args.get()});
  }
  Ref clause, binds;
  page_statement(f, sql, page, args, clause, binds);
  return call_method(session, names->execute, {clause.get(), binds.get()});
}

// def select_page(self, sql: TextClause, page: Page, con=None, args=None)
struct SelectPage {
  Ref self, sql, page, con, args;
};
Ref page_head(Borrowed page) {
  Ref page_result = new_dict();
  dict_set(page_result, names->pageNum, getattr(page, names->pageNum));
  dict_set(page_result, names->pageSize, getattr(page, names->pageSize));
  return page_result;
}

// The page query of an owned page on the driver connection: its clause and
// binds as run_page_query makes them, or false when working them out fails
// (the full path then raises it, after the count as always).
bool driver_page_statement(FunctionObject* f, Borrowed sql, Borrowed page, Borrowed args,
                           Ref& clause, Ref& binds) {
  try {
    page_statement(f, sql, page, args, clause, binds);
    return true;
  } catch (const PyError&) {
    if (!clear_ordinary_exception()) throw;
    return false;
  }
}

Ref select_page(FunctionObject* f, SelectPage& args) {
  auto run = [&](Borrowed s, bool stand_in) {
    Ref page_result = page_head(args.page);
    Ref count_sql = page_count_query(f, s, args.sql, stand_in);
    Ref counted = call_method(s, names->execute, {count_sql.get(), args.args.get()});
    dict_set(page_result, names->total, call_method(counted, names->scalar, {}));
    counted.reset();
    Ref result = run_page_query(f, s, args.sql, args.page, args.args);
    dict_set(page_result, names->list, rows_as_dicts(result));
    return page_result;
  };
  Ref engine =
      db::plain_text(args.sql) ? sessionless_engine(f->globals, args.self, args.con) : Ref();
  if (!engine) return in_session(f, args.self, args.con, [&](Borrowed s) { return run(s, false); });
  auto on_connection = [&](Borrowed c) { return run(c, true); };
  if (global(f, names->count_query).get() != state.count_query ||
      global(f, names->limit_query).get() != state.limit_query ||
      !state.clauses->serves(global(f, names->text)) ||
      !(args.args.get() == Py_None || PyDict_CheckExact(args.args.get()))) {
    return db::run_on_connection(engine, on_connection);
  }
  // Both statements on the driver connection, worked out beforehand: none
  // of this touches the database.
  Ref page_result = page_head(args.page);
  Ref dialect = getattr(engine, names->dialect);
  Ref count_sql = count_clause(f->globals, args.sql, is_postgresql(dialect));
  Ref page_sql, binds;
  if (!driver_page_statement(f, args.sql, args.page, args.args, page_sql, binds)) {
    return db::run_on_connection(engine, on_connection);
  }
  db::Statement statements[] = {{count_sql, args.args, db::Yield::Scalar},
                                {page_sql, binds, db::Yield::RowsAsDicts}};
  return db::run_owned(
      engine, statements, 2,
      [&](std::vector<Ref>& values) {
        dict_set(page_result, names->total, values[0]);
        dict_set(page_result, names->list, values[1]);
        return page_result;
      },
      on_connection);
}

// def __init__(self, page_num: int, page_size: int)
struct PageInit {
  Ref self, page_num, page_size;
};
Ref page_init(FunctionObject*, PageInit& args) {
  setattr(args.self, names->pageSize, args.page_size);
  setattr(args.self, names->pageNum, args.page_num);
  return none();
}

// @dataclass class PageInfo: four annotated fields defaulting to None
Ref make_page_info(Borrowed g) {
  ClassBuilder cb("PageInfo", g);
  cb.annotated("pageSize", &PyLong_Type, Py_None);
  cb.annotated("pageNum", &PyLong_Type, Py_None);
  cb.annotated("total", &PyLong_Type, Py_None);
  cb.annotated("list", &PyList_Type, Py_None);
  return dataclass(cb.make());
}

Ref make_page(Borrowed g) {
  ClassBuilder cb("Page", g);
  Def init_def = Def::of<page_init>("__init__");
  init_def.param("self", &PageInit::self)
      .param("page_num", &PageInit::page_num)
      .annotate(&PyLong_Type)
      .param("page_size", &PageInit::page_size)
      .annotate(&PyLong_Type);
  cb.method(init_def);
  return cb.make();
}

Ref make_query_runner(Borrowed g, Borrowed page_cls) {
  db::Annotations ann;
  ClassBuilder cb("QueryRunner", g);
  Def init_def = Def::of<init>("__init__");
  init_def.param("self", &Init::self).param("data_source", &Init::data_source);
  cb.method(init_def);
  bind_operations(cb, ann, std::make_index_sequence<std::size(kOperations)>());

  Def page_def = Def::of<select_page>("select_page");
  page_def.param("self", &SelectPage::self)
      .param("sql", &SelectPage::sql)
      .annotate(ann[Ann::TextClause])
      .param("page", &SelectPage::page)
      .annotate(page_cls)
      .param("con", &SelectPage::con)
      .def(Py_None)
      .param("args", &SelectPage::args)
      .def(Py_None);
  cb.method(page_def);

  Def session_def = Def::of<get_session>("get_session");
  session_def.generator();
  session_def.param("self", &GetSession::self).param("session", &GetSession::session).def(Py_None);
  Ref gen_fn = cb.method(session_def);
  Ref cm = call(import_attr("contextlib", "contextmanager"), {gen_fn.get()});
  cb.attr("get_session", cm);
  state.get_session = cm.release();
  return cb.make();
}

}  // namespace

WISP_MODULE(query_runner, names, g) {
  Ref text_clause = import_attr("sqlalchemy", "TextClause");
  dict_set(g, "re", import("re"));
  dict_set(g, "contextlib", import("contextlib"));
  dict_set(g, "Any", import_attr("typing", "Any"));
  dict_set(g, "TextClause", text_clause);
  Ref text_fn = import_attr("sqlalchemy", "text");
  dict_set(g, "text", text_fn);
  Ref sessionmaker = import_attr("sqlalchemy.orm", "sessionmaker");
  dict_set(g, "sessionmaker", sessionmaker);
  dict_set(g, "dataclass", import_attr("dataclasses", "dataclass"));

  state.one = Ref::check(PyLong_FromLong(1)).release();
  sessions.init(sessionmaker);
  state.kw_page = tuple({names->page_size, names->page_offset}).release();
  state.row_type = import_attr("sqlalchemy.engine.row", "Row").release();
  state.row_asdict = getattr(Borrowed(state.row_type), names->asdict).release();
  state.clauses = &ClauseCache::shared();
  db::init_owned();
  state.dbapi_error = import_attr("sqlalchemy.exc", "DBAPIError").release();

  dict_set(g, "PageInfo", make_page_info(g));
  Ref page_cls = make_page(g);
  dict_set(g, "Page", page_cls);
  Ref runner_cls = make_query_runner(g, page_cls);
  dict_set(g, "QueryRunner", runner_cls);
  state.insert_orm2 = getattr(runner_cls, names->insert_orm2).release();
  state.runner_cls = runner_cls.release();
  state.globals = Py_NewRef(g.get());
  engines::set_row_insert(engines::Layer::Runner, runner_row_insert);

  state.count_query =
      Def("count_query", count_query).param("sql").annotate(text_clause).bind(g, g).release();
  state.limit_query = Def::of<limit_query>("limit_query")
                      .param("sql", &LimitQuery::sql)
                      .annotate(text_clause)
                      .param("page", &LimitQuery::page)
                      .annotate(page_cls)
                      .bind(g, g)
                      .release();
}
