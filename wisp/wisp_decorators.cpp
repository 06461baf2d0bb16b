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
// still the module's own function, the wrapper runs its body directly.
//
// A wrapper keeps, per decorated function, the parameters its signature
// gives and the return annotation its type hints give, and uses them only
// while nothing they are computed from has changed: the function's
// __code__, __defaults__, __kwdefaults__ and __annotations__ (compared item
// by item), and its __signature__; a function with __wrapped__ is looked up
// afresh on every call. Type hints are kept only when no annotation holds a
// string or a forward reference, whose meaning depends on the module's
// globals at call time.
#include <algorithm>

#include "wisp_args.h"
#include "wisp_facade.h"

using namespace wisp;
using namespace wisp::facade;

namespace {

struct DecoratorNames {
  PyObject* combine_args = intern("__combine_args");
  PyObject* combine_args_page = intern("__combine_args_page");
  PyObject* prepare_sql = intern("_prepare_sql");
  PyObject* sql_decorator = intern("_sql_decorator");
  PyObject* result_type_handle = intern("result_type_handle");
  PyObject* inspect = intern("inspect");
  PyObject* signature = intern("signature");
  PyObject* keys = intern("keys");
  PyObject* get = intern("get");
  PyObject* get_type_hints = intern("get_type_hints");
  PyObject* get_base_type = intern("get_base_type");
  PyObject* get_args = intern("get_args");
  PyObject* get_origin = intern("get_origin");
  PyObject* is_container_type = intern("is_container_type");
  PyObject* is_result_class = intern("is_result_class");
  PyObject* to_prepared_statement = intern("to_prepared_statement");
  PyObject* Page = intern("Page");
  PyObject* dict = intern("dict");
  PyObject* list = intern("list");
  PyObject* Dict = intern("Dict");
  PyObject* List = intern("List");
  PyObject* return_ = intern("return");
  PyObject* list_key = intern("list");
  PyObject* data = intern("data");
  PyObject* select_one = intern("select_one");
  PyObject* select_list = intern("select_list");
  PyObject* select_page = intern("select_page");
  PyObject* insert_list = intern("insert_list");
  PyObject* insert = intern("insert");
  PyObject* update = intern("update");
  PyObject* delete_ = intern("delete");
  PyObject* annotations = intern("__annotations__");
  PyObject* signature_attr = intern("__signature__");
  PyObject* wrapped_attr = intern("__wrapped__");
  PyObject* args_attr = intern("__args__");
  PyObject* check_return = intern("please check return type: ");
  PyObject* set_list = intern(", should set list ...");
};
const DecoratorNames* DN;

// What the module held when it was made, for the fast paths; kept for the
// life of the process.
struct Originals {
  PyObject* combine_args;
  PyObject* combine_args_page;
  PyObject* prepare_sql;
  PyObject* result_type_handle;
  PyObject* is_result_class;  // wisp.utils.class_probe.is_result_class
  PyObject* inspect;          // the module
  PyObject* signature;        // inspect.signature
  PyObject* get_type_hints;   // typing_extensions.get_type_hints
  PyObject* forward_ref;      // typing.ForwardRef
  PyObject* absent;           // stands for "no __signature__" in a memo
  PyObject* one;
  PyObject* ten;
  // The globals what a wrapper makes of its return annotation is worked out
  // through, here and in wisp.utils.class_probe.
  OriginalGlobals typing_globals;
};
Originals O;

// A call's arguments are bound to the parameter names by the binding the
// mapped methods share (wisp_args.h).
namespace args = wisp::facade;

// ---------------------------------------------------------------------------
// Small pieces of Python semantics.

// `a == b` by its truth value; classes of metaclass `type` compare by
// identity.
bool eq(Borrowed a, Borrowed b) {
  if (Py_TYPE(a.get()) == &PyType_Type && Py_TYPE(b.get()) == &PyType_Type) return a == b;
  return truthy(Ref::check(PyObject_RichCompare(a, b, Py_EQ)));
}

// `a != b` by its truth value.
bool ne(Borrowed a, Borrowed b) {
  if (Py_TYPE(a.get()) == &PyType_Type && Py_TYPE(b.get()) == &PyType_Type) return a != b;
  return truthy(Ref::check(PyObject_RichCompare(a, b, Py_NE)));
}

// A parametrised dict such as dict[str, Any] or Dict[str, Any]: its origin
// is dict.
bool is_parametrised_dict(Borrowed globals, Borrowed t) {
  GlobalRef dict_t = global(globals, DN->dict);
  Ref origin = call(global(globals, DN->get_origin), {t.get()});
  return origin.get() == dict_t.get();
}

// `t == dict or t == Dict`, and a parametrised dict counts too: its rows
// are dicts as well.
bool is_dict_type(Borrowed globals, Borrowed t) {
  return eq(t, global(globals, DN->dict)) || eq(t, global(globals, DN->Dict)) ||
         is_parametrised_dict(globals, t);
}

// len(row.keys())
Py_ssize_t key_count(Borrowed row) {
  if (PyDict_CheckExact(row.get())) return PyDict_GET_SIZE(row.get());
  Ref keys = call_method(row, DN->keys, {});
  Py_ssize_t n = PyObject_Size(keys.get());
  if (n < 0) throw_error();
  return n;
}

// mapping.get(key, None)
Ref get_or_none(Borrowed mapping, PyObject* key) {
  if (PyDict_CheckExact(mapping.get())) {
    Ref value = dict_get_ref(mapping, key);
    return value ? value : none();
  }
  return call_method(mapping, DN->get, {key, Py_None});
}

// ---------------------------------------------------------------------------
// What a decorated function's signature and type hints give, kept per
// wrapper while nothing they depend on has changed.
//
// A memo is a list: what the function held when it was made, then the
// parameter plan and the return annotation.
enum Slot : Py_ssize_t {
  kCode,
  kDefaults,
  kKwdefaults,
  kKwdefaultsCopy,
  kAnnotations,
  kAnnotationsCopy,
  kSignature,
  kPlan,
  kHintsState,  // None: not kept (forward references); False: not read yet; True: kReturn holds it
  kReturn,
  kShape,  // what the wrapper makes of kReturn (see Shape), or None
  kSlots
};

// What inspect.signature and get_type_hints read from a plain function.
struct Deps {
  Ref code, defaults, kwdefaults, annotations, signature;
  bool wrapped = false;
};

Borrowed or_none(PyObject* o) {
  return o ? o : Py_None;
}

Deps read_deps(Borrowed func) {
  Deps d;
  d.code = Ref::borrow(PyFunction_GetCode(func));
  d.defaults = Ref::borrow(or_none(PyFunction_GetDefaults(func)));
  d.kwdefaults = Ref::borrow(or_none(PyFunction_GetKwDefaults(func)));
  Ref dict = Ref::check(PyObject_GenericGetDict(func, nullptr));
  d.signature = dict_get_ref(dict, DN->signature_attr);
  if (!d.signature) d.signature = Ref::borrow(O.absent);
  d.wrapped = bool(dict_get_ref(dict, DN->wrapped_attr));
  d.annotations = getattr(func, DN->annotations);
  return d;
}

// The same keys in the same order with the very same values.
bool same_items(Borrowed a, Borrowed b) {
  if (PyDict_GET_SIZE(a.get()) != PyDict_GET_SIZE(b.get())) return false;
  Py_ssize_t pa = 0, pb = 0;
  PyObject *ka, *va, *kb, *vb;
  while (PyDict_Next(a.get(), &pa, &ka, &va)) {
    if (!PyDict_Next(b.get(), &pb, &kb, &vb) || ka != kb || va != vb) return false;
  }
  return true;
}

Borrowed slot(Borrowed memo, Slot s) {
  return PyList_GET_ITEM(memo.get(), s);
}

void set_slot(Borrowed memo, Slot s, Borrowed value) {
  check(PyList_SetItem(memo.get(), s, Py_NewRef(value.get())));
}

bool memo_fresh(Borrowed func, Borrowed memo) {
  Deps d = read_deps(func);
  if (d.wrapped || d.code.get() != slot(memo, kCode) || d.defaults.get() != slot(memo, kDefaults) ||
      d.kwdefaults.get() != slot(memo, kKwdefaults) ||
      d.signature.get() != slot(memo, kSignature) ||
      d.annotations.get() != slot(memo, kAnnotations)) {
    return false;
  }
  if (d.kwdefaults.get() != Py_None && !same_items(d.kwdefaults, slot(memo, kKwdefaultsCopy))) {
    return false;
  }
  return same_items(d.annotations, slot(memo, kAnnotationsCopy));
}

// Whether get_type_hints would evaluate something in `annotation` against
// the module's globals: a string, a ForwardRef, or one inside the arguments
// of a generic alias such as list["User"]. Anything unexpected counts as
// one.
bool has_forward_reference(Borrowed annotation, int depth = 0) {
  if (depth > 16 || PyUnicode_Check(annotation.get())) return true;
  if (annotation.get() == Py_None || PyType_Check(annotation.get())) return false;
  try {
    if (check(PyObject_IsInstance(annotation.get(), O.forward_ref))) return true;
    Ref args = getattr_opt(annotation, DN->args_attr);
    if (!args) return false;
    if (!PyTuple_Check(args.get())) return true;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args.get()); ++i) {
      if (has_forward_reference(PyTuple_GET_ITEM(args.get(), i), depth + 1)) return true;
    }
    return false;
  } catch (const PyError&) {
    // An annotation that cannot be looked into is simply not kept; an
    // interruption (KeyboardInterrupt, SystemExit) goes on to the caller.
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
    PyErr_Clear();
    return true;
  }
}

// A new memo for `func`, or null when it cannot be kept (a __wrapped__
// chain, whose parts may change unseen, or annotations or keyword defaults
// held in something other than a plain dict).
Ref make_memo(Borrowed func) {
  Deps d = read_deps(func);
  if (d.wrapped || !PyDict_CheckExact(d.annotations.get()) ||
      (d.kwdefaults.get() != Py_None && !PyDict_CheckExact(d.kwdefaults.get()))) {
    return Ref();
  }
  Ref kwdefaults_copy =
      d.kwdefaults.get() == Py_None ? none() : Ref::check(PyDict_Copy(d.kwdefaults.get()));
  Ref annotations_copy = Ref::check(PyDict_Copy(d.annotations.get()));
  bool forward = false;
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (!forward && PyDict_Next(annotations_copy.get(), &pos, &key, &value)) {
    forward = has_forward_reference(value);
  }
  Ref plan = args::parameter_plan(call(O.signature, {func.get()}));
  Ref memo = Ref::check(PyList_New(kSlots));
  PyObject* items[kSlots] = {d.code.get(),
                             d.defaults.get(),
                             d.kwdefaults.get(),
                             kwdefaults_copy.get(),
                             d.annotations.get(),
                             annotations_copy.get(),
                             d.signature.get(),
                             plan.get(),
                             forward ? Py_None : Py_False,
                             Py_None,
                             Py_None};
  for (Py_ssize_t i = 0; i < kSlots; ++i) PyList_SET_ITEM(memo.get(), i, Py_NewRef(items[i]));
  return memo;
}

// The values a wrapper closes over: the decorator's SQL text (and, for the
// writes, the gateway operation's name), the function, and its memo (None
// until the first call).
struct WrapperVars {
  Ref sql_str, sql_type, func, memo;
  static auto fields() {
    return wisp::fields(&WrapperVars::sql_str, &WrapperVars::sql_type, &WrapperVars::func,
                        &WrapperVars::memo);
  }
};

// Whether the module's `inspect` and its `signature` are still the ones a
// memo was made with.
bool signature_original(FunctionObject* f) {
  if (!global_is(f, DN->inspect, O.inspect)) return false;
  Borrowed sig = dict_get(PyModule_GetDict(O.inspect), DN->signature);
  return sig.get() == O.signature;
}

// inspect.signature(func) as a parameter plan, with the module's `inspect`
// and its `signature` looked up now.
Ref plan_afresh(FunctionObject* f, Borrowed func) {
  Ref signature = getattr(global(f, DN->inspect), DN->signature);
  return args::parameter_plan(call(signature, {func.get()}));
}

struct Plan {
  Ref plan;
  Ref memo;  // null when the plan was made afresh and not kept
};

// inspect.signature(func), as a parameter plan.
Plan plan_for(FunctionObject* f) {
  Ref func = captured<WrapperVars>(f).func;
  if (PyFunction_Check(func.get()) && signature_original(f)) {
    Ref memo = captured<WrapperVars>(f).memo;
    if (memo.get() != Py_None && memo_fresh(func, memo))
      return Plan{Ref::borrow(slot(memo, kPlan)), memo};
    memo = make_memo(func);
    if (memo) {
      captured<WrapperVars>(f).memo = memo;
      return Plan{Ref::borrow(slot(memo, kPlan)), memo};
    }
  }
  return Plan{plan_afresh(f, func), Ref()};
}

// get_type_hints(func).get("return", None)
Ref return_annotation(FunctionObject* f, Borrowed memo) {
  Ref func = captured<WrapperVars>(f).func;
  Ref get_type_hints = global(f, DN->get_type_hints);
  const bool keep = memo && get_type_hints.get() == O.get_type_hints &&
                    slot(memo, kHintsState) != Py_None && memo_fresh(func, memo);
  if (keep && slot(memo, kHintsState) == Py_True) return Ref::borrow(slot(memo, kReturn));
  Ref hints = call(get_type_hints, {func.get()});
  Ref result = get_or_none(hints, DN->return_);
  if (keep && memo_fresh(func, memo)) {
    set_slot(memo, kReturn, result);
    set_slot(memo, kHintsState, Py_True);
  }
  return result;
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

args::BoundCall combine(FunctionObject* f, Borrowed fun, Borrowed call_args, Borrowed call_kwargs) {
  Ref plan = plan_afresh(f, fun);
  Ref positional = positionals(call_args, PyTuple_GET_SIZE(plan.get()));
  return args::bind_call(plan, positional, call_kwargs, global(f, DN->Page));
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
  args::BoundCall bound = combine(f, a.fun, a.args, a.kwargs);
  return tuple({bound.params.get(), bound.page.get()});
}

// ---------------------------------------------------------------------------
// _prepare_sql

struct Prepared {
  Ref gateway, sql, sql_param;
};

//     db = get_current_db()
//     db_gateway = BaseMapper.datasource[db]["db_gateway"]
//     sql, sql_param = ParseMapper.to_prepared_statement(sql_str, params)
//     return db_gateway, sql, sql_param
Prepared prepare_sql(Borrowed globals, Borrowed sql_str, Borrowed params) {
  Ref db = call(global(globals, N->get_current_db));
  Ref entry = registry_entry(globals, mapper_attr(globals, N->datasource), db);
  Prepared out;
  out.gateway = getitem(entry, N->db_gateway);
  entry.reset();
  Ref to_prepared = getattr(global(globals, N->ParseMapper), DN->to_prepared_statement);
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
  Prepared p = prepare_sql(f->globals, a.sql_str, a.params);
  return tuple({p.gateway.get(), p.sql.get(), p.sql_param.get()});
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
  return truthy(call(global(globals, DN->is_result_class), {t.get()}));
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
    Ref handle = global(f, DN->result_type_handle);
    if (handle.get() != O.result_type_handle) {
      list_append(out, call(handle, {result_type.get(), row.get()}));
      return;
    }
    handle.reset();
    if (!PyDict_CheckExact(row.get())) raise_arg_type(str("result"), &PyDict_Type, row);
    if (classified < 0 || !global_is(f, DN->is_result_class, O.is_result_class)) {
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
  Ref memo;
};

// Steps 1 and 2 of every wrapper: the parameter dict (and the page, for
// select_page), then the gateway and the prepared statement. A call the
// decorated function itself would refuse for an argument too many is refused
// before either.
Bound bind_and_prepare(FunctionObject* f, WrapperArgs& a, bool paged) {
  Bound b;
  PyObject* name = paged ? DN->combine_args_page : DN->combine_args;
  PyObject* original = paged ? O.combine_args_page : O.combine_args;
  // An argument the function does not take is refused first, whichever
  // binding runs.
  Plan plan = plan_for(f);
  Ref func = captured<WrapperVars>(f).func;
  args::refuse_surplus(plan.plan, a.args, a.kwargs, func);
  Ref combiner = global(f, name);
  if (combiner.get() == original) {
    combiner.reset();
    b.memo = std::move(plan.memo);
    args::BoundCall bound = args::bind_call(plan.plan, a.args, a.kwargs, global(f, DN->Page));
    b.params = std::move(bound.params);
    b.page = std::move(bound.page);
  } else {
    Ref result = call(combiner, {func.get(), a.args.get(), a.kwargs.get()});
    if (paged) {
      auto parts = unpack<2>(result);
      b.params = std::move(parts[0]);
      b.page = std::move(parts[1]);
    } else {
      b.params = std::move(result);
    }
  }
  Ref sql_str = captured<WrapperVars>(f).sql_str;
  Ref prepare = global(f, DN->prepare_sql);
  if (prepare.get() == O.prepare_sql) {
    prepare.reset();
    b.prepared = prepare_sql(f->globals, sql_str, b.params);
  } else {
    Ref result = call(prepare, {sql_str.get(), b.params.get()});
    auto parts = unpack<3>(result);
    b.prepared = Prepared{std::move(parts[0]), std::move(parts[1]), std::move(parts[2])};
  }
  return b;
}

// The return annotation and its base type.
struct ReturnType {
  Ref annotation, base;
};

// What a wrapper makes of its return annotation depends on nothing but the
// annotation and the typing helpers (get_base_type, get_args, get_origin,
// is_container_type, dict, Dict, list, List): it is worked out once and kept
// in the memo beside the annotation, while the memo keeps the annotation
// itself and every helper is still the one the module bound.
//
// A shape is a tuple (annotation, first, second): for select_one the type a
// row becomes and whether that is a parametrised dict; for select_list and
// select_page the base type and the type each row becomes (None: the rows
// stay as they are).
Ref kept_shape(Borrowed memo, Borrowed annotation) {
  if (!memo || slot(memo, kHintsState) != Py_True || slot(memo, kReturn) != annotation.get()) {
    return Ref();
  }
  Borrowed shape = slot(memo, kShape);
  if (shape.get() == Py_None || PyTuple_GET_ITEM(shape.get(), 0) != annotation.get() ||
      !O.typing_globals.hold()) {
    return Ref();
  }
  return Ref::borrow(shape);
}

void keep_shape(Borrowed memo, Borrowed annotation, Borrowed first, Borrowed second) {
  if (!memo || slot(memo, kHintsState) != Py_True || slot(memo, kReturn) != annotation.get() ||
      !O.typing_globals.hold()) {
    return;
  }
  set_slot(memo, kShape, tuple({annotation.get(), first.get(), second.get()}));
}

// The check select_list and select_page make before shaping: the return
// annotation must be a container other than a dict, or absent.
void require_list(FunctionObject* f, Borrowed return_type) {
  if (return_type.get() == Py_None) return;
  bool refused = !truthy(call(global(f, DN->is_container_type), {return_type.get()})) ||
                 eq(return_type, global(f, DN->dict)) || eq(return_type, global(f, DN->Dict));
  if (!refused) return;
  Ref shown = text_of(return_type);
  raise(PyExc_TypeError, concat({DN->check_return, shown.get(), DN->set_list}));
}

// What a list's rows become by `-> list[X]`: X objects or single values;
// `item` None when they stay as they are (no annotation, no type argument, X
// a (parametrised) dict).
struct ListShape {
  Ref base, item;
};

// The return annotation of a list wrapper, checked (require_list) and read.
ListShape list_shape(FunctionObject* f, Borrowed memo) {
  Ref annotation = return_annotation(f, memo);
  if (Ref kept = kept_shape(memo, annotation)) {
    return ListShape{Ref::borrow(PyTuple_GET_ITEM(kept.get(), 1)),
                     Ref::borrow(PyTuple_GET_ITEM(kept.get(), 2))};
  }
  ListShape shape{call(global(f, DN->get_base_type), {annotation.get()}), none()};
  require_list(f, shape.base);
  if (truthy(shape.base)) {
    Ref type_args = call(global(f, DN->get_args), {annotation.get()});
    if (truthy(type_args)) {
      Ref item = Ref::check(PySequence_GetItem(type_args.get(), 0));
      if (!is_dict_type(f->globals, item)) shape.item = std::move(item);
    }
  }
  keep_shape(memo, annotation, shape.base, shape.item);
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
  args::refuse_missing(b.prepared.sql_param);
  Ref result = call_method(b.prepared.gateway, DN->select_one,
                           {b.prepared.sql.get(), b.prepared.sql_param.get()});
  Ref annotation = return_annotation(f, b.memo);
  Ref return_type;
  bool parametrised_dict;
  if (Ref kept = kept_shape(b.memo, annotation)) {
    return_type = Ref::borrow(PyTuple_GET_ITEM(kept.get(), 1));
    parametrised_dict = PyTuple_GET_ITEM(kept.get(), 2) == Py_True;
  } else {
    ReturnType r{annotation, call(global(f, DN->get_base_type), {annotation.get()})};
    // `-> X | None` says what select_one gives: X, or None when nothing matched.
    if (Ref member = optional_member(f->globals, r.annotation)) {
      r.annotation = std::move(member);
      r.base = call(global(f, DN->get_base_type), {r.annotation.get()});
    }
    return_type = r.base;
    if (eq(return_type, global(f, DN->list)) || eq(return_type, global(f, DN->List))) {
      Ref type_args = call(global(f, DN->get_args), {r.annotation.get()});
      if (truthy(type_args)) return_type = Ref::check(PySequence_GetItem(type_args.get(), 0));
    }
    parametrised_dict = is_parametrised_dict(f->globals, return_type);
    keep_shape(b.memo, annotation, return_type, boolean(parametrised_dict));
  }
  if (!truthy(return_type) || result.get() == Py_None || !ne(return_type, global(f, DN->dict)) ||
      !ne(return_type, global(f, DN->Dict)) || parametrised_dict) {
    return result;
  }
  if (is_result_class(f->globals, return_type)) return call_spread(return_type, result);
  if (key_count(result) == 1) return first_value(result);
  raise(PyExc_TypeError, "please check result type");
}

// select_list's wrapper
Ref select_list_wrapper(FunctionObject* f, WrapperArgs& a) {
  Bound b = bind_and_prepare(f, a, false);
  args::refuse_missing(b.prepared.sql_param);
  Ref result = call_method(b.prepared.gateway, DN->select_list,
                           {b.prepared.sql.get(), b.prepared.sql_param.get()});
  ListShape shape = list_shape(f, b.memo);
  Ref shaped = shape_rows(f, shape, result);
  return shaped ? shaped : result;
}

// select_page's wrapper
Ref select_page_wrapper(FunctionObject* f, WrapperArgs& a) {
  Bound b = bind_and_prepare(f, a, true);
  args::refuse_missing(b.prepared.sql_param);
  Ref page = b.page;
  if (page.get() == Py_None || page.get() == args::empty_marker().get()) {
    page = call(global(f, DN->Page), {O.one, O.ten});
  }
  Ref result = call_method(b.prepared.gateway, DN->select_page,
                           {b.prepared.sql.get(), page.get(), b.prepared.sql_param.get()});
  Ref data_list = getitem(result, DN->list_key);
  ListShape shape = list_shape(f, b.memo);
  Ref shaped = shape_rows(f, shape, data_list);
  if (shaped) check(PyObject_SetItem(result.get(), DN->list_key, shaped.get()));
  return result;
}

// _sql_decorator's wrapper: getattr(db_gateway, sql_type)(sql, sql_param)
Ref sql_wrapper(FunctionObject* f, WrapperArgs& a) {
  Bound b = bind_and_prepare(f, a, false);
  args::refuse_missing(b.prepared.sql_param);
  Ref sql_type = captured<WrapperVars>(f).sql_type;
  Ref operation = getattr(b.prepared.gateway, sql_type);
  return call(operation, {b.prepared.sql.get(), b.prepared.sql_param.get()});
}

// insert_list's wrapper: db_gateway.insert_list(sql, params["data"]); the
// bind dict is made but not used, the rows go to the database as they are.
Ref insert_list_wrapper(FunctionObject* f, WrapperArgs& a) {
  Bound b = bind_and_prepare(f, a, false);
  Ref data = getitem(b.params, DN->data);
  if (data.get() == args::empty_marker().get()) {
    raise(PyExc_TypeError, "missing a required argument: 'data'");
  }
  return call_method(b.prepared.gateway, DN->insert_list, {b.prepared.sql.get(), data.get()});
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
  Ref wrapper = (*Wrapper)->closure(f, WrapperVars{v.sql_str, v.sql_type, a.func, none()});
  return apply_wraps(global(f, N->wraps), a.func, wrapper);
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
template <PyObject* DecoratorNames::* Operation>
Ref write_factory(FunctionObject* f, SqlArgs& a) {
  return call(global(f, DN->sql_decorator), {a.sql.get(), DN->*Operation});
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

template <Def** Decorator, Def** Wrapper, Ref (*Body)(FunctionObject*, WrapperArgs&)>
void bind_factory(Borrowed g, const char* name, const char* doc) {
  *Wrapper = new Def(Def::of<Body>("wrapper"));
  (*Wrapper)
      ->param("args", &WrapperArgs::args, Kind::VarPos)
      .param("kwargs", &WrapperArgs::kwargs, Kind::VarKw);
  *Decorator = new Def(Def::of<decorator<Wrapper>>("decorator"));
  (*Decorator)->param("func", &DecoratorArgs::func);
  Def def = Def::of<factory<Decorator>>(name);
  if (doc) def.doc(doc);
  def.param("sql", &SqlArgs::sql).annotate("str").bind(g, g);
}

template <PyObject* DecoratorNames::* Operation>
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
  DN = new DecoratorNames();
  O.inspect = global(g, DN->inspect).release();
  O.signature = getattr(O.inspect, DN->signature).release();
  O.get_type_hints = global(g, DN->get_type_hints).release();
  O.is_result_class = global(g, DN->is_result_class).release();
  O.forward_ref = import_attr("typing", "ForwardRef").release();
  O.absent = call(reinterpret_cast<PyObject*>(&PyBaseObject_Type)).release();
  O.one = Ref::check(PyLong_FromLong(1)).release();
  O.ten = Ref::check(PyLong_FromLong(10)).release();
  for (PyObject* name : {DN->get_base_type, DN->get_args, DN->get_origin, DN->is_container_type,
                         DN->dict, DN->Dict, DN->list, DN->List}) {
    O.typing_globals.watch(g, name);
  }
  Ref probe = import("wisp.utils.class_probe");
  for (const char* name : {"get_origin", "list", "tuple", "dict", "set"}) {
    O.typing_globals.watch(PyModule_GetDict(probe.get()), intern(name));
  }

  O.combine_args = Def::of<combine_args>("__combine_args")
                       .param("fun", &CombineArgs::fun)
                       .param("args", &CombineArgs::args)
                       .param("kwargs", &CombineArgs::kwargs)
                       .bind(g, g)
                       .release();
  O.combine_args_page = Def::of<combine_args_page>("__combine_args_page")
                            .param("fun", &CombineArgs::fun)
                            .param("args", &CombineArgs::args)
                            .param("kwargs", &CombineArgs::kwargs)
                            .bind(g, g)
                            .release();
  O.prepare_sql = Def::of<prepare_sql_fn>("_prepare_sql")
                      .doc("预编译SQL并获取session")
                      .param("sql_str", &PrepareSqlArgs::sql_str)
                      .param("params", &PrepareSqlArgs::params)
                      .bind(g, g)
                      .release();
  bind_factory<&select_one_decorator, &select_one_wrapper_def, select_one_wrapper>(g, "select_one",
                                                                                   kSelectOneDoc);
  O.result_type_handle = Def::of<result_type_handle>("result_type_handle")
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

  sql_wrapper_def = new Def(Def::of<sql_wrapper>("wrapper"));
  sql_wrapper_def->param("args", &WrapperArgs::args, Kind::VarPos)
      .param("kwargs", &WrapperArgs::kwargs, Kind::VarKw);
  sql_decorator_decorator = new Def(Def::of<decorator<&sql_wrapper_def>>("decorator"));
  sql_decorator_decorator->param("func", &DecoratorArgs::func);
  Def::of<sql_decorator>("_sql_decorator")
      .doc("通用SQL操作装饰器工厂")
      .param("sql_str", &SqlDecoratorArgs::sql_str)
      .annotate("str")
      .param("sql_type", &SqlDecoratorArgs::sql_type)
      .annotate("str")
      .bind(g, g);

  bind_factory<&insert_list_decorator, &insert_list_wrapper_def, insert_list_wrapper>(
      g, "insert_list", kInsertListDoc);
  bind_write<&DecoratorNames::insert>(g, "insert", "decorator insert by raw sql");
  bind_write<&DecoratorNames::delete_>(g, "delete", "decorator delete by raw sql");
  bind_write<&DecoratorNames::update>(g, "update", "decorator update by raw sql");
}

}  // namespace wisp::facade
