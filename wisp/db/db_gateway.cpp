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
// the whole transaction.
#include "wisp/classes.h"
#include "sessions.h"

using namespace wisp;

namespace {

struct Names {
  PyObject* Dict = intern("Dict");
  PyObject* List = intern("List");
  PyObject* get_args = intern("get_args");
  PyObject* QueryRunner = intern("QueryRunner");
  PyObject* ContextVar = intern("ContextVar");
  PyObject* is_container_type = intern("is_container_type");
  PyObject* is_result_class = intern("is_result_class");
  PyObject* get_base_type = intern("get_base_type");
  PyObject* results_handle = intern("results_handle");
  PyObject* dict = intern("dict");
  PyObject* list = intern("list");
  PyObject* mapper_dict = intern("mapper_dict");
  PyObject* data_source = intern("data_source");
  PyObject* connection_local = intern("connection_local");
  PyObject* tx_depth = intern("_tx_depth");
  PyObject* query_runner = intern("query_runner");
  PyObject* con = intern("_WispDbGateway__con");
  PyObject* get = intern("get");
  PyObject* set = intern("set");
  PyObject* values = intern("values");
  PyObject* commit = intern("commit");
  PyObject* rollback = intern("rollback");
  PyObject* close = intern("close");
  PyObject* get_sql = intern("get_sql");
  PyObject* select = intern("select");
  PyObject* insert = intern("insert");
  PyObject* update = intern("update");
  PyObject* del = intern("delete");
  PyObject* select_one = intern("select_one");
  PyObject* select_list = intern("select_list");
  PyObject* select_page = intern("select_page");
  PyObject* insert_list = intern("insert_list");
  PyObject* add = intern("add");
  PyObject* add_all = intern("add_all");
  PyObject* select_all_orm1 = intern("select_all_orm1");
  PyObject* select_all_orm2 = intern("select_all_orm2");
  PyObject* select_one_orm1 = intern("select_one_orm1");
  PyObject* select_one_orm2 = intern("select_one_orm2");
  PyObject* delete_orm2 = intern("delete_orm2");
  PyObject* update_orm2 = intern("update_orm2");
  PyObject* bulk_update_mappings = intern("bulk_update_mappings");
  PyObject* insert_orm2 = intern("insert_orm2");
  PyObject* list_key = intern("list");
  PyObject* connection_prefix = intern("connection_");
  PyObject* tx_depth_prefix = intern("tx_depth_");
  PyObject* not_found = intern("not found namespace: ");
  PyObject* check_return = intern("please check return_type: ");
  PyObject* check_return_result = intern("please check return_result_type: ");
  PyObject* result_type_sep = intern(", resultType: ");
  PyObject* rolled_back_error = intern("TransactionRolledBackError");
  PyObject* failed_statement = intern("statement");
};
const Names* N;

struct State {
  PyObject* zero;
  PyObject* one;
  PyObject* empty;       // ()
  PyObject* kw_default;  // ("default",)
  PyObject* kw_get_sql;  // ("sql_id", "params")
  PyObject* kw_sql_con_args;
  PyObject* kw_sql_page_con_args;
  PyObject* kw_data_con;
  PyObject* kw_con;
  PyObject* kw_con_sql_param;
  PyObject* failed_depth;  // the int subclass that marks a failed transaction
};
State S;
db::SessionFactory sessions;

// var.get() / var.set(value) for the context variables held by the gateway.
// (To be replaced by wisp::contextvar_get / contextvar_set.)
Ref var_get(Borrowed var) {
  if (PyContextVar_CheckExact(var.get())) {
    PyObject* value = nullptr;
    check(PyContextVar_Get(var.get(), nullptr, &value));
    if (!value) {
      PyErr_SetObject(PyExc_LookupError, var.get());
      throw PyError{};
    }
    return Ref::steal(value);
  }
  return call_method(var, N->get, {});
}

void var_set(Borrowed var, Borrowed value) {
  if (PyContextVar_CheckExact(var.get())) {
    Ref token = Ref::check(PyContextVar_Set(var.get(), value.get()));
    return;
  }
  call_method(var, N->set, {value.get()});
}

Ref depth_var(Borrowed self) {
  return getattr(self, N->tx_depth);
}

// self.__con()
Ref current_con(Borrowed self) {
  return call_method(self, N->con, {});
}

bool gt(Borrowed a, PyObject* b) {
  return check(PyObject_RichCompareBool(a, b, Py_GT)) != 0;
}

// `a == b` as an expression, taken by its truth value.
bool eq(Borrowed a, Borrowed b) {
  if (PyType_CheckExact(a.get()) && PyType_CheckExact(b.get())) return a.get() == b.get();
  return truthy(Ref::check(PyObject_RichCompare(a, b, Py_EQ)));
}

bool str_equals(Borrowed s, PyObject* interned) {
  if (s.get() == interned) return true;
  if (PyUnicode_CheckExact(s.get())) return PyUnicode_Compare(s.get(), interned) == 0;
  return eq(s, interned);
}

// ---------------------------------------------------------------------------
// results_handle

Ref as_str(Borrowed o) {
  return Ref::check(PyObject_Str(o));
}

[[noreturn]] void type_mismatch(PyObject* prefix, Borrowed shown, Borrowed result_type) {
  Ref a = as_str(shown), b = as_str(result_type);
  raise(PyExc_TypeError, concat({prefix, a.get(), N->result_type_sep, b.get()}));
}

// result_type(**row)
Ref construct(Borrowed result_type, Borrowed row) {
  if (PyDict_CheckExact(row.get())) return Ref::check(PyObject_Call(result_type, S.empty, row));
  Ref kwargs = new_dict();
  if (PyDict_Merge(kwargs.get(), row.get(), 1) < 0) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      raise_format(PyExc_TypeError, "%.200s argument after ** must be a mapping, not %.200s",
                   Py_TYPE(result_type.get())->tp_name, Py_TYPE(row.get())->tp_name);
    }
    throw_error();
  }
  return Ref::check(PyObject_Call(result_type, S.empty, kwargs.get()));
}

// next(iter(row.values()))
Ref first_value(Borrowed row) {
  if (PyDict_CheckExact(row.get())) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    if (PyDict_Next(row.get(), &pos, &key, &value)) return Ref::borrow(value);
    PyErr_SetNone(PyExc_StopIteration);
    throw PyError{};
  }
  Ref values = call_method(row, N->values, {});
  Ref it = Ref::check(PyObject_GetIter(values.get()));
  PyObject* v = PyIter_Next(it.get());
  if (!v) {
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
    throw PyError{};
  }
  return Ref::steal(v);
}

// def results_handle(results, result_type, f_return_type)
Ref results_handle(FunctionObject* f, Ref* a) {
  Borrowed results = a[0], result_type = a[1];
  Ref f_return_type = a[2];
  Py_ssize_t n = PyObject_Size(results);
  if (n < 0) throw_error();
  if (n == 0) return Ref::borrow(results);
  GlobalRef list_t = global(f, N->list);
  GlobalRef dict_t = global(f, N->dict);
  GlobalRef Dict = global(f, N->Dict);
  GlobalRef List = global(f, N->List);
  if (f_return_type.get() == Py_None) f_return_type = Ref::borrow(list_t);
  Ref return_type = call(global(f, N->get_base_type), {f_return_type.get()});

  const bool wants_dict = eq(return_type, dict_t) || eq(return_type, Dict);
  const bool wants_list = !wants_dict && (eq(return_type, list_t) || eq(return_type, List));
  if (wants_dict) {
    bool container = truthy(call(global(f, N->is_container_type), {result_type.get()}));
    if (!container && !truthy(call(global(f, N->is_result_class), {result_type.get()}))) {
      type_mismatch(N->check_return, return_type, result_type);
    }
    if (container && !eq(result_type, dict_t) && !eq(result_type, Dict)) {
      // result_type != dict and result_type != Dict
      type_mismatch(N->check_return, return_type, result_type);
    }
  } else if (wants_list) {
    if (truthy(result_type)) {
      Ref base = call(global(f, N->get_args), {f_return_type.get()});
      if (truthy(base)) {
        base = Ref::check(PySequence_GetItem(base.get(), 0));
        if (result_type.get() != base.get()) {
          type_mismatch(N->check_return_result, base, result_type);
        }
      }
    }
  } else {
    bool ok = truthy(call(global(f, N->is_container_type), {return_type.get()})) ||
              result_type.get() == return_type.get();
    if (!ok) type_mismatch(N->check_return, return_type, result_type);
  }

  if (result_type.get() == list_t.get() || result_type.get() == List.get()) {
    raise(PyExc_TypeError, "please check result type");
  }

  if (wants_list) {
    if (result_type.get() == dict_t.get()) return Ref::borrow(results);
    bool result_class = truthy(call(global(f, N->is_result_class), {result_type.get()}));
    Ref out = new_list();
    Ref it = Ref::check(PyObject_GetIter(results));
    while (PyObject* raw = PyIter_Next(it.get())) {
      Ref row = Ref::steal(raw);
      list_append(out, result_class ? construct(result_type, row) : first_value(row));
    }
    if (PyErr_Occurred()) throw_error();
    return out;
  }
  Ref first = Ref::check(PySequence_GetItem(results, 0));
  if (result_type.get() == dict_t.get()) return first;
  if (truthy(call(global(f, N->is_result_class), {result_type.get()}))) {
    return construct(result_type, first);
  }
  return first_value(first);
}

// ---------------------------------------------------------------------------
// Failed transactions

bool is_failed(Borrowed depth) {
  return Py_TYPE(depth.get()) == reinterpret_cast<PyTypeObject*>(S.failed_depth);
}

// int(depth) marked as failed in `statement`: (namespace, id) of a mapped
// statement, or None.
Ref failed_depth(Borrowed depth, Borrowed statement) {
  Ref marked = call(S.failed_depth, {depth.get()});
  setattr(marked, N->failed_statement, statement);
  return marked;
}

// Called while the statement's exception is set aside: marks this context's
// transaction as failed, unless it has ended meanwhile or is marked already
// (the first failure is the one worth naming).
void mark_failed(Borrowed self, Borrowed sql_id, Borrowed namespace_) {
  Ref depth_v = depth_var(self);
  Ref depth = var_get(depth_v);
  if (is_failed(depth) || !gt(depth, S.zero)) return;
  Ref statement = sql_id ? tuple({namespace_.get(), sql_id.get()}) : none();
  var_set(depth_v, failed_depth(depth, statement));
}

// raise TransactionRolledBackError(...) from None, with no context either:
// the error that rolled the transaction back has already reached the caller.
[[noreturn]] void raise_failed(Borrowed globals, Borrowed depth) {
  Ref statement = getattr(depth, N->failed_statement);
  Ref message;
  if (PyTuple_CheckExact(statement.get()) && PyTuple_GET_SIZE(statement.get()) == 2) {
    message = Ref::check(PyUnicode_FromFormat(
        "the transaction was rolled back after an earlier error in statement %R of namespace "
        "%R; it must be ended with rollback()",
        PyTuple_GET_ITEM(statement.get(), 1), PyTuple_GET_ITEM(statement.get(), 0)));
  } else {
    message =
        str("the transaction was rolled back after an earlier error; it must be ended with "
            "rollback()");
  }
  Ref exc = call(global(globals, N->rolled_back_error), {message.get()});
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
  Ref depth = var_get(depth_var(self));
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
  GlobalRef cls = global(f, N->ContextVar);
  if (cls.get() == reinterpret_cast<PyObject*>(&PyContextVar_Type)) {
    return Ref::check(PyContextVar_New(PyUnicode_AsUTF8(name.get()), dflt.get()));
  }
  return call_kw(cls, {name.get(), dflt.get()}, S.kw_default);
}

// def __init__(self, mapper_dict: dict, data_source: Engine = None,
//              query_runner: QueryRunner = None)
Ref gw_init(FunctionObject* f, Ref* a) {
  Borrowed self = a[0], data_source = a[2], query_runner = a[3];
  setattr(self, N->mapper_dict, a[1]);
  setattr(self, N->data_source, data_source);
  Ref id = Ref::check(PyLong_FromVoidPtr(self.get()));
  Ref id_text = as_str(id);
  setattr(self, N->connection_local, new_context_var(f, N->connection_prefix, id_text, Py_None));
  setattr(self, N->tx_depth, new_context_var(f, N->tx_depth_prefix, id_text, S.zero));
  if (truthy(query_runner)) {
    setattr(self, N->query_runner, query_runner);
    setattr(self, N->data_source, getattr(query_runner, N->data_source));
  } else if (truthy(data_source)) {
    setattr(self, N->query_runner, call(global(f, N->QueryRunner), {data_source.get()}));
  } else {
    raise(PyExc_Exception, "query_runner can't init");
  }
  return none();
}

// def __con(self)
Ref gw_con(FunctionObject*, Ref* a) {
  return var_get(getattr(a[0], N->connection_local));
}

// def begin_tx(self)
Ref gw_begin_tx(FunctionObject* f, Ref* a) {
  Borrowed self = a[0];
  Ref depth_v = depth_var(self);
  Ref depth = var_get(depth_v);
  if (gt(depth, S.zero)) {
    Ref deeper = Ref::check(PyNumber_Add(depth.get(), S.one));
    // A nested begin_tx inside a failed transaction stays failed.
    if (is_failed(depth)) deeper = failed_depth(deeper, getattr(depth, N->failed_statement));
    var_set(depth_v, deeper);
    return none();
  }
  Ref session = sessions.make(f->globals, getattr(self, N->data_source));
  var_set(getattr(self, N->connection_local), session);
  var_set(depth_var(self), S.one);
  return none();
}

// def commit(self)
Ref gw_commit(FunctionObject* f, Ref* a) {
  Borrowed self = a[0];
  Ref depth_v = depth_var(self);
  Ref depth = var_get(depth_v);
  if (is_failed(depth)) raise_failed(f->globals, depth);
  if (gt(depth, S.one)) {
    var_set(depth_v, Ref::check(PyNumber_Subtract(depth.get(), S.one)));
    return none();
  }
  Ref connection = current_con(self);
  if (truthy(connection)) call_method(connection, N->commit, {});
  var_set(depth_var(self), S.zero);
  return none();
}

// def rollback(self)
Ref gw_rollback(FunctionObject*, Ref* a) {
  Borrowed self = a[0];
  Ref connection = current_con(self);
  if (truthy(connection)) call_method(connection, N->rollback, {});
  var_set(depth_var(self), S.zero);
  return none();
}

// def close(self)
Ref gw_close(FunctionObject*, Ref* a) {
  Borrowed self = a[0];
  Ref depth = var_get(depth_var(self));
  if (gt(depth, S.zero)) return none();
  Ref connection = current_con(self);
  if (truthy(connection)) {
    call_method(connection, N->close, {});
    var_set(getattr(self, N->connection_local), Py_None);
  }
  var_set(depth_var(self), S.zero);
  return none();
}

// def get_ori_session(self)
Ref gw_get_ori_session(FunctionObject* f, Ref* a) {
  return sessions.make(f->globals, getattr(a[0], N->data_source));
}

// ---------------------------------------------------------------------------
// Statements

// a, b, c, d = value (to be replaced by wisp::unpack<4>)
void unpack4(Borrowed value, Ref out[4]) {
  if (PyTuple_CheckExact(value.get()) && PyTuple_GET_SIZE(value.get()) == 4) {
    for (Py_ssize_t i = 0; i < 4; ++i) out[i] = Ref::borrow(PyTuple_GET_ITEM(value.get(), i));
    return;
  }
  Ref it = Ref::steal(PyObject_GetIter(value));
  if (!it) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      raise_format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                   Py_TYPE(value.get())->tp_name);
    }
    throw_error();
  }
  for (int i = 0; i < 4; ++i) {
    PyObject* item = PyIter_Next(it.get());
    if (!item) {
      if (PyErr_Occurred()) throw_error();
      raise_format(PyExc_ValueError, "not enough values to unpack (expected 4, got %d)", i);
    }
    out[i] = Ref::steal(item);
  }
  PyObject* extra = PyIter_Next(it.get());
  if (extra) {
    Py_DECREF(extra);
    raise(PyExc_ValueError, "too many values to unpack (expected 4)");
  }
  if (PyErr_Occurred()) throw_error();
}

// def execute_sql(self, sql_id: str, namespace: str = None, ori_params: dict = None,
//                 page: Page = None, return_type: Any = None)
Ref gw_execute_sql(FunctionObject* f, Ref* a) {
  Borrowed self = a[0], sql_id = a[1], namespace_ = a[2], ori_params = a[3], page = a[4],
           return_type = a[5];
  refuse_if_failed(f->globals, self);
  Ref mapper_dict = getattr(self, N->mapper_dict);
  if (!check(PySequence_Contains(mapper_dict.get(), namespace_))) {
    Ref text = as_str(namespace_);
    raise(PyExc_Exception, concat({N->not_found, text.get()}));
  }
  Ref mapper = Ref::check(PyObject_GetItem(mapper_dict.get(), namespace_));
  mapper_dict.reset();
  Ref got = call_method_kw(mapper, N->get_sql, {sql_id.get(), ori_params.get()}, S.kw_get_sql);
  mapper.reset();
  Ref parts[4];
  unpack4(got, parts);
  got.reset();
  Ref &sql = parts[0], &params = parts[1], &sql_type = parts[2], &result_type = parts[3];

  if (str_equals(sql_type, N->select)) {
    Ref runner = getattr(self, N->query_runner);
    Ref con = current_con(self);
    if (truthy(page)) {
      Ref results = run_in_tx(self, con, sql_id, namespace_, [&] {
        return call_method_kw(runner, N->select_page,
                              {sql.get(), page.get(), con.get(), params.get()},
                              S.kw_sql_page_con_args);
      });
      Ref rows = Ref::check(PyObject_GetItem(results.get(), N->list_key));
      Ref handled =
          call(global(f, N->results_handle), {rows.get(), result_type.get(), return_type.get()});
      check(PyObject_SetItem(results.get(), N->list_key, handled.get()));
      return results;
    }
    Ref results = run_in_tx(self, con, sql_id, namespace_, [&] {
      return call_method_kw(runner, N->select_list, {sql.get(), con.get(), params.get()},
                            S.kw_sql_con_args);
    });
    return call(global(f, N->results_handle),
                {results.get(), result_type.get(), return_type.get()});
  }
  PyObject* op = nullptr;
  if (str_equals(sql_type, N->insert)) {
    op = N->insert;
  } else if (str_equals(sql_type, N->del)) {
    op = N->del;
  } else if (str_equals(sql_type, N->update)) {
    op = N->update;
  } else {
    return none();
  }
  Ref runner = getattr(self, N->query_runner);
  Ref con = current_con(self);
  return run_in_tx(self, con, sql_id, namespace_, [&] {
    return call_method_kw(runner, op, {sql.get(), con.get(), params.get()}, S.kw_sql_con_args);
  });
}

// Every pass-through: refused in a failed transaction, otherwise
// `call(runner, con)` with self.query_runner and the context's session.
template <class F>
Ref pass_through(FunctionObject* f, Borrowed self, F&& call_runner) {
  refuse_if_failed(f->globals, self);
  Ref runner = getattr(self, N->query_runner);
  Ref con = current_con(self);
  return run_in_tx(self, con, Borrowed(), Borrowed(), [&] { return call_runner(runner, con); });
}

// self.query_runner.<name>(sql=sql, con=con, args=sql_param)
Ref pass_sql(FunctionObject* f, Ref* a, PyObject* name) {
  return pass_through(f, a[0], [&](Borrowed runner, Borrowed con) {
    return call_method_kw(runner, name, {a[1].get(), con.get(), a[2].get()}, S.kw_sql_con_args);
  });
}

// self.query_runner.<name>(statement, con=con)
Ref pass_statement(FunctionObject* f, Ref* a, PyObject* name) {
  return pass_through(f, a[0], [&](Borrowed runner, Borrowed con) {
    return call_method_kw(runner, name, {a[1].get(), con.get()}, S.kw_con);
  });
}

Ref gw_select_one(FunctionObject* f, Ref* a) {
  return pass_sql(f, a, N->select_one);
}
Ref gw_select_list(FunctionObject* f, Ref* a) {
  return pass_sql(f, a, N->select_list);
}
Ref gw_insert(FunctionObject* f, Ref* a) {
  return pass_sql(f, a, N->insert);
}
Ref gw_insert_list(FunctionObject* f, Ref* a) {
  return pass_sql(f, a, N->insert_list);
}
Ref gw_delete(FunctionObject* f, Ref* a) {
  return pass_sql(f, a, N->del);
}
Ref gw_update(FunctionObject* f, Ref* a) {
  return pass_sql(f, a, N->update);
}

// def select_page(self, sql: TextClause, page, sql_param=None)
Ref gw_select_page(FunctionObject* f, Ref* a) {
  return pass_through(f, a[0], [&](Borrowed runner, Borrowed con) {
    return call_method_kw(runner, N->select_page, {a[1].get(), a[2].get(), con.get(), a[3].get()},
                          S.kw_sql_page_con_args);
  });
}

// def add(self, data: Any) / def add_all(self, datas: Any)
Ref pass_data(FunctionObject* f, Ref* a, PyObject* name) {
  return pass_through(f, a[0], [&](Borrowed runner, Borrowed con) {
    return call_method_kw(runner, name, {a[1].get(), con.get()}, S.kw_data_con);
  });
}
Ref gw_add(FunctionObject* f, Ref* a) {
  return pass_data(f, a, N->add);
}
Ref gw_add_all(FunctionObject* f, Ref* a) {
  return pass_data(f, a, N->add_all);
}

Ref gw_select_all_orm1(FunctionObject* f, Ref* a) {
  return pass_statement(f, a, N->select_all_orm1);
}
Ref gw_select_all_orm2(FunctionObject* f, Ref* a) {
  return pass_statement(f, a, N->select_all_orm2);
}
Ref gw_select_one_orm1(FunctionObject* f, Ref* a) {
  return pass_statement(f, a, N->select_one_orm1);
}
Ref gw_select_one_orm2(FunctionObject* f, Ref* a) {
  return pass_statement(f, a, N->select_one_orm2);
}
Ref gw_delete_orm2(FunctionObject* f, Ref* a) {
  return pass_statement(f, a, N->delete_orm2);
}

// def update_orm2(self, statement, sql_param: dict | None = None)
Ref gw_update_orm2(FunctionObject* f, Ref* a) {
  return pass_through(f, a[0], [&](Borrowed runner, Borrowed con) {
    return call_method_kw(runner, N->update_orm2, {a[1].get(), con.get(), a[2].get()},
                          S.kw_con_sql_param);
  });
}

// def bulk_update_mappings(self, table_model, data_list: list[dict] | None = None)
Ref gw_bulk_update_mappings(FunctionObject* f, Ref* a) {
  return pass_through(f, a[0], [&](Borrowed runner, Borrowed con) {
    return call_method_kw(runner, N->bulk_update_mappings, {a[1].get(), a[2].get(), con.get()},
                          S.kw_con);
  });
}

// def insert_orm2(self, statement, data_list: list = None)
Ref gw_insert_orm2(FunctionObject* f, Ref* a) {
  return pass_through(f, a[0], [&](Borrowed runner, Borrowed con) {
    return call_method_kw(runner, N->insert_orm2, {a[1].get(), a[2].get(), con.get()}, S.kw_con);
  });
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "db_gateway", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_db_gateway() {
  return init_module(&module_def, [](Borrowed g) {
    N = new Names();
    PyObject* str_t = reinterpret_cast<PyObject*>(&PyUnicode_Type);
    PyObject* dict_t = reinterpret_cast<PyObject*>(&PyDict_Type);
    PyObject* list_t = reinterpret_cast<PyObject*>(&PyList_Type);

    S.zero = PyLong_FromLong(0);
    S.one = PyLong_FromLong(1);
    S.empty = PyTuple_New(0);
    S.kw_default = names_tuple({"default"}).release();
    S.kw_get_sql = names_tuple({"sql_id", "params"}).release();
    S.kw_sql_con_args = names_tuple({"sql", "con", "args"}).release();
    S.kw_sql_page_con_args = names_tuple({"sql", "page", "con", "args"}).release();
    S.kw_data_con = names_tuple({"data", "con"}).release();
    S.kw_con = names_tuple({"con"}).release();
    S.kw_con_sql_param = names_tuple({"con", "sql_param"}).release();
    if (!S.zero || !S.one || !S.empty) throw_error();

    Ref any = import_attr("typing", "Any");
    dict_set(g, "Dict", import_attr("typing", "Dict"));
    dict_set(g, "Any", any);
    dict_set(g, "List", import_attr("typing", "List"));
    dict_set(g, "get_args", import_attr("typing", "get_args"));
    Ref engine = import_attr("sqlalchemy", "Engine");
    Ref text_clause = import_attr("sqlalchemy", "TextClause");
    dict_set(g, "Engine", engine);
    dict_set(g, "TextClause", text_clause);
    Ref sessionmaker = import_attr("sqlalchemy.orm", "sessionmaker");
    dict_set(g, "sessionmaker", sessionmaker);
    sessions.init(sessionmaker);
    Ref page = import_attr("wisp.db.query_runner", "Page");
    Ref query_runner = import_attr("wisp.db.query_runner", "QueryRunner");
    dict_set(g, "Page", page);
    dict_set(g, "QueryRunner", query_runner);
    dict_set(g, "is_container_type", import_attr("wisp.utils.class_probe", "is_container_type"));
    dict_set(g, "is_result_class", import_attr("wisp.utils.class_probe", "is_result_class"));
    dict_set(g, "get_base_type", import_attr("wisp.utils.class_probe", "get_base_type"));

    Def("results_handle", results_handle)
        .param("results")
        .param("result_type")
        .param("f_return_type")
        .bind(g, g);
    dict_set(g, "ContextVar", import_attr("contextvars", "ContextVar"));

    Ref list_of_dict = Ref::check(Py_GenericAlias(list_t, dict_t));
    Ref list_of_dict_or_none = Ref::check(PyNumber_Or(list_of_dict.get(), Py_None));
    Ref dict_or_none = Ref::check(PyNumber_Or(dict_t, Py_None));

    ClassBuilder cb("WispDbGateway", g);
    {
      Def d("__init__", gw_init);
      d.param("self").param("mapper_dict").annotate(dict_t);
      d.param("data_source").annotate(engine).def(Py_None);
      d.param("query_runner").annotate(query_runner).def(Py_None);
      cb.method(d);
    }
    {
      // def __con(self): stored under its mangled name.
      Def d("__con", gw_con);
      d.param("self");
      cb.method(d);
    }
    auto no_args = [&](const char* name, Impl impl) {
      Def d(name, impl);
      d.param("self");
      cb.method(d);
    };
    no_args("begin_tx", gw_begin_tx);
    no_args("commit", gw_commit);
    no_args("rollback", gw_rollback);
    no_args("close", gw_close);
    no_args("get_ori_session", gw_get_ori_session);
    {
      Def d("execute_sql", gw_execute_sql);
      d.param("self").param("sql_id").annotate(str_t);
      d.param("namespace").annotate(str_t).def(Py_None);
      d.param("ori_params").annotate(dict_t).def(Py_None);
      d.param("page").annotate(page).def(Py_None);
      d.param("return_type").annotate(any).def(Py_None);
      cb.method(d);
    }
    auto sql_param = [&](const char* name, Impl impl, bool optional) {
      Def d(name, impl);
      d.param("self").param("sql").annotate(text_clause).param("sql_param");
      if (optional) d.def(Py_None);
      cb.method(d);
    };
    auto statement = [&](const char* name, Impl impl) {
      Def d(name, impl);
      d.param("self").param("statement");
      cb.method(d);
    };
    sql_param("select_one", gw_select_one, true);
    sql_param("select_list", gw_select_list, true);
    {
      Def d("select_page", gw_select_page);
      d.param("self").param("sql").annotate(text_clause).param("page");
      d.param("sql_param").def(Py_None);
      cb.method(d);
    }
    sql_param("insert", gw_insert, false);
    sql_param("insert_list", gw_insert_list, false);
    sql_param("delete", gw_delete, false);
    sql_param("update", gw_update, false);
    {
      Def d("add", gw_add);
      d.param("self").param("data").annotate(any);
      cb.method(d);
    }
    {
      Def d("add_all", gw_add_all);
      d.param("self").param("datas").annotate(any);
      cb.method(d);
    }
    statement("select_all_orm1", gw_select_all_orm1);
    statement("select_all_orm2", gw_select_all_orm2);
    statement("select_one_orm1", gw_select_one_orm1);
    statement("select_one_orm2", gw_select_one_orm2);
    statement("delete_orm2", gw_delete_orm2);
    {
      Def d("update_orm2", gw_update_orm2);
      d.param("self").param("statement");
      d.param("sql_param").annotate(dict_or_none, Check::Dict).def(Py_None);
      cb.method(d);
    }
    {
      Def d("bulk_update_mappings", gw_bulk_update_mappings);
      d.param("self").param("table_model");
      d.param("data_list").annotate(list_of_dict_or_none, Check::List).def(Py_None);
      cb.method(d);
    }
    {
      Def d("insert_orm2", gw_insert_orm2);
      d.param("self").param("statement");
      d.param("data_list").annotate(list_t).def(Py_None);
      cb.method(d);
    }
    dict_set(g, "WispDbGateway", cb.make());

    // The marked depth of a failed transaction: an int with the failed
    // statement in its __dict__. Not a module global.
    {
      Ref ns = new_dict();
      dict_set(ns, "__module__", str("wisp.db.db_gateway"));
      dict_set(ns, "__qualname__", str("WispDbGateway._FailedDepth"));
      Ref bases = tuple({reinterpret_cast<PyObject*>(&PyLong_Type)});
      Ref name = str("_FailedDepth");
      S.failed_depth =
          call(reinterpret_cast<PyObject*>(&PyType_Type), {name.get(), bases.get(), ns.get()})
              .release();
    }
    Ref rolled_back = Ref::check(PyErr_NewExceptionWithDoc(
        "wisp.db.db_gateway.TransactionRolledBackError",
        "Raised by a statement or commit() of a transaction that was rolled back after an "
        "earlier statement failed. Nothing of the transaction is committed; it must be ended "
        "with rollback() before the context can use the gateway again.",
        PyExc_Exception, nullptr));
    dict_set(g, "TransactionRolledBackError", rolled_back);
  });
}
