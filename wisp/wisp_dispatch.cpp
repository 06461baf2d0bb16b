// wisp.wisp, BaseMapper.__getattribute__: a mapper method declared by its
// signature alone gets its body from the mapper XML statement whose
// namespace is the mapper class's name and whose id is the method's name.
//
//     def __getattribute__(self, name: "str"):
//         if name.startswith("_"):
//             return super(BaseMapper, self).__getattribute__(name)
//         attr = super(BaseMapper, self).__getattribute__(name)
//         if not callable(attr):
//             return attr
//         try:
//             cache = object.__getattribute__(self, "_wrapper_cache")
//         except AttributeError:
//             cache = {}
//             object.__setattr__(self, "_wrapper_cache", cache)
//         if name in cache:
//             return cache[name]
//         class_name = type(self).__name__
//         sig_key = (type(self), name)
//         if sig_key not in BaseMapper._sig_cache:
//             BaseMapper._sig_cache[sig_key] = inspect.signature(attr)
//         sig = BaseMapper._sig_cache[sig_key]
//
//         @wraps(attr)
//         def wrapper(*args, **kwargs): ...   # below
//
//         cache[name] = wrapper
//         return wrapper
//
// Signatures are cached per mapper class object: two classes of the same
// name (in two modules, or one redefined after a reload) each bind by their
// own. Both still dispatch to the namespace named like the class.
#include "wisp_args.h"
#include "wisp_facade.h"

using namespace wisp;
using namespace wisp::facade;

namespace {

struct DispatchNames {
  PyObject* inspect = intern("inspect");
  PyObject* signature = intern("signature");
  PyObject* Page = intern("Page");
  PyObject* wrapper_cache = intern("_wrapper_cache");
  PyObject* sig_cache = intern("_sig_cache");
  PyObject* name = intern("__name__");
  PyObject* annotations = intern("__annotations__");
  PyObject* return_ = intern("return");
  PyObject* id_2_element_map = intern("id_2_element_map");
  PyObject* get = intern("get");
  PyObject* get_type_hints = intern("get_type_hints");
  PyObject* get_sql = intern("get_sql");
  PyObject* execute_sql = intern("execute_sql");
};
const DispatchNames* K;

PyObject* s_kw_execute_sql;  // ("sql_id", "namespace", "ori_params", "page", "return_type")
PyObject* s_kw_get_sql;      // ("sql_id", "params")

// name.startswith("_")
bool private_name(Borrowed name) {
  return PyUnicode_GET_LENGTH(name.get()) > 0 && PyUnicode_READ_CHAR(name.get(), 0) == '_';
}

// ---------------------------------------------------------------------------
// The wrapper
//
//     def wrapper(*args, **kwargs):
//         entry = self.datasource[get_current_db()]
//         mapper_dict = entry["mapper_dict"]
//         if not (class_name in mapper_dict
//                 and mapper_dict[class_name].id_2_element_map.get(name) is not None):
//             return attr(*args, **kwargs)
//         params, page = <args bound to sig>           (wisp_args.h)
//         <a left-out argument the statement binds: TypeError>
//         return_type = attr.__annotations__.get("return", None)
//         (text resolved with get_type_hints(attr))
//         return entry["db_gateway"].execute_sql(
//             sql_id=name, namespace=class_name, ori_params=params, page=page,
//             return_type=return_type)
//
// The choice between statement and method is made at each call, on the data
// source in force then.

struct WrapperVars {
  Ref self, name, class_name, attr, plan;
  static auto fields() {
    return wisp::fields(&WrapperVars::self, &WrapperVars::name, &WrapperVars::class_name,
                        &WrapperVars::attr, &WrapperVars::plan);
  }
};

// The statement `name` of the namespace `class_name`, or null.
Ref mapped_statement(Borrowed mapper_dict, Borrowed class_name, Borrowed name) {
  Ref parser = item_if_present(mapper_dict, class_name);
  if (!parser) return Ref();
  Ref statements = getattr(parser, K->id_2_element_map);
  Ref statement = PyDict_CheckExact(statements.get())
                      ? dict_get_ref(statements, name)
                      : call_method(statements, K->get, {name.get()});
  if (!statement || statement.get() == Py_None) return Ref();
  return parser;
}

// mapping.get("return", None)
Ref return_entry(Borrowed mapping) {
  if (PyDict_CheckExact(mapping.get())) {
    Ref found = dict_get_ref(mapping, K->return_);
    return found ? found : none();
  }
  return call_method(mapping, K->get, {K->return_, Py_None});
}

// attr.__annotations__.get("return", None). A method declared in a module
// that keeps its annotations as text (`from __future__ import annotations`)
// gives the text, which no result type can be worked out from: such an
// annotation is resolved with get_type_hints(attr), before the statement runs.
Ref return_annotation(FunctionObject* f, Borrowed attr) {
  Ref annotation = return_entry(getattr(attr, K->annotations));
  if (!PyUnicode_Check(annotation.get())) return annotation;
  Ref hints = call(global(f, K->get_type_hints), {attr.get()});
  return return_entry(hints);
}

// A parameter without a default that the call left out goes nowhere near
// the database: rendered with the call's parameters, the statement must not
// bind the marker standing for it.
void refuse_left_out(Borrowed parser, Borrowed name, Borrowed params) {
  if (!has_missing(params)) return;
  Ref rendered = call_method_kw(parser, K->get_sql, {name.get(), params.get()}, s_kw_get_sql);
  auto parts = unpack<4>(rendered);
  refuse_missing(parts[1]);
}

struct WrapperArgs {
  Ref args, kwargs;
};
Ref wrapper(FunctionObject* f, WrapperArgs& a) {
  // Held here: what runs below may drop the wrapper and its captures.
  const WrapperVars v = captured<WrapperVars>(f);
  Ref db = call(global(f, N->get_current_db));
  Ref entry = getitem(getattr(v.self, N->datasource), db);
  Ref mapper_dict = getitem(entry, N->mapper_dict);
  Ref parser = mapped_statement(mapper_dict, v.class_name, v.name);
  mapper_dict.reset();
  if (!parser) {
    PyObject* kwargs = PyDict_GET_SIZE(a.kwargs.get()) ? a.kwargs.get() : nullptr;
    return Ref::check(PyObject_Call(v.attr.get(), a.args.get(), kwargs));
  }
  BoundCall bound = bind_call(v.plan, a.args, a.kwargs, global(f, K->Page));
  refuse_left_out(parser, v.name, bound.params);
  parser.reset();
  Ref return_type = return_annotation(f, v.attr);
  Ref gateway = getitem(entry, N->db_gateway);
  return call_method_kw(
      gateway, K->execute_sql,
      {v.name.get(), v.class_name.get(), bound.params.get(), bound.page.get(), return_type.get()},
      s_kw_execute_sql);
}

Def* wrapper_def;

// ---------------------------------------------------------------------------
// def __getattribute__(self, name: "str")

// super(BaseMapper, self) for a self that is no instance of BaseMapper (the
// global rebound to another class, or this method borrowed by a class of
// its own) asks for self.__class__, which comes back here. Python ends that
// loop with RecursionError; so does this, counting each such lookup against
// the interpreter's limit and against one of its own (a raised interpreter
// limit must not let the loop exhaust the C stack). Lookups through
// BaseMapper itself are not counted.
struct Lookup {
  static constexpr const char* what = " while getting an attribute";
};
using ForeignLookup = CappedRecursion<Lookup>;

struct GetattributeArgs {
  Ref self, name;
};
Ref getattribute(FunctionObject* f, GetattributeArgs& a) {
  Ref base = global(f, N->BaseMapper);
  ForeignLookup counted(
      PyType_Check(base.get()) &&
      !PyType_IsSubtype(Py_TYPE(a.self.get()), reinterpret_cast<PyTypeObject*>(base.get())));
  bool is_private = private_name(a.name);
  if (!is_private && super_finds_method(base, a.self, a.name)) {
    // The lookup would give a method bound to self, callable: the cached
    // wrapper is the answer, and the bound method need not be made.
    Ref cache = object_getattribute_opt(a.self, K->wrapper_cache);
    if (cache) {
      if (Ref cached = item_if_present(cache, a.name)) return cached;
    }
  }
  Ref attr = super_getattribute(base, a.self, a.name);
  if (is_private || !PyCallable_Check(attr.get())) return attr;

  Ref cache = object_getattribute_opt(a.self, K->wrapper_cache);
  if (!cache) {
    cache = new_dict();
    object_setattr(a.self, K->wrapper_cache, cache);
  }
  if (Ref cached = item_if_present(cache, a.name)) return cached;

  Ref cls = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(a.self.get())));
  Ref class_name = getattr(cls, K->name);
  Ref sig_key = tuple({cls.get(), a.name.get()});
  Ref sig_cache = getattr(base, K->sig_cache);
  if (!contains(sig_cache, sig_key)) {
    Ref signature = getattr(global(f, K->inspect), K->signature);
    Ref computed = call(signature, {attr.get()});
    check(PyObject_SetItem(sig_cache.get(), sig_key.get(), computed.get()));
  }
  Ref plan = parameter_plan(getitem(sig_cache, sig_key));
  Ref inner = wrapper_def->closure(f, WrapperVars{a.self, a.name, class_name, attr, plan});
  Ref wrapped = apply_wraps(global(f, N->wraps), attr, inner);
  check(PyObject_SetItem(cache.get(), a.name.get(), wrapped.get()));
  return wrapped;
}

}  // namespace

namespace wisp::facade {

void add_mapper_dispatch(ClassBuilder& cb, Borrowed) {
  if (!K) {  // kept for the life of the process
    K = new DispatchNames();
    s_kw_execute_sql =
        names_tuple({"sql_id", "namespace", "ori_params", "page", "return_type"}).release();
    s_kw_get_sql = names_tuple({"sql_id", "params"}).release();
    wrapper_def = new Def(Def::of<wrapper>("wrapper"));
    wrapper_def->param("args", &WrapperArgs::args, Kind::VarPos)
        .param("kwargs", &WrapperArgs::kwargs, Kind::VarKw);
  }
  Def getattribute_def = Def::of<getattribute>("__getattribute__");
  getattribute_def.param("self", &GetattributeArgs::self)
      .param("name", &GetattributeArgs::name)
      .annotate("str");
  cb.method(getattribute_def);
}

}  // namespace wisp::facade
