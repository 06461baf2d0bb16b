// wisp.db.db_gateway: one gateway per data source. Holds the session and
// the transaction depth of the current context, runs mapped statements by
// id and maps their rows into the declared result types.
//
// A statement that fails while it borrows the session of an open
// transaction has that session rolled back by the runner: everything the
// transaction did before is gone. The depth of the context then becomes a
// marked depth (an int that compares, prints and counts like the plain one)
// which remembers the failed statement; until the transaction is ended by
// rollback(), or by close() at depth 0, statements and commit() refuse to
// run, so that what follows the failure is never committed as if it were
// the whole transaction. An inner level that ends with rollback() marks the
// transaction the same way: it was rolled back, and the outer levels can
// only roll back too.
//
// begin_savepoint() opens a level of its own inside a transaction: a
// SAVEPOINT that commit() releases and rollback() rolls back to, undoing
// only that level's work. Levels that join with begin_tx() inside it belong
// to it, and the mark then speaks for it alone.
#include <iterator>
#include <unordered_map>
#include <utility>

#include "methods.h"
#include "sessions.h"
#include "wisp/engines.h"
#include "wisp/protocol.h"

using namespace wisp;
using db::Ann;

namespace {

struct Names {
  // module globals the bodies read
  PyObject *Dict = intern("Dict"), *List = intern("List"), *get_args = intern("get_args"),
           *dict = intern("dict"), *list = intern("list"), *QueryRunner = intern("QueryRunner"),
           *ContextVar = intern("ContextVar"), *is_container_type = intern("is_container_type"),
           *is_result_class = intern("is_result_class"), *get_base_type = intern("get_base_type"),
           *results_handle = intern("results_handle"),
           *rolled_back_error = intern("TransactionRolledBackError");
  // the globals of class_probe its functions read
  PyObject *get_origin = intern("get_origin"), *tuple = intern("tuple"), *set = intern("set"),
           *BaseModel = intern("BaseModel"), *is_dataclass = intern("is_dataclass"),
           *DeclarativeBase = intern("DeclarativeBase"),
           *dataclass_fields = intern("__dataclass_fields__");
  // attributes of the gateway and of a marked depth
  PyObject *mapper_dict = intern("mapper_dict"), *data_source = intern("data_source"),
           *connection_local = intern("connection_local"), *tx_depth = intern("_tx_depth"),
           *query_runner = intern("query_runner"), *con = intern("_WispDbGateway__con"),
           *insert_orm2 = intern("insert_orm2"),
           *savepoints = intern("_savepoints"), *failed_statement = intern("statement"),
           *inner_rollback = intern("inner_rollback");
  // methods of sessions, mappers, rows and the runner
  PyObject *commit = intern("commit"), *rollback = intern("rollback"), *close = intern("close"),
           *begin_tx = intern("begin_tx"), *begin_nested = intern("begin_nested"),
           *get_nested_transaction = intern("get_nested_transaction"),
           *session = intern("session"), *parent = intern("parent"), *get_sql = intern("get_sql"),
           *select_page = intern("select_page"), *select_list = intern("select_list"),
           *list_key = intern("list");
  // statement kinds, which are also the runner's methods for them
  PyObject *select = intern("select"), *insert = intern("insert"), *update = intern("update"),
           *del = intern("delete");
  // message parts
  PyObject *connection_prefix = intern("connection_"), *tx_depth_prefix = intern("tx_depth_"),
           *savepoints_prefix = intern("savepoints_"),
           *not_found = intern("not found namespace: "),
           *check_return = intern("please check return_type: "),
           *check_return_result = intern("please check return_result_type: "),
           *result_type_sep = intern(", resultType: ");
};
const Names* names;

struct State {
  PyObject* zero;
  PyObject* one;
  PyObject* no_levels;  // ()
  PyObject* kw_default;  // ("default",)
  PyObject* kw_get_sql;  // ("sql_id", "params")
  PyObject* kw_sql_con_args;
  PyObject* kw_sql_page_con_args;
  PyObject* failed_depth;  // the int subclass that marks a failed transaction
  PyObject* gateway_cls;   // WispDbGateway as the module made it
  PyObject* insert_orm2;   // its own insert_orm2 and __con
  PyObject* con;
};
State state;
db::SessionFactory sessions;

Ref depth_var(Borrowed self) {
  return getattr(self, names->tx_depth);
}

// self.__con()
Ref current_con(Borrowed self) {
  return call_method(self, names->con, {});
}

bool gt(Borrowed a, PyObject* b) {
  return check(PyObject_RichCompareBool(a, b, Py_GT)) != 0;
}

// ---------------------------------------------------------------------------
// results_handle
//
// What results_handle does with the rows depends only on the return
// annotation and the result type: which case of the checks applies, and
// how a row becomes a value. Working that out calls get_base_type,
// get_args, is_container_type and is_result_class, which costs as much as
// a small part of the query, so the decision is kept per pair of objects
// (see Decisions) and used while every global it depends on is the object
// the modules bound at import.

// How the rows become the value, once the types have been checked.
enum class Shape : unsigned char {
  Rows,         // the list of row dicts itself
  Built,        // [result_type(**row) for row in results]
  FirstValues,  // [next(iter(row.values())) for row in results]
  FirstRow,     // results[0]
  FirstBuilt,   // result_type(**results[0])
  FirstValue,   // next(iter(results[0].values()))
};

[[noreturn]] void type_mismatch(PyObject* prefix, Borrowed shown, Borrowed result_type) {
  Ref a = str_of(shown), b = str_of(result_type);
  raise(PyExc_TypeError, concat({prefix, a.get(), names->result_type_sep, b.get()}));
}

// The checks of results_handle and the shape they leave, through the
// module's globals as they are now. `result_class` is set to what
// is_result_class(result_type) said when the shape depends on it.
Shape decide(FunctionObject* f, Borrowed result_type, Ref f_return_type, int& result_class) {
  result_class = -1;
  GlobalRef list_t = global(f, names->list);
  GlobalRef dict_t = global(f, names->dict);
  GlobalRef Dict = global(f, names->Dict);
  GlobalRef List = global(f, names->List);
  auto is_result_class = [&] {
    result_class = truthy(call(global(f, names->is_result_class), {result_type.get()}));
    return result_class != 0;
  };
  if (f_return_type.get() == Py_None) f_return_type = list_t;
  Ref return_type = call(global(f, names->get_base_type), {f_return_type.get()});

  const bool wants_dict = equals(return_type, dict_t) || equals(return_type, Dict);
  const bool wants_list = !wants_dict && (equals(return_type, list_t) || equals(return_type, List));
  if (wants_dict) {
    bool container = truthy(call(global(f, names->is_container_type), {result_type.get()}));
    if (!container && !is_result_class())
      type_mismatch(names->check_return, return_type, result_type);
    if (container && !equals(result_type, dict_t) && !equals(result_type, Dict)) {
      // result_type != dict and result_type != Dict
      type_mismatch(names->check_return, return_type, result_type);
    }
  } else if (wants_list) {
    if (truthy(result_type)) {
      Ref base = call(global(f, names->get_args), {f_return_type.get()});
      if (truthy(base)) {
        base = Ref::check(PySequence_GetItem(base.get(), 0));
        if (result_type.get() != base.get()) {
          type_mismatch(names->check_return_result, base, result_type);
        }
      }
    }
  } else {
    bool ok = truthy(call(global(f, names->is_container_type), {return_type.get()})) ||
              result_type.get() == return_type.get();
    if (!ok) type_mismatch(names->check_return, return_type, result_type);
  }

  if (result_type.get() == list_t.get() || result_type.get() == List.get()) {
    raise(PyExc_TypeError, "please check result type");
  }
  if (result_type.get() == dict_t.get()) return wants_list ? Shape::Rows : Shape::FirstRow;
  // The check above may have asked already; asking again is what the
  // conversion does.
  if (wants_list) return is_result_class() ? Shape::Built : Shape::FirstValues;
  return is_result_class() ? Shape::FirstBuilt : Shape::FirstValue;
}

// The globals a decision depends on, in both modules, with the objects
// bound at import. While every one is still that object, a decision made
// for a pair of annotation objects holds for as long as the objects live,
// with one exception: whether a class is a result class can change when
// it is made a dataclass after the fact or registered with an ABC, so that
// part is asked again on every use, directly (the original is_result_class
// is three subclass tests that run no Python code for plain classes).
class Decisions {
 public:
  void init(Borrowed gateway_globals, Borrowed probe_globals) {
    for (PyObject* name : {names->list, names->dict, names->Dict, names->List, names->get_base_type,
                           names->get_args, names->is_container_type, names->is_result_class}) {
      watch(gateway_globals, name);
    }
    for (PyObject* name : {names->get_origin, names->list, names->tuple, names->dict, names->set,
                           names->BaseModel, names->is_dataclass, names->DeclarativeBase}) {
      watch(probe_globals, name);
    }
    base_model_ = dict_get_ref(probe_globals, names->BaseModel).release();
    declarative_base_ = dict_get_ref(probe_globals, names->DeclarativeBase).release();
    Ref typing_list = import_attr("typing", "List");
    Ref list_of_int = Ref::check(PyObject_GetItem(typing_list.get(), Borrowed(&PyLong_Type)));
    Ref builtin_list_of_int =
        Ref::check(Py_GenericAlias(Borrowed(&PyList_Type), Borrowed(&PyLong_Type)));
    alias_types_[0] = Py_TYPE(typing_list.get());          // List, Dict
    alias_types_[1] = Py_TYPE(list_of_int.get());          // List[X]
    alias_types_[2] = Py_TYPE(builtin_list_of_int.get());  // list[X]
    for (PyTypeObject* t : alias_types_) Py_INCREF(t);
  }

  // The shape kept for the pair, or false when there is none to use.
  bool find(Borrowed annotation, Borrowed result_type, Shape& shape) {
    if (map_.empty() || !originals()) return false;
    auto it = map_.find(Key{annotation.get(), result_type.get()});
    if (it == map_.end()) return false;
    const Entry& e = it->second;
    if (!alive(e.annotation) || !alive(e.result_type)) {
      // Objects that died since, whose addresses serve new ones now.
      Entry dead = e;
      map_.erase(it);
      dead.release();
      return false;
    }
    // Copied before asking: the subclass tests can run Python code that
    // uses this map (a metaclass's __subclasscheck__), which may drop the
    // entry.
    const Shape kept = e.shape;
    const int result_class = e.result_class;
    if (result_class >= 0 && int(result_class_now(result_type)) != result_class) return false;
    shape = kept;
    return true;
  }

  // Keeps the shape just worked out for the pair, when both are objects a
  // decision can be kept for and the globals are still the originals. The
  // objects are not kept alive: the entry holds weak references, which tell
  // whether it still speaks of them.
  void keep(Borrowed annotation, Borrowed result_type, Shape shape, int result_class) {
    if (!keepable(annotation, true) || !keepable(result_type, false) || !originals()) return;
    Entry e{nullptr, nullptr, shape, result_class};
    if (annotation.get() != Py_None && !(e.annotation = weak(annotation))) return;
    if (!(e.result_type = weak(result_type))) {
      e.release();
      return;
    }
    if (map_.size() >= kLimit) clear();
    Key key{annotation.get(), result_type.get()};
    auto it = map_.find(key);
    if (it != map_.end()) {
      Entry old = it->second;
      it->second = e;
      old.release();
      return;
    }
    map_.emplace(key, e);
  }

 private:
  static constexpr size_t kLimit = 512;
  struct Key {
    PyObject* annotation;
    PyObject* result_type;
    bool operator==(const Key& o) const {
      return annotation == o.annotation && result_type == o.result_type;
    }
  };
  struct Hash {
    size_t operator()(const Key& k) const {
      return std::hash<void*>()(k.annotation) * 31 + std::hash<void*>()(k.result_type);
    }
  };
  struct Entry {
    PyObject* annotation;   // a weak reference to it, or null for None
    PyObject* result_type;  // a weak reference to it
    Shape shape;
    int result_class;  // is_result_class(result_type) when the shape depends on it, else -1
    void release() {
      Py_XDECREF(annotation);
      Py_XDECREF(result_type);
    }
  };

  // A weak reference to `o`, or null when it takes none.
  static PyObject* weak(Borrowed o) {
    PyObject* ref = PyWeakref_NewRef(o, nullptr);
    if (!ref) PyErr_Clear();
    return ref;
  }
  static bool alive(PyObject* ref) {
    if (!ref) return true;  // None
    try {
      return bool(weak_target(ref));
    } catch (const PyError&) {
      PyErr_Clear();
      return false;
    }
  }

  void watch(Borrowed globals, PyObject* name) { watched_.watch(globals, name); }

  // Whether every global a decision depends on is still the original.
  bool originals() const { return watched_.hold(); }

  // Types (with the usual identity comparison) and typing's aliases are
  // kept; strings, unions and anything else are worked out on every call.
  bool keepable(Borrowed o, bool annotation) const {
    if (annotation && o.get() == Py_None) return true;
    if (PyType_Check(o.get()))
      return Py_TYPE(o.get())->tp_richcompare == PyType_Type.tp_richcompare;
    if (!annotation) return false;
    for (PyTypeObject* t : alias_types_) {
      if (Py_TYPE(o.get()) == t) return true;
    }
    return false;
  }

  // is_result_class(result_type) of class_probe with its own globals: a
  // pydantic model, a dataclass or a declarative model.
  bool result_class_now(Borrowed result_type) const {
    if (check(PyObject_IsSubclass(result_type, base_model_))) return true;
    if (getattr_opt(result_type, names->dataclass_fields)) return true;  // is_dataclass of a class
    return check(PyObject_IsSubclass(result_type, declarative_base_)) != 0;
  }

  // Drops the entries of objects that died, or every entry when none did.
  void clear() {
    std::vector<Entry> dropped;
    for (auto it = map_.begin(); it != map_.end();) {
      if (alive(it->second.annotation) && alive(it->second.result_type)) {
        ++it;
        continue;
      }
      dropped.push_back(it->second);
      it = map_.erase(it);
    }
    if (dropped.empty()) {
      for (auto& kv : map_) dropped.push_back(kv.second);
      map_.clear();
    }
    for (Entry& e : dropped) e.release();
  }

  OriginalGlobals watched_;
  PyObject* base_model_ = nullptr;
  PyObject* declarative_base_ = nullptr;
  PyTypeObject* alias_types_[3] = {};
  std::unordered_map<Key, Entry, Hash> map_;
};
Decisions decisions;

Ref convert(Shape shape, Borrowed results, Borrowed result_type) {
  switch (shape) {
    case Shape::Rows:
      return Ref::borrow(results);
    case Shape::Built:
    case Shape::FirstValues: {
      Ref out = new_list();
      for_each(results, [&](Borrowed row) {
        list_append(out, shape == Shape::Built ? call_spread(result_type, row) : first_value(row));
      });
      return out;
    }
    case Shape::FirstRow:
    case Shape::FirstBuilt:
    case Shape::FirstValue:
      break;
  }
  Ref first = Ref::check(PySequence_GetItem(results, 0));
  if (shape == Shape::FirstRow) return first;
  if (shape == Shape::FirstBuilt) return call_spread(result_type, first);
  return first_value(first);
}

// def results_handle(results, result_type, f_return_type)
struct ResultsHandle {
  Ref results, result_type, f_return_type;
};
Ref results_handle(FunctionObject* f, ResultsHandle& args) {
  Py_ssize_t n = PyObject_Size(args.results.get());
  if (n < 0) throw_error();
  if (n == 0) return args.results;
  Shape shape;
  if (!decisions.find(args.f_return_type, args.result_type, shape)) {
    int result_class;
    shape = decide(f, args.result_type, args.f_return_type, result_class);
    decisions.keep(args.f_return_type, args.result_type, shape, result_class);
  }
  return convert(shape, args.results, args.result_type);
}

// ---------------------------------------------------------------------------
// Failed transactions

bool is_failed(Borrowed depth) {
  return Py_TYPE(depth.get()) == reinterpret_cast<PyTypeObject*>(state.failed_depth);
}

// int(depth) marked as failed: `statement` is (namespace, id) of the mapped
// statement that failed, or None; `by_inner_level` tells a transaction that
// an inner level rolled back.
Ref failed_depth(Borrowed depth, Borrowed statement, bool by_inner_level = false) {
  Ref marked = call(state.failed_depth, {depth.get()});
  setattr(marked, names->failed_statement, statement);
  setattr(marked, names->inner_rollback, boolean(by_inner_level));
  return marked;
}

// `depth` with the mark that the failed depth `marked` carries.
Ref carry_mark(Borrowed depth, Borrowed marked) {
  Ref by_inner_level = getattr(marked, names->inner_rollback);
  return failed_depth(depth, getattr(marked, names->failed_statement),
                      by_inner_level.get() == Py_True);
}

// Called while the statement's exception is set aside: marks this context's
// transaction as failed, unless it has ended meanwhile or is marked already
// (the first failure is the one worth naming).
void mark_failed(Borrowed self, Borrowed sql_id, Borrowed namespace_) {
  Ref depth_v = depth_var(self);
  Ref depth = contextvar_get(depth_v);
  if (is_failed(depth) || !gt(depth, state.zero)) return;
  Ref statement = sql_id ? tuple({namespace_.get(), sql_id.get()}) : none();
  contextvar_set(depth_v, failed_depth(depth, statement));
}

// raise TransactionRolledBackError(...) from None, with no context either:
// the error that rolled the transaction back has already reached the caller.
[[noreturn]] void raise_failed(Borrowed globals, Borrowed depth) {
  Ref statement = getattr(depth, names->failed_statement);
  Ref message;
  if (PyTuple_CheckExact(statement.get()) && PyTuple_GET_SIZE(statement.get()) == 2) {
    message = Ref::check(PyUnicode_FromFormat(
        "the transaction was rolled back after an earlier error in statement %R of namespace "
        "%R; it must be ended with rollback()",
        PyTuple_GET_ITEM(statement.get(), 1), PyTuple_GET_ITEM(statement.get(), 0)));
  } else if (getattr(depth, names->inner_rollback).get() == Py_True) {
    message = str("the transaction was rolled back by an inner level; it must be ended with "
                  "rollback()");
  } else {
    message =
        str("the transaction was rolled back after an earlier error; it must be ended with "
            "rollback()");
  }
  Ref exc = call(global(globals, names->rolled_back_error), {message.get()});
  if (!PyExceptionInstance_Check(exc.get())) {
    raise(PyExc_TypeError, "exceptions must derive from BaseException");
  }
  PyException_SetCause(exc.get(), nullptr);  // also sets __suppress_context__
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
  Ref raised = fetch_exception();
  if (raised) PyException_SetContext(raised.get(), nullptr);
  restore_exception(std::move(raised));
  throw PyError{};
}

// Refuses to run anything in a transaction that has failed.
void refuse_if_failed(Borrowed globals, Borrowed self) {
  Ref depth = contextvar_get(depth_var(self));
  if (is_failed(depth)) raise_failed(globals, depth);
}

// Runs `body()`, one call of the runner with the context's session `con`.
// When the call fails (an Exception, on which the runner rolls a borrowed
// session back) while it borrows the session of an open transaction, the
// transaction is marked as failed in `sql_id` of `namespace_` (null for
// the pass-through operations). Errors before or after the runner call
// (rendering, row mapping) leave the session as it was and mark nothing.
template <class F>
Ref run_in_tx(Borrowed self, Borrowed con, Borrowed sql_id, Borrowed namespace_, F&& body) {
  if (!truthy(con)) return body();
  try {
    return body();
  } catch (...) {
    translate_exception();
    Ref exc = fetch_exception();
    if (PyErr_GivenExceptionMatches(exc.get(), PyExc_Exception)) {
      while_handling(exc, [&] { mark_failed(self, sql_id, namespace_); });
    }
    restore_exception(std::move(exc));
    throw PyError{};
  }
}

// ---------------------------------------------------------------------------
// WispDbGateway: construction and transactions

Ref new_context_var(FunctionObject* f, PyObject* prefix, Borrowed id_text, Borrowed dflt) {
  Ref name = concat({prefix, id_text.get()});
  GlobalRef cls = global(f, names->ContextVar);
  if (cls.get() == reinterpret_cast<PyObject*>(&PyContextVar_Type)) {
    const char* utf8_name = PyUnicode_AsUTF8(name.get());
    if (!utf8_name) throw_error();
    return Ref::check(PyContextVar_New(utf8_name, dflt.get()));
  }
  return call_kw(cls, {name.get(), dflt.get()}, state.kw_default);
}

// def __init__(self, mapper_dict: dict, data_source: Engine = None,
//              query_runner: QueryRunner = None)
struct Init {
  Ref self, mapper_dict, data_source, query_runner;
};
Ref init(FunctionObject* f, Init& args) {
  Borrowed self = args.self;
  setattr(self, names->mapper_dict, args.mapper_dict);
  setattr(self, names->data_source, args.data_source);
  Ref id = Ref::check(PyLong_FromVoidPtr(self.get()));
  Ref id_text = str_of(id);
  setattr(self, names->connection_local,
          new_context_var(f, names->connection_prefix, id_text, Py_None));
  setattr(self, names->tx_depth, new_context_var(f, names->tx_depth_prefix, id_text, state.zero));
  if (truthy(args.query_runner)) {
    setattr(self, names->query_runner, args.query_runner);
    setattr(self, names->data_source, getattr(args.query_runner, names->data_source));
  } else if (truthy(args.data_source)) {
    setattr(self, names->query_runner,
            call(global(f, names->QueryRunner), {args.data_source.get()}));
  } else {
    raise(PyExc_Exception, "query_runner can't init");
  }
  setattr(self, names->savepoints,
          new_context_var(f, names->savepoints_prefix, id_text, state.no_levels));
  return none();
}

// def __con(self)
Ref con(FunctionObject*, Ref* a) {
  return contextvar_get(getattr(a[0], names->connection_local));
}

// def begin_tx(self)
Ref begin_tx(FunctionObject* f, Ref* a) {
  Borrowed self = a[0];
  Ref depth_v = depth_var(self);
  Ref depth = contextvar_get(depth_v);
  if (gt(depth, state.zero)) {
    Ref deeper = Ref::check(PyNumber_Add(depth.get(), state.one));
    // A nested begin_tx inside a failed transaction stays failed.
    if (is_failed(depth)) deeper = carry_mark(deeper, depth);
    contextvar_set(depth_v, deeper);
    return none();
  }
  Ref session = sessions.make(f->globals, getattr(self, names->data_source));
  contextvar_set(getattr(self, names->connection_local), session);
  contextvar_set(depth_var(self), state.one);
  return none();
}

// ---------------------------------------------------------------------------
// Savepoint levels
//
// The context's savepoint levels are a tuple in the gateway's `_savepoints`
// variable, innermost last: (the depth the level was opened at, the nested
// SessionTransaction its SAVEPOINT belongs to). A level stays until commit()
// or rollback() at its own depth ends it, so every level on the stack is at
// most as deep as the context, and the depth variable (with its mark)
// speaks for the innermost one: the savepoint, or the whole transaction
// when there is none.

struct Level {
  Ref depth, nested;
};

// The context's levels (empty for a gateway made without them).
Ref levels_of(Borrowed self) {
  Ref var = getattr_opt(self, names->savepoints);
  return var ? contextvar_get(var) : Ref::borrow(state.no_levels);
}

// The innermost level, when there is one.
bool innermost(Borrowed levels, Level& out) {
  Py_ssize_t n = PySequence_Size(levels);
  if (n < 0) throw_error();
  if (n == 0) return false;
  Ref last = Ref::check(PySequence_GetItem(levels, n - 1));
  auto [depth, nested] = unpack<2>(last);
  out = Level{std::move(depth), std::move(nested)};
  return true;
}

// Drops the innermost level, which ends at `depth`: the context is one
// level out, in the level around it, unmarked.
void leave_level(Borrowed self, Borrowed levels, Borrowed depth) {
  Py_ssize_t n = PySequence_Size(levels);
  if (n < 0) throw_error();
  Ref rest = Ref::check(PySequence_GetSlice(levels, 0, n - 1));
  Ref outer = Ref::check(PyNumber_Subtract(depth.get(), state.one));
  contextvar_set(getattr(self, names->savepoints), rest);
  contextvar_set(depth_var(self), outer);
}

// Rolls the session back to the savepoint of `nested`, unless that has
// ended already (a failed statement has the runner roll it back at once).
void roll_back_to(Borrowed nested) {
  Ref session = getattr(nested, names->session);
  Ref open = call_method(session, names->get_nested_transaction, {});
  while (open.get() != Py_None && open.get() != nested.get()) open = getattr(open, names->parent);
  if (open.get() == nested.get()) call_method(nested, names->rollback, {});
}

// def begin_savepoint(self)
//
// Inside an open transaction, a SAVEPOINT level one deeper; without one, or
// in a transaction that can only roll back, what begin_tx() does. The
// SAVEPOINT itself goes out with the level's first statement, after the
// BEGIN and the savepoints of the levels around it.
Ref begin_savepoint(FunctionObject*, Ref* a) {
  Borrowed self = a[0];
  Ref depth_v = depth_var(self);
  Ref depth = contextvar_get(depth_v);
  if (!gt(depth, state.zero) || is_failed(depth)) return call_method(self, names->begin_tx, {});
  Ref session = current_con(self);
  // begin_nested() flushes the session first: a failure there is a failed
  // statement of the transaction.
  Ref nested = run_in_tx(self, session, Borrowed(), Borrowed(),
                         [&] { return call_method(session, names->begin_nested, {}); });
  Ref deeper = Ref::check(PyNumber_Add(depth.get(), state.one));
  Ref var = getattr(self, names->savepoints);
  Ref level = tuple({deeper.get(), nested.get()});
  Ref pushed = Ref::check(PySequence_Concat(contextvar_get(var).get(), tuple({level.get()}).get()));
  contextvar_set(var, pushed);
  contextvar_set(depth_v, deeper);
  return none();
}

// The context's session, if any, committed or rolled back (`how`); the
// depth back at 0.
Ref end_transaction(Borrowed self, PyObject* how) {
  Ref connection = current_con(self);
  if (truthy(connection)) call_method(connection, how, {});
  contextvar_set(depth_var(self), state.zero);
  return none();
}

// def commit(self)
Ref commit(FunctionObject* f, Ref* a) {
  Borrowed self = a[0];
  Ref depth_v = depth_var(self);
  Ref depth = contextvar_get(depth_v);
  if (is_failed(depth)) raise_failed(f->globals, depth);
  Ref levels = levels_of(self);
  Level level;
  if (innermost(levels, level) && equals(level.depth, depth)) {
    // Released: its work is now the enclosing level's. A failed release
    // leaves the level for the caller's rollback().
    call_method(level.nested, names->commit, {});
    leave_level(self, levels, depth);
    return none();
  }
  if (gt(depth, state.one)) {
    contextvar_set(depth_v, Ref::check(PyNumber_Subtract(depth.get(), state.one)));
    return none();
  }
  return end_transaction(self, names->commit);
}

// def rollback(self)
Ref rollback(FunctionObject*, Ref* a) {
  Borrowed self = a[0];
  Ref depth_v = depth_var(self);
  Ref depth = contextvar_get(depth_v);
  Ref levels = levels_of(self);
  Level level;
  const bool in_savepoint = innermost(levels, level);
  if (in_savepoint && equals(level.depth, depth)) {
    // The savepoint's own level: only its work is undone, and the level
    // around it goes on. Should rolling back to it fail, the level is left
    // all the same, and what encloses it can only roll back.
    try {
      roll_back_to(level.nested);
    } catch (...) {
      translate_exception();
      Ref exc = fetch_exception();
      while_handling(exc, [&] {
        leave_level(self, levels, depth);
        Ref outer = contextvar_get(depth_v);
        if (gt(outer, state.zero)) contextvar_set(depth_v, failed_depth(outer, Py_None));
      });
      restore_exception(std::move(exc));
      throw PyError{};
    }
    leave_level(self, levels, depth);
    return none();
  }
  if (!gt(depth, state.one)) return end_transaction(self, names->rollback);
  // A level that joined: what it joined (the innermost savepoint, or the
  // whole transaction) is rolled back, and the levels around it can only
  // roll back too. The first reason is kept.
  Ref outer = Ref::check(PyNumber_Subtract(depth.get(), state.one));
  Ref marked = is_failed(depth) ? carry_mark(outer, depth) : failed_depth(outer, Py_None, true);
  try {
    if (in_savepoint) {
      roll_back_to(level.nested);
    } else {
      Ref connection = current_con(self);
      if (truthy(connection)) call_method(connection, names->rollback, {});
    }
  } catch (...) {
    translate_exception();
    Ref exc = fetch_exception();
    while_handling(exc, [&] { contextvar_set(depth_v, marked); });
    restore_exception(std::move(exc));
    throw PyError{};
  }
  contextvar_set(depth_v, marked);
  return none();
}

// def close(self)
Ref close(FunctionObject*, Ref* a) {
  Borrowed self = a[0];
  Ref depth = contextvar_get(depth_var(self));
  if (gt(depth, state.zero)) return none();
  Ref connection = current_con(self);
  if (truthy(connection)) {
    call_method(connection, names->close, {});
    contextvar_set(getattr(self, names->connection_local), Py_None);
  }
  contextvar_set(depth_var(self), state.zero);
  return none();
}

// def get_ori_session(self)
Ref get_ori_session(FunctionObject* f, Ref* a) {
  return sessions.make(f->globals, getattr(a[0], names->data_source));
}

// ---------------------------------------------------------------------------
// Statements

// def execute_sql(self, sql_id: str, namespace: str = None, ori_params: dict = None,
//                 page: Page = None, return_type: Any = None)
struct ExecuteSql {
  Ref self, sql_id, namespace_, ori_params, page, return_type;
};
Ref execute_sql(FunctionObject* f, ExecuteSql& args) {
  Borrowed self = args.self;
  refuse_if_failed(f->globals, self);
  Ref mapper_dict = getattr(self, names->mapper_dict);
  if (!check(PySequence_Contains(mapper_dict.get(), args.namespace_.get()))) {
    Ref text = str_of(args.namespace_);
    raise(PyExc_Exception, concat({names->not_found, text.get()}));
  }
  Ref mapper = Ref::check(PyObject_GetItem(mapper_dict.get(), args.namespace_.get()));
  mapper_dict.reset();
  Ref got = call_method_kw(mapper, names->get_sql, {args.sql_id.get(), args.ori_params.get()},
                           state.kw_get_sql);
  mapper.reset();
  auto [sql, params, sql_type, result_type] = unpack<4>(got);
  got.reset();

  PyObject* op = nullptr;
  if (equals(sql_type, names->select)) {
    op = truthy(args.page) ? names->select_page : names->select_list;
  } else if (equals(sql_type, names->insert)) {
    op = names->insert;
  } else if (equals(sql_type, names->del)) {
    op = names->del;
  } else if (equals(sql_type, names->update)) {
    op = names->update;
  } else {
    return none();
  }
  Ref runner = getattr(self, names->query_runner);
  Ref con = current_con(self);
  Ref results = run_in_tx(self, con, args.sql_id, args.namespace_, [&] {
    if (op == names->select_page) {
      return call_method_kw(runner, op, {sql.get(), args.page.get(), con.get(), params.get()},
                            state.kw_sql_page_con_args);
    }
    return call_method_kw(runner, op, {sql.get(), con.get(), params.get()}, state.kw_sql_con_args);
  });
  if (op == names->select_page) {
    Ref rows = Ref::check(PyObject_GetItem(results.get(), names->list_key));
    Ref handled = call(global(f, names->results_handle),
                       {rows.get(), result_type.get(), args.return_type.get()});
    check(PyObject_SetItem(results.get(), names->list_key, handled.get()));
    return results;
  }
  if (op == names->select_list) {
    return call(global(f, names->results_handle),
                {results.get(), result_type.get(), args.return_type.get()});
  }
  return results;
}

// ---------------------------------------------------------------------------
// The pass-throughs: each calls the runner method of the same name with its
// own arguments and the context's session, which goes in at `con` among
// them; the last of the call's arguments are passed by the keywords listed.

struct Forward {
  const char* name;
  db::Params params;
  int con;  // position of the session among the call's arguments
  std::array<const char*, 4> keywords;
};

constexpr db::Param kSql{"sql", Ann::TextClause}, kSqlParam{"sql_param"},
    kOptionalSqlParam{"sql_param", Ann::None, true}, kStatement{"statement"};

// In class order, after execute_sql.
constexpr Forward kForwards[] = {
    {"select_one", {kSql, kOptionalSqlParam}, 1, {"sql", "con", "args"}},
    {"select_list", {kSql, kOptionalSqlParam}, 1, {"sql", "con", "args"}},
    {"select_page", {kSql, {"page"}, kOptionalSqlParam}, 2, {"sql", "page", "con", "args"}},
    {"insert", {kSql, kSqlParam}, 1, {"sql", "con", "args"}},
    {"insert_list", {kSql, kSqlParam}, 1, {"sql", "con", "args"}},
    {"delete", {kSql, kSqlParam}, 1, {"sql", "con", "args"}},
    {"update", {kSql, kSqlParam}, 1, {"sql", "con", "args"}},
    {"add", {{{"data", Ann::Any}}}, 1, {"data", "con"}},
    {"add_all", {{{"datas", Ann::Any}}}, 1, {"data", "con"}},
    {"select_all_orm1", {kStatement}, 1, {"con"}},
    {"select_all_orm2", {kStatement}, 1, {"con"}},
    {"select_one_orm1", {kStatement}, 1, {"con"}},
    {"select_one_orm2", {kStatement}, 1, {"con"}},
    {"delete_orm2", {kStatement}, 1, {"con"}},
    {"update_orm2", {kStatement, {"sql_param", Ann::DictOrNone, true}}, 1, {"con", "sql_param"}},
    {"bulk_update_mappings",
     {{{"table_model"}, {"data_list", Ann::ListOfDictOrNone, true}}},
     2,
     {"con"}},
    {"insert_orm2", {kStatement, {"data_list", Ann::List, true}}, 2, {"con"}},
};
constexpr size_t kForwardCount = std::size(kForwards);

// Made at import, per row: the runner method's name and the keywords.
struct ForwardNames {
  PyObject* method;
  PyObject* keywords;
};
ForwardNames forward_names[kForwardCount];

// Every pass-through: refused in a failed transaction, otherwise the runner
// method called with self.query_runner's session `con` put in.
Ref forward(FunctionObject* f, Ref* a, const Forward& row, const ForwardNames& called) {
  Borrowed self = a[0];
  refuse_if_failed(f->globals, self);
  Ref runner = getattr(self, names->query_runner);
  Ref con = current_con(self);
  PyObject* call_args[4];
  int n = 0;
  for (size_t i = 0; i < row.params.size() && row.params[i].name; ++i) {
    if (n == row.con) call_args[n++] = con.get();
    call_args[n++] = a[i + 1].get();
  }
  if (n == row.con) call_args[n++] = con.get();
  return run_in_tx(self, con, Borrowed(), Borrowed(), [&] {
    switch (n) {
      case 2:
        return call_method_kw(runner, called.method, {call_args[0], call_args[1]}, called.keywords);
      case 3:
        return call_method_kw(runner, called.method, {call_args[0], call_args[1], call_args[2]},
                              called.keywords);
      default:
        return call_method_kw(runner, called.method,
                              {call_args[0], call_args[1], call_args[2], call_args[3]},
                              called.keywords);
    }
  });
}

// Whether `self.<name>` is the class's own `function`, bound to self.
bool own_method(Borrowed self, PyObject* name, PyObject* function) {
  return bound_to(getattr(self, name), function, self);
}

// The gateway's step of a row inserted as execution parameters (engines.h):
// what its own insert_orm2 does with no transaction open in the context,
// the runner called without a session; nothing when the gateway is of
// another class, its methods are replaced, or a transaction is open or
// failed (the call then takes the full path, which says so).
Ref gateway_row_insert(Borrowed self, Borrowed statement, Borrowed row) {
  if (Py_TYPE(self.get()) != reinterpret_cast<PyTypeObject*>(state.gateway_cls) ||
      !own_method(self, names->insert_orm2, state.insert_orm2) ||
      !own_method(self, names->con, state.con)) {
    return Ref();
  }
  if (is_failed(contextvar_get(depth_var(self))) || truthy(current_con(self))) return Ref();
  Ref runner = getattr(self, names->query_runner);
  return engines::row_insert(engines::Layer::Runner, runner, statement, row);
}

template <size_t I>
Ref forward_row(FunctionObject* f, Ref* a) {
  return forward(f, a, kForwards[I], forward_names[I]);
}

template <size_t... I>
void bind_forwards(ClassBuilder& cls, const db::Annotations& ann, std::index_sequence<I...>) {
  for (size_t i = 0; i < kForwardCount; ++i) {
    const Forward& row = kForwards[i];
    size_t k = 0;
    while (k < row.keywords.size() && row.keywords[k]) ++k;
    Ref keywords = Ref::check(PyTuple_New(Py_ssize_t(k)));
    for (size_t j = 0; j < k; ++j) {
      PyTuple_SET_ITEM(keywords.get(), Py_ssize_t(j), Py_NewRef(intern(row.keywords[j])));
    }
    forward_names[i] = ForwardNames{intern(row.name), keywords.release()};
  }
  (ann.method(cls, kForwards[I].name, forward_row<I>, kForwards[I].params), ...);
}

Ref make_gateway(Borrowed g, Borrowed engine, Borrowed query_runner, Borrowed page) {
  db::Annotations ann;
  ClassBuilder cb("WispDbGateway", g);
  Def init_def = Def::of<init>("__init__");
  init_def.param("self", &Init::self)
      .param("mapper_dict", &Init::mapper_dict)
      .annotate(&PyDict_Type)
      .param("data_source", &Init::data_source)
      .annotate(engine)
      .def(Py_None)
      .param("query_runner", &Init::query_runner)
      .annotate(query_runner)
      .def(Py_None);
  cb.method(init_def);
  // def __con(self): stored under its mangled name.
  for (auto [name, body] :
       {std::pair{"__con", con}, std::pair{"begin_tx", begin_tx},
        std::pair{"begin_savepoint", begin_savepoint}, std::pair{"commit", commit},
        std::pair{"rollback", rollback}, std::pair{"close", close},
        std::pair{"get_ori_session", get_ori_session}}) {
    ann.method(cb, name, body, {});
  }
  Def execute_def = Def::of<execute_sql>("execute_sql");
  execute_def.param("self", &ExecuteSql::self)
      .param("sql_id", &ExecuteSql::sql_id)
      .annotate(&PyUnicode_Type)
      .param("namespace", &ExecuteSql::namespace_)
      .annotate(&PyUnicode_Type)
      .def(Py_None)
      .param("ori_params", &ExecuteSql::ori_params)
      .annotate(&PyDict_Type)
      .def(Py_None)
      .param("page", &ExecuteSql::page)
      .annotate(page)
      .def(Py_None)
      .param("return_type", &ExecuteSql::return_type)
      .annotate(ann[Ann::Any])
      .def(Py_None);
  cb.method(execute_def);
  bind_forwards(cb, ann, std::make_index_sequence<kForwardCount>());
  return cb.make();
}

// The marked depth of a failed transaction: an int with the failed
// statement in its __dict__. Not a module global.
Ref make_failed_depth() {
  Ref ns = new_dict();
  dict_set(ns, "__module__", str("wisp.db.db_gateway"));
  dict_set(ns, "__qualname__", str("WispDbGateway._FailedDepth"));
  Ref bases = tuple({reinterpret_cast<PyObject*>(&PyLong_Type)});
  Ref name = str("_FailedDepth");
  return call(Borrowed(&PyType_Type), {name.get(), bases.get(), ns.get()});
}

}  // namespace

WISP_MODULE(db_gateway, names, g) {
  state.zero = Ref::check(PyLong_FromLong(0)).release();
  state.one = Ref::check(PyLong_FromLong(1)).release();
  state.no_levels = Ref::check(PyTuple_New(0)).release();
  state.kw_default = names_tuple({"default"}).release();
  state.kw_get_sql = names_tuple({"sql_id", "params"}).release();
  state.kw_sql_con_args = names_tuple({"sql", "con", "args"}).release();
  state.kw_sql_page_con_args = names_tuple({"sql", "page", "con", "args"}).release();

  dict_set(g, "Dict", import_attr("typing", "Dict"));
  dict_set(g, "Any", import_attr("typing", "Any"));
  dict_set(g, "List", import_attr("typing", "List"));
  dict_set(g, "get_args", import_attr("typing", "get_args"));
  Ref engine = import_attr("sqlalchemy", "Engine");
  dict_set(g, "Engine", engine);
  dict_set(g, "TextClause", import_attr("sqlalchemy", "TextClause"));
  Ref sessionmaker = import_attr("sqlalchemy.orm", "sessionmaker");
  dict_set(g, "sessionmaker", sessionmaker);
  sessions.init(sessionmaker);
  Ref page = import_attr("wisp.db.query_runner", "Page");
  Ref query_runner = import_attr("wisp.db.query_runner", "QueryRunner");
  dict_set(g, "Page", page);
  dict_set(g, "QueryRunner", query_runner);
  Ref probe = import("wisp.utils.class_probe");
  for (PyObject* name : {names->is_container_type, names->is_result_class, names->get_base_type}) {
    dict_set(g, name, getattr(probe, name));
  }

  Def::of<results_handle>("results_handle")
      .param("results", &ResultsHandle::results)
      .param("result_type", &ResultsHandle::result_type)
      .param("f_return_type", &ResultsHandle::f_return_type)
      .bind(g, g);
  dict_set(g, "ContextVar", import_attr("contextvars", "ContextVar"));
  Ref gateway_cls = make_gateway(g, engine, query_runner, page);
  dict_set(g, "WispDbGateway", gateway_cls);
  state.insert_orm2 = getattr(gateway_cls, names->insert_orm2).release();
  state.con = getattr(gateway_cls, names->con).release();
  state.gateway_cls = gateway_cls.release();
  engines::set_row_insert(engines::Layer::Gateway, gateway_row_insert);

  state.failed_depth = make_failed_depth().release();
  Ref rolled_back = Ref::check(PyErr_NewExceptionWithDoc(
      "wisp.db.db_gateway.TransactionRolledBackError",
      "Raised by a statement or commit() of a transaction that was rolled back: an earlier "
      "statement failed, or an inner level ended with rollback(). Nothing of the transaction "
      "is committed; it must be ended with rollback() before the context can use the gateway "
      "again.",
      PyExc_Exception, nullptr));
  dict_set(g, "TransactionRolledBackError", rolled_back);
  decisions.init(g, PyModule_GetDict(probe.get()));
}
