// wisp.wisp, the statement decorators: a function's signature and a SQL
// string written in code become an executed statement, whose rows are shaped
// by the function's return annotation. The function's body never runs.
//
//     def __combine_args(fun, args, kwargs): ...
//     def __combine_args_page(fun, args, kwargs): ...
//     def _prepare_sql(sql_str, params): ...
//     def select_one(sql: "str"): ...
//     def result_type_handle(result_type: "Any", result: "dict"): ...
//     def select_list(sql: "str"): ...
//     def select_page(sql: "str"): ...
//     def _sql_decorator(sql_str: "str", sql_type: "str"): ...
//     def insert_list(sql: "str"): ...
//     def insert(sql: "str"): return _sql_decorator(sql, "insert")
//     def delete(sql: "str"): return _sql_decorator(sql, "delete")
//     def update(sql: "str"): return _sql_decorator(sql, "update")
//
// Every factory returns `decorator(func)`, which returns
// `wraps(func)(wrapper)`; a wrapper call runs, in order:
//
//     params = __combine_args(func, args, kwargs)     # or __combine_args_page
//     db_gateway, sql, sql_param = _prepare_sql(sql_str, params)
//     result = db_gateway.<operation>(sql, sql_param)
//     f_return_type = get_type_hints(func).get("return", None)
//     ... shape result by f_return_type ...
//
// Each name is looked up in the module when the wrapper runs; while it is
// still the module's own function, the wrapper runs its body directly, with
// what it keeps of the decorated function (see WrapperVars).
#include <algorithm>

#include "binding.h"
#include "facade.h"

using namespace wisp;
using namespace wisp::facade;

namespace {

PyObject* forward_ref;  // typing.ForwardRef
// The globals what a wrapper makes of its return annotation is worked out
// through, here and in wisp.utils.class_probe.
OriginalGlobals* typing_globals;

// ---------------------------------------------------------------------------
// Small pieces of Python semantics.

// A parametrised dict such as dict[str, Any] or Dict[str, Any]: its origin
// is dict.
bool is_parametrised_dict(Borrowed globals, Borrowed t) {
  GlobalRef dict_t = global(globals, names->dict);
  Ref origin = call(global(globals, names->get_origin), {t.get()});
  return origin.get() == dict_t.get();
}

// `t == dict or t == Dict`, and a parametrised dict counts too: its rows
// are dicts as well.
bool is_dict_type(Borrowed globals, Borrowed t) {
  return equals(t, global(globals, names->dict)) || equals(t, global(globals, names->Dict)) ||
         is_parametrised_dict(globals, t);
}

// len(row.keys())
Py_ssize_t key_count(Borrowed row) {
  if (PyDict_CheckExact(row.get())) return PyDict_GET_SIZE(row.get());
  Ref keys = call_method(row, names->keys, {});
  Py_ssize_t n = PyObject_Size(keys.get());
  if (n < 0) throw_error();
  return n;
}

// ---------------------------------------------------------------------------
// What a wrapper keeps of its function between calls

// The values a wrapper closes over: the decorator's SQL text (and, for the
// writes, the gateway operation's name) and the function; then what it keeps
// of the function: the parameter plan inspect.signature gives (null: nothing
// kept), with what the plan was read from, and the return annotation
// get_type_hints gives (null: not read yet).
//
// What is kept serves while the function still holds the very __code__,
// __defaults__ and __signature__ it was read from, and __kwdefaults__ and
// __annotations__ with the same items, and while the module's
// inspect.signature and get_type_hints are the originals. A function with
// __wrapped__ is read afresh on every call, and so are the type hints of one
// whose annotations hold a string or a forward reference: what those mean
// depends on the module's globals at the time of the call.
struct WrapperVars {
  Ref sql_str, sql_type, func;
  Ref code, defaults, kwdefaults, annotations, signature;  // as read: copies of the dicts
  Ref plan;
  Ref hints_kept;  // True: `hint` may be kept (no forward reference)
  Ref hint;
  Ref shape;  // what the wrapper makes of `hint` (see kept_shape)
  static auto fields() {
    return wisp::fields(&WrapperVars::sql_str, &WrapperVars::sql_type, &WrapperVars::func,
                        &WrapperVars::code, &WrapperVars::defaults, &WrapperVars::kwdefaults,
                        &WrapperVars::annotations, &WrapperVars::signature, &WrapperVars::plan,
                        &WrapperVars::hints_kept, &WrapperVars::hint, &WrapperVars::shape);
  }
};

// What inspect.signature and get_type_hints read from a plain function;
// `wrapped` when it has __wrapped__, which is then all that is read.
struct Sources {
  Ref code, defaults, kwdefaults, annotations, signature;
  bool wrapped = false;
};

Sources sources_of(Borrowed func) {
  Sources s;
  Ref dict = Ref::check(PyObject_GenericGetDict(func, nullptr));
  if (dict_get_ref(dict, names->wrapped_attr)) {
    s.wrapped = true;
    return s;
  }
  s.signature = dict_get_ref(dict, names->signature_attr);
  s.code = Ref::borrow(PyFunction_GetCode(func));
  s.defaults = Ref::borrow(PyFunction_GetDefaults(func));
  s.kwdefaults = Ref::borrow(PyFunction_GetKwDefaults(func));
  s.annotations = getattr(func, names->annotations);
  return s;
}

// The same keys in the same order with the very same values; two nulls are
// the same.
bool same_items(Borrowed a, Borrowed b) {
  if (!a || !b) return a.get() == b.get();
  if (PyDict_GET_SIZE(a.get()) != PyDict_GET_SIZE(b.get())) return false;
  Py_ssize_t pa = 0, pb = 0;
  PyObject *ka, *va, *kb, *vb;
  while (PyDict_Next(a.get(), &pa, &ka, &va)) {
    if (!PyDict_Next(b.get(), &pb, &kb, &vb) || ka != kb || va != vb) return false;
  }
  return true;
}

// Whether what the wrapper keeps still serves for its function (see above;
// the module's globals are tested where each is used).
bool kept_fresh(const WrapperVars& v) {
  if (!v.plan || !PyFunction_Check(v.func.get())) return false;
  Sources now = sources_of(v.func);
  return !now.wrapped && now.code.get() == v.code.get() && now.defaults.get() == v.defaults.get() &&
         now.signature.get() == v.signature.get() &&
         (!now.kwdefaults || PyDict_CheckExact(now.kwdefaults.get())) &&
         same_items(now.kwdefaults, v.kwdefaults) && PyDict_CheckExact(now.annotations.get()) &&
         same_items(now.annotations, v.annotations);
}

// Whether get_type_hints would evaluate something in `annotation` against
// the module's globals: a string, a ForwardRef, or one inside the arguments
// of a generic alias such as list["User"]. Anything unexpected counts as
// one.
bool has_forward_reference(Borrowed annotation, int depth = 0) {
  if (depth > 16 || PyUnicode_Check(annotation.get())) return true;
  if (annotation.get() == Py_None || PyType_Check(annotation.get())) return false;
  try {
    if (check(PyObject_IsInstance(annotation.get(), forward_ref))) return true;
    Ref args = getattr_opt(annotation, names->args_attr);
    if (!args) return false;
    if (!PyTuple_Check(args.get())) return true;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args.get()); ++i) {
      if (has_forward_reference(PyTuple_GET_ITEM(args.get(), i), depth + 1)) return true;
    }
    return false;
  } catch (const PyError&) {
    // An annotation that cannot be looked into is simply not kept; an
    // interruption (KeyboardInterrupt, SystemExit) goes on to the caller.
    if (!clear_ordinary_exception()) throw;
    return true;
  }
}

// inspect.signature(func) as a parameter plan, with the module's `inspect`
// and its `signature` looked up now.
Ref plan_afresh(FunctionObject* f, Borrowed func) {
  Ref signature = getattr(global(f, names->inspect), names->signature);
  return parameter_plan(call(signature, {func.get()}));
}

// The parameter plan of the wrapper's function: the kept one while it
// serves, else read afresh, and kept when the function is a plain one with
// its annotations and keyword defaults in plain dicts.
Ref plan_for(FunctionObject* f) {
  Ref func = captured<WrapperVars>(f).func;
  bool original =
      global_is(f, names->inspect, originals.inspect) &&
      dict_get(PyModule_GetDict(originals.inspect), names->signature).get() == originals.signature;
  if (!original || !PyFunction_Check(func.get())) return plan_afresh(f, func);
  if (kept_fresh(captured<WrapperVars>(f))) return captured<WrapperVars>(f).plan;
  Sources read = sources_of(func);
  if (read.wrapped || !PyDict_CheckExact(read.annotations.get()) ||
      (read.kwdefaults && !PyDict_CheckExact(read.kwdefaults.get()))) {
    return plan_afresh(f, func);
  }
  Ref kwdefaults = read.kwdefaults ? Ref::check(PyDict_Copy(read.kwdefaults.get())) : Ref();
  Ref annotations = Ref::check(PyDict_Copy(read.annotations.get()));
  bool forward = false;
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (!forward && PyDict_Next(annotations.get(), &pos, &key, &value)) {
    forward = has_forward_reference(value);
  }
  Ref plan = parameter_plan(call(originals.signature, {func.get()}));
  WrapperVars& v = captured<WrapperVars>(f);
  v.code = std::move(read.code);
  v.defaults = std::move(read.defaults);
  v.kwdefaults = std::move(kwdefaults);
  v.annotations = std::move(annotations);
  v.signature = std::move(read.signature);
  v.plan = plan;
  v.hints_kept = boolean(!forward);
  v.hint.reset();
  v.shape.reset();
  return plan;
}

// get_type_hints(func).get("return", None): the kept one while it serves.
Ref return_annotation(FunctionObject* f) {
  Ref func = captured<WrapperVars>(f).func;
  Ref get_type_hints = global(f, names->get_type_hints);
  auto may_keep = [&] {
    const WrapperVars& v = captured<WrapperVars>(f);
    return get_type_hints.get() == originals.get_type_hints && v.hints_kept.get() == Py_True &&
           kept_fresh(v);
  };
  if (may_keep() && captured<WrapperVars>(f).hint) return captured<WrapperVars>(f).hint;
  Ref hints = call(get_type_hints, {func.get()});
  Ref hint = mapping_get(hints, names->return_, Py_None);
  if (may_keep()) captured<WrapperVars>(f).hint = hint;
  return hint;
}

// ---------------------------------------------------------------------------
// __combine_args, __combine_args_page

// The call's positionals as the binding reads them: `args[index]` for each
// index below `len(args)` that names a parameter. The keywords are handed
// on as they are: the binding asks `name in kwargs` and `kwargs[name]` only
// for a parameter the positionals left unfilled.
Ref positionals(Borrowed args, Py_ssize_t parameters) {
  if (PyTuple_CheckExact(args.get())) return Ref::borrow(args);
  Ref held = Ref::borrow(args.get());
  Py_ssize_t n = PyObject_Size(held.get());
  if (n < 0) throw_error();
  n = std::min(n, parameters);
  Ref out = Ref::check(PyTuple_New(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref index = Ref::check(PyLong_FromSsize_t(i));
    PyTuple_SET_ITEM(out.get(), i, Ref::check(PyObject_GetItem(held.get(), index.get())).release());
  }
  return out;
}

BoundCall combine(FunctionObject* f, Borrowed fun, Borrowed call_args, Borrowed call_kwargs) {
  Ref plan = plan_afresh(f, fun);
  Ref positional = positionals(call_args, PyTuple_GET_SIZE(plan.get()));
  return bind_call(plan, positional, call_kwargs, global(f, names->Page));
}

struct CombineArgs {
  Ref fun, args, kwargs;
};

// def __combine_args(fun, args, kwargs)
Ref combine_args(FunctionObject* f, CombineArgs& a) {
  return combine(f, a.fun, a.args, a.kwargs).params;
}

// def __combine_args_page(fun, args, kwargs)
Ref combine_args_page(FunctionObject* f, CombineArgs& a) {
  BoundCall bound = combine(f, a.fun, a.args, a.kwargs);
  return tuple({bound.params.get(), bound.page.get()});
}

// ---------------------------------------------------------------------------
// _prepare_sql

struct Prepared {
  Ref gateway, sql, sql_param;
  Ref as_tuple() const { return tuple({gateway.get(), sql.get(), sql_param.get()}); }
};

//     db = get_current_db()
//     db_gateway = BaseMapper.datasource[db]["db_gateway"]
//     sql, sql_param = ParseMapper.to_prepared_statement(sql_str, params)
//     return db_gateway, sql, sql_param
Prepared prepare_sql(Borrowed globals, Borrowed sql_str, Borrowed params) {
  Ref db = call(global(globals, names->get_current_db));
  Ref entry = registry_entry(globals, mapper_attr(globals, names->datasource), db);
  Prepared out;
  out.gateway = gateway_of(globals, entry);
  entry.reset();
  Ref to_prepared = getattr(global(globals, names->ParseMapper), names->to_prepared_statement);
  Ref statement = call(to_prepared, {sql_str.get(), params.get()});
  auto parts = unpack<2>(statement);
  out.sql = std::move(parts[0]);
  out.sql_param = std::move(parts[1]);
  return out;
}

struct PrepareSqlArgs {
  Ref sql_str, params;
};

// def _prepare_sql(sql_str, params)
Ref prepare_sql_fn(FunctionObject* f, PrepareSqlArgs& a) {
  return prepare_sql(f->globals, a.sql_str, a.params).as_tuple();
}

// ---------------------------------------------------------------------------
// result_type_handle

//     if is_result_class(result_type): return result_type(**result)
//     elif len(result.keys()) == 1: return next(iter(result.values()))
//     else: return result_type(**result)
Ref handle_row(Borrowed result_type, Borrowed result, bool is_result) {
  if (is_result) return call_spread(result_type, result);
  if (key_count(result) == 1) return first_value(result);
  return call_spread(result_type, result);
}

bool is_result_class(Borrowed globals, Borrowed t) {
  return truthy(call(global(globals, names->is_result_class), {t.get()}));
}

struct ResultTypeHandleArgs {
  Ref result_type, result;
};

// def result_type_handle(result_type: "Any", result: "dict")
Ref result_type_handle(FunctionObject* f, ResultTypeHandleArgs& a) {
  return handle_row(a.result_type, a.result, is_result_class(f->globals, a.result_type));
}

// [result_type_handle(result_type, e) for e in rows]
//
// While result_type_handle and is_result_class are the module's own, the
// rows are handled here directly and the result type is classified once for
// the whole list rather than once per row (the classification of a class
// does not change while its rows are built).
Ref handle_rows(FunctionObject* f, Borrowed result_type, Borrowed rows) {
  Ref out = new_list();
  int classified = -1;  // is_result_class(result_type), once known
  for_each(rows, [&](Borrowed row) {
    Ref handle = global(f, names->result_type_handle);
    if (handle.get() != originals.result_type_handle) {
      list_append(out, call(handle, {result_type.get(), row.get()}));
      return;
    }
    handle.reset();
    if (!PyDict_CheckExact(row.get())) raise_arg_type(str("result"), &PyDict_Type, row);
    if (classified < 0 || !global_is(f, names->is_result_class, originals.is_result_class)) {
      classified = is_result_class(f->globals, result_type) ? 1 : 0;
    }
    list_append(out, handle_row(result_type, row, classified == 1));
  });
  return out;
}

// ---------------------------------------------------------------------------
// The wrappers

struct WrapperArgs {
  Ref args, kwargs;
};

struct Bound {
  Ref params, page;
  Prepared prepared;
};

// Steps 1 and 2 of every wrapper: the parameter dict (and the page, for
// select_page), then the gateway and the prepared statement. A call the
// decorated function itself would refuse for an argument too many is refused
// before either, whichever binding runs. Each step calls the module global
// of its name; while that is still the module's own function, its body runs
// here, its result taken as it is rather than packed and unpacked again.
Bound bind_and_prepare(FunctionObject* f, WrapperArgs& a, bool paged) {
  Ref plan = plan_for(f);
  Ref func = captured<WrapperVars>(f).func;
  refuse_surplus(plan, a.args, a.kwargs, func);
  Bound b;
  Ref combine = global(f, paged ? names->combine_args_page : names->combine_args);
  if (combine.get() == (paged ? originals.combine_args_page : originals.combine_args)) {
    BoundCall bound = bind_call(plan, a.args, a.kwargs, global(f, names->Page));
    b.params = std::move(bound.params);
    b.page = std::move(bound.page);
  } else if (paged) {
    auto parts = unpack<2>(call(combine, {func.get(), a.args.get(), a.kwargs.get()}));
    b.params = std::move(parts[0]);
    b.page = std::move(parts[1]);
  } else {
    b.params = call(combine, {func.get(), a.args.get(), a.kwargs.get()});
  }
  combine.reset();
  Ref sql_str = captured<WrapperVars>(f).sql_str;
  Ref prepare = global(f, names->prepare_sql);
  if (prepare.get() == originals.prepare_sql) {
    b.prepared = prepare_sql(f->globals, sql_str, b.params);
  } else {
    auto parts = unpack<3>(call(prepare, {sql_str.get(), b.params.get()}));
    b.prepared = Prepared{std::move(parts[0]), std::move(parts[1]), std::move(parts[2])};
  }
  return b;
}

// What a wrapper makes of its return annotation depends on nothing but the
// annotation and the typing helpers (get_base_type, get_args, get_origin,
// is_container_type, dict, Dict, list, List): it is worked out once and kept
// beside the kept annotation, while that is still the wrapper's hint and
// every helper is still the one the module bound.
//
// A shape is a tuple (annotation, first, second): for select_one the type a
// row becomes and whether that is a parametrised dict; for select_list and
// select_page the base type and the type each row becomes (None: the rows
// stay as they are).
Ref kept_shape(FunctionObject* f, Borrowed annotation) {
  const WrapperVars& v = captured<WrapperVars>(f);
  if (!v.shape || v.hint.get() != annotation.get() ||
      PyTuple_GET_ITEM(v.shape.get(), 0) != annotation.get() || !typing_globals->hold()) {
    return Ref();
  }
  return v.shape;
}

void keep_shape(FunctionObject* f, Borrowed annotation, Borrowed first, Borrowed second) {
  WrapperVars& v = captured<WrapperVars>(f);
  if (v.hint.get() != annotation.get() || !typing_globals->hold()) return;
  v.shape = tuple({annotation.get(), first.get(), second.get()});
}

// The check select_list and select_page make before shaping: the return
// annotation must be a container other than a dict, or absent.
void require_list(FunctionObject* f, Borrowed return_type) {
  if (return_type.get() == Py_None) return;
  bool refused = !truthy(call(global(f, names->is_container_type), {return_type.get()})) ||
                 equals(return_type, global(f, names->dict)) ||
                 equals(return_type, global(f, names->Dict));
  if (!refused) return;
  Ref shown = text_of(return_type);
  raise(PyExc_TypeError, concat({names->check_return, shown.get(), names->set_list}));
}

// What a list's rows become by `-> list[X]`: X objects or single values;
// `item` None when they stay as they are (no annotation, no type argument, X
// a (parametrised) dict).
struct ListShape {
  Ref base, item;
};

// The return annotation of a list wrapper, checked (require_list) and read.
ListShape list_shape(FunctionObject* f) {
  Ref annotation = return_annotation(f);
  if (Ref kept = kept_shape(f, annotation)) {
    return ListShape{Ref::borrow(PyTuple_GET_ITEM(kept.get(), 1)),
                     Ref::borrow(PyTuple_GET_ITEM(kept.get(), 2))};
  }
  ListShape shape{call(global(f, names->get_base_type), {annotation.get()}), none()};
  require_list(f, shape.base);
  if (truthy(shape.base)) {
    Ref type_args = call(global(f, names->get_args), {annotation.get()});
    if (truthy(type_args)) {
      Ref item = Ref::check(PySequence_GetItem(type_args.get(), 0));
      if (!is_dict_type(f->globals, item)) shape.item = std::move(item);
    }
  }
  keep_shape(f, annotation, shape.base, shape.item);
  return shape;
}

// The rows shaped by the return annotation, or null when they stay.
Ref shape_rows(FunctionObject* f, const ListShape& shape, Borrowed rows) {
  if (!truthy(shape.base) || !truthy(rows) || shape.item.get() == Py_None) return Ref();
  return handle_rows(f, shape.item, rows);
}

// select_one's wrapper
Ref select_one_wrapper(FunctionObject* f, WrapperArgs& a) {
  Bound b = bind_and_prepare(f, a, false);
  refuse_missing(b.prepared.sql_param);
  Ref result = call_method(b.prepared.gateway, names->select_one,
                           {b.prepared.sql.get(), b.prepared.sql_param.get()});
  Ref annotation = return_annotation(f);
  Ref return_type;
  bool parametrised_dict;
  if (Ref kept = kept_shape(f, annotation)) {
    return_type = Ref::borrow(PyTuple_GET_ITEM(kept.get(), 1));
    parametrised_dict = PyTuple_GET_ITEM(kept.get(), 2) == Py_True;
  } else {
    Ref hint = annotation;
    // `-> X | None` says what select_one gives: X, or None when nothing matched.
    if (Ref member = optional_member(f->globals, hint)) hint = std::move(member);
    return_type = call(global(f, names->get_base_type), {hint.get()});
    if (equals(return_type, global(f, names->list)) ||
        equals(return_type, global(f, names->List))) {
      Ref type_args = call(global(f, names->get_args), {hint.get()});
      if (truthy(type_args)) return_type = Ref::check(PySequence_GetItem(type_args.get(), 0));
    }
    parametrised_dict = is_parametrised_dict(f->globals, return_type);
    keep_shape(f, annotation, return_type, boolean(parametrised_dict));
  }
  if (!truthy(return_type) || result.get() == Py_None ||
      !not_equals(return_type, global(f, names->dict)) ||
      !not_equals(return_type, global(f, names->Dict)) || parametrised_dict) {
    return result;
  }
  if (is_result_class(f->globals, return_type)) return call_spread(return_type, result);
  if (key_count(result) == 1) return first_value(result);
  raise(PyExc_TypeError, "please check result type");
}

// select_list's wrapper
Ref select_list_wrapper(FunctionObject* f, WrapperArgs& a) {
  Bound b = bind_and_prepare(f, a, false);
  refuse_missing(b.prepared.sql_param);
  Ref result = call_method(b.prepared.gateway, names->select_list,
                           {b.prepared.sql.get(), b.prepared.sql_param.get()});
  Ref shaped = shape_rows(f, list_shape(f), result);
  return shaped ? shaped : result;
}

// select_page's wrapper
Ref select_page_wrapper(FunctionObject* f, WrapperArgs& a) {
  Bound b = bind_and_prepare(f, a, true);
  refuse_missing(b.prepared.sql_param);
  Ref page = b.page;
  if (page.get() == Py_None || page.get() == empty_marker().get()) {
    page = default_page(f->globals);
  }
  Ref result = call_method(b.prepared.gateway, names->select_page,
                           {b.prepared.sql.get(), page.get(), b.prepared.sql_param.get()});
  Ref data_list = getitem(result, names->list);
  Ref shaped = shape_rows(f, list_shape(f), data_list);
  if (shaped) check(PyObject_SetItem(result.get(), names->list, shaped.get()));
  return result;
}

// _sql_decorator's wrapper: getattr(db_gateway, sql_type)(sql, sql_param)
Ref sql_wrapper(FunctionObject* f, WrapperArgs& a) {
  Bound b = bind_and_prepare(f, a, false);
  refuse_missing(b.prepared.sql_param);
  Ref sql_type = captured<WrapperVars>(f).sql_type;
  Ref operation = getattr(b.prepared.gateway, sql_type);
  return call(operation, {b.prepared.sql.get(), b.prepared.sql_param.get()});
}

// insert_list's wrapper: db_gateway.insert_list(sql, params["data"]); the
// bind dict is made but not used, the rows go to the database as they are.
Ref insert_list_wrapper(FunctionObject* f, WrapperArgs& a) {
  Bound b = bind_and_prepare(f, a, false);
  Ref data = getitem(b.params, names->data);
  if (data.get() == empty_marker().get()) raise_missing(names->data);
  return call_method(b.prepared.gateway, names->insert_list, {b.prepared.sql.get(), data.get()});
}

// ---------------------------------------------------------------------------
// The factories and their decorators

struct DecoratorVars {
  Ref sql_str, sql_type;
  static auto fields() { return wisp::fields(&DecoratorVars::sql_str, &DecoratorVars::sql_type); }
};

struct DecoratorArgs {
  Ref func;
};

// decorator(func): wraps(func)(wrapper)
template <Def** Wrapper>
Ref decorator(FunctionObject* f, DecoratorArgs& a) {
  const DecoratorVars v = captured<DecoratorVars>(f);
  Ref wrapper = (*Wrapper)->closure(f, WrapperVars{v.sql_str, v.sql_type, a.func});
  // An async def gets a coroutine function that runs the same wrapper.
  if (is_coroutine_function(f->globals, a.func)) return async_shell(f, a.func, wrapper);
  return apply_wraps(global(f, names->wraps), a.func, wrapper);
}

struct SqlArgs {
  Ref sql;
};

// select_one(sql), select_list(sql), select_page(sql), insert_list(sql)
template <Def** Decorator>
Ref factory(FunctionObject* f, SqlArgs& a) {
  return (*Decorator)->closure(f, DecoratorVars{a.sql, none()});
}

struct SqlDecoratorArgs {
  Ref sql_str, sql_type;
};

// def _sql_decorator(sql_str: "str", sql_type: "str")
Ref sql_decorator(FunctionObject* f, SqlDecoratorArgs& a);

Def* select_one_decorator;
Def* select_one_wrapper_def;
Def* select_list_decorator;
Def* select_list_wrapper_def;
Def* select_page_decorator;
Def* select_page_wrapper_def;
Def* sql_decorator_decorator;
Def* sql_wrapper_def;
Def* insert_list_decorator;
Def* insert_list_wrapper_def;

Ref sql_decorator(FunctionObject* f, SqlDecoratorArgs& a) {
  return sql_decorator_decorator->closure(f, DecoratorVars{a.sql_str, a.sql_type});
}

// insert(sql), delete(sql), update(sql): _sql_decorator(sql, "<operation>")
template <PyObject* Names::* Operation>
Ref write_factory(FunctionObject* f, SqlArgs& a) {
  return call(global(f, names->sql_decorator), {a.sql.get(), names->*Operation});
}

const char kSelectOneDoc[] =
    "\n"
    "    decorator select one by raw sql\n"
    "    :param sql: str\n"
    "    :return:\n"
    "    ";
const char kSelectPageDoc[] =
    "\n"
    "    decorator select list by raw sql, default Page(1, 10)\n"
    "    :param sql: str\n"
    "    :return:\n"
    "    ";
const char kInsertListDoc[] =
    "\n"
    "    decorator insert by raw sql\n"
    "    :param sql: str\n"
    "    :return:\n"
    "    ";

// The wrapper(*args, **kwargs) that runs `Body`, and the decorator(func)
// that makes one; both kept for the life of the process.
template <Def** Decorator, Def** Wrapper, Ref (*Body)(FunctionObject*, WrapperArgs&)>
void make_decorator() {
  *Wrapper = new Def(Def::of<Body>("wrapper"));
  (*Wrapper)
      ->param("args", &WrapperArgs::args, Kind::VarPos)
      .param("kwargs", &WrapperArgs::kwargs, Kind::VarKw);
  *Decorator = new Def(Def::of<decorator<Wrapper>>("decorator"));
  (*Decorator)->param("func", &DecoratorArgs::func);
}

template <Def** Decorator, Def** Wrapper, Ref (*Body)(FunctionObject*, WrapperArgs&)>
void bind_factory(Borrowed g, const char* name, const char* doc) {
  make_decorator<Decorator, Wrapper, Body>();
  Def def = Def::of<factory<Decorator>>(name);
  if (doc) def.doc(doc);
  def.param("sql", &SqlArgs::sql).annotate("str").bind(g, g);
}

// def <name>(fun, args, kwargs), bound in the module; the function, kept.
template <Ref (*Body)(FunctionObject*, CombineArgs&)>
PyObject* bind_combine(Borrowed g, const char* name) {
  return Def::of<Body>(name)
      .param("fun", &CombineArgs::fun)
      .param("args", &CombineArgs::args)
      .param("kwargs", &CombineArgs::kwargs)
      .bind(g, g)
      .release();
}

template <PyObject* Names::* Operation>
void bind_write(Borrowed g, const char* name, const char* doc) {
  Def::of<write_factory<Operation>>(name)
      .doc(doc)
      .param("sql", &SqlArgs::sql)
      .annotate("str")
      .bind(g, g);
}

}  // namespace

namespace wisp::facade {

void bind_decorators(Borrowed g) {
  originals.inspect = global(g, names->inspect).release();
  originals.signature = getattr(originals.inspect, names->signature).release();
  originals.get_type_hints = global(g, names->get_type_hints).release();
  originals.is_result_class = global(g, names->is_result_class).release();
  forward_ref = import_attr("typing", "ForwardRef").release();
  typing_globals = new OriginalGlobals();
  for (PyObject* name :
       {names->get_base_type, names->get_args, names->get_origin, names->is_container_type,
        names->dict, names->Dict, names->list, names->List}) {
    typing_globals->watch(g, name);
  }
  Ref probe = import("wisp.utils.class_probe");
  for (const char* name : {"get_origin", "list", "tuple", "dict", "set"}) {
    typing_globals->watch(PyModule_GetDict(probe.get()), intern(name));
  }

  originals.combine_args = bind_combine<combine_args>(g, "__combine_args");
  originals.combine_args_page = bind_combine<combine_args_page>(g, "__combine_args_page");
  originals.prepare_sql = Def::of<prepare_sql_fn>("_prepare_sql")
                              .doc("预编译SQL并获取session")
                              .param("sql_str", &PrepareSqlArgs::sql_str)
                              .param("params", &PrepareSqlArgs::params)
                              .bind(g, g)
                              .release();
  bind_factory<&select_one_decorator, &select_one_wrapper_def, select_one_wrapper>(g, "select_one",
                                                                                   kSelectOneDoc);
  originals.result_type_handle = Def::of<result_type_handle>("result_type_handle")
                                     .param("result_type", &ResultTypeHandleArgs::result_type)
                                     .annotate("Any")
                                     .param("result", &ResultTypeHandleArgs::result)
                                     .annotate("dict")
                                     .bind(g, g)
                                     .release();
  bind_factory<&select_list_decorator, &select_list_wrapper_def, select_list_wrapper>(
      g, "select_list", nullptr);
  bind_factory<&select_page_decorator, &select_page_wrapper_def, select_page_wrapper>(
      g, "select_page", kSelectPageDoc);

  make_decorator<&sql_decorator_decorator, &sql_wrapper_def, sql_wrapper>();
  Def::of<sql_decorator>("_sql_decorator")
      .doc("通用SQL操作装饰器工厂")
      .param("sql_str", &SqlDecoratorArgs::sql_str)
      .annotate("str")
      .param("sql_type", &SqlDecoratorArgs::sql_type)
      .annotate("str")
      .bind(g, g);

  bind_factory<&insert_list_decorator, &insert_list_wrapper_def, insert_list_wrapper>(
      g, "insert_list", kInsertListDoc);
  bind_write<&Names::insert>(g, "insert", "decorator insert by raw sql");
  bind_write<&Names::delete_>(g, "delete", "decorator delete by raw sql");
  bind_write<&Names::update>(g, "update", "decorator update by raw sql");
}

}  // namespace wisp::facade
