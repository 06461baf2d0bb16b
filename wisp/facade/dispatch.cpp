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
//         sig = <inspect.signature(attr), kept per class in BaseMapper._sig_cache>
//
//         @wraps(attr)
//         def wrapper(*args, **kwargs): ...   # below
//
//         cache[name] = wrapper
//         return wrapper
//
// Signatures are cached per mapper class object, weakly: two classes of the
// same name (in two modules, or one redefined after a reload) each bind by
// their own, a method replaced on the class is read again, and a class the
// program drops is not kept. Both still dispatch to the namespace named like
// the class.
#include "binding.h"
#include "facade.h"

using namespace wisp;
using namespace wisp::facade;

namespace {

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
//             <a method declared by its signature alone: NotImplementedError>
//             return attr(*args, **kwargs)
//         <an argument the method does not take: TypeError, as Python words it>
//         params, page = <args bound to sig>           (binding.h)
//         <a left-out argument the statement binds: TypeError>
//         return_type = attr.__annotations__.get("return", None)
//         (text resolved on its own)
//         return entry["db_gateway"].execute_sql(
//             sql_id=name, namespace=class_name, ori_params=params, page=page,
//             return_type=return_type)
//
// The choice between statement and method is made at each call, on the data
// source in force then. Some return annotations are handed to the gateway in
// the form it shapes rows by (see Shape below).

struct WrapperVars {
  Ref self, name, class_name, attr, plan;
  // Whether attr's body is its signature alone, and the code object that
  // answer was worked out from (null until a call finds no statement).
  Ref stub, stub_code;
  // What a call without a statement calls (attr, or for an async mapper a
  // callable awaiting attr's coroutine), and whether attr is an async def.
  Ref call, coroutine;
  // What the return annotation asks of the gateway (see kept_shape).
  Ref shape;
  static auto fields() {
    return wisp::fields(&WrapperVars::self, &WrapperVars::name, &WrapperVars::class_name,
                        &WrapperVars::attr, &WrapperVars::plan, &WrapperVars::stub,
                        &WrapperVars::stub_code, &WrapperVars::call, &WrapperVars::coroutine,
                        &WrapperVars::shape);
  }
};

// The module globals shape_of works through; set once they are all bound.
OriginalGlobals* shape_globals;

bool shape_globals_hold() {
  return shape_globals && shape_globals->hold();
}

// The statement `name` of the namespace `class_name`, or null.
Ref mapped_statement(Borrowed mapper_dict, Borrowed class_name, Borrowed name) {
  Ref parser = item_if_present(mapper_dict, class_name);
  if (!parser) return Ref();
  Ref statements = getattr(parser, names->id_2_element_map);
  Ref statement = mapping_get(statements, name, Py_None);
  if (statement.get() == Py_None) return Ref();
  return parser;
}

// Whether the wrapped method is declared by its signature alone, asked once
// per body: the answer is kept with the code object it was read from.
bool declared_without_body(FunctionObject* f, Borrowed attr) {
  Ref func = PyMethod_Check(attr.get()) ? Ref::borrow(PyMethod_GET_FUNCTION(attr.get()))
                                        : Ref::borrow(attr.get());
  Ref code = PyFunction_Check(func.get()) ? Ref::borrow(PyFunction_GetCode(func.get())) : none();
  WrapperVars& v = captured<WrapperVars>(f);
  if (v.stub_code.get() == code.get()) return v.stub.get() == Py_True;
  bool stub = declared_by_signature_only(func, v.coroutine.get() == Py_True);
  WrapperVars& now = captured<WrapperVars>(f);  // the call above ran Python code
  now.stub = boolean(stub);
  now.stub_code = std::move(code);
  return stub;
}

// What an async mapper says of a method declared by its signature alone
// with a plain def: it cannot be awaited, so no statement can run for it.
constexpr const char kDeclareAsync[] =
    "; an AsyncBaseMapper method declared by its signature alone must be declared async def";

// A method without a body of its own and without a statement to stand in
// for it would return None, which no caller asked for. `also` ends the
// message ("" or kDeclareAsync).
[[noreturn]] void raise_no_statement(Borrowed mapper_dict, const WrapperVars& v,
                                     const char* also = "") {
  bool has_namespace = bool(item_if_present(mapper_dict, v.class_name));
  Ref message =
      has_namespace
          ? Ref::check(PyUnicode_FromFormat(
                "%U.%U is declared by its signature alone, but the mapper namespace %R has no "
                "statement with the id %R%s",
                v.class_name.get(), v.name.get(), v.class_name.get(), v.name.get(), also))
          : Ref::check(PyUnicode_FromFormat(
                "%U.%U is declared by its signature alone, but no mapper file defines the "
                "namespace %R%s",
                v.class_name.get(), v.name.get(), v.class_name.get(), also));
  raise(PyExc_NotImplementedError, message);
}

// attr.__annotations__.get("return", None). A method declared in a module
// that keeps its annotations as text (`from __future__ import annotations`)
// gives the text, which no result type can be worked out from: it is
// resolved with get_type_hints, before the statement runs, and on its own:
// the other annotations of the method may name what exists only for a type
// checker. get_type_hints is given an object holding the return annotation
// alone, wrapping attr, whose globals (found through `__wrapped__`, as for
// attr itself) the text is resolved in.
Ref return_annotation(FunctionObject* f, Borrowed attr) {
  Ref annotation = mapping_get(getattr(attr, names->annotations), names->return_, Py_None);
  if (!PyUnicode_Check(annotation.get())) return annotation;
  Ref annotations = new_dict();
  dict_set(annotations, names->return_, annotation);
  Ref holder = call_kwargs(import_attr("types", "SimpleNamespace"), {},
                           {{"__annotations__", annotations.get()}, {"__wrapped__", attr.get()}});
  Ref hints = call(global(f, names->get_type_hints), {holder.get()});
  return mapping_get(hints, names->return_, Py_None);
}

// A parameter without a default that the call left out goes nowhere near
// the database: rendered with the call's parameters, the statement must not
// bind the marker standing for it.
void refuse_left_out(Borrowed parser, Borrowed name, Borrowed params) {
  if (!has_missing(params)) return;
  Ref rendered =
      call_method_kw(parser, names->get_sql, {name.get(), params.get()}, names->kw_get_sql);
  auto parts = unpack<4>(rendered);
  refuse_missing(parts[1]);
}

// What a return annotation asks of the gateway. Three forms are handed on
// in the form the gateway's row shaping knows:
//
//     X | None, Optional[X]    X; and no row gives None (not [])
//     PageResult[X]            List[X]; a page dict always, Page(1, 10)
//                              when the call gives no page
//     list[dict[K, V]]         List[dict] (the rows as they are)
//
// Anything else goes to the gateway unchanged.
struct Shape {
  Ref return_type;
  bool none_when_empty = false;
  bool paged = false;
};

// `List[X]` for X, with `dict[K, V]` (and typing's Dict[K, V]) taken as
// dict, made with the module's List. typing keeps the aliases it makes, so
// the gateway sees the same object call after call (and keeps its decision
// for it).
Ref list_of(FunctionObject* f, Borrowed item) {
  Ref held = Ref::borrow(item.get());
  Ref origin = call(global(f, names->get_origin), {held.get()});
  if (origin.get() == reinterpret_cast<PyObject*>(&PyDict_Type)) {
    held = Ref::borrow(reinterpret_cast<PyObject*>(&PyDict_Type));
  }
  return getitem(global(f, names->List), held);
}

Shape shape_of(FunctionObject* f, Ref annotation) {
  Shape shape;
  if (Ref member = optional_member(f->globals, annotation)) {
    annotation = std::move(member);
    shape.none_when_empty = true;
  }
  // A plain class or no annotation: nothing to hand on differently.
  if (annotation.get() == Py_None || PyType_CheckExact(annotation.get()) ||
      PyUnicode_Check(annotation.get())) {
    shape.return_type = std::move(annotation);
    return shape;
  }
  Ref get_origin = global(f, names->get_origin), get_args = global(f, names->get_args);
  Ref origin = call(get_origin, {annotation.get()});
  // Optional[list[X]]: a list still, [] when no row matched.
  if (origin.get() == reinterpret_cast<PyObject*>(&PyList_Type)) shape.none_when_empty = false;
  Ref page_result = global(f, names->PageResult);
  if (annotation.get() == page_result.get() || origin.get() == page_result.get()) {
    Ref members = call(get_args, {annotation.get()});
    shape.paged = true;
    shape.none_when_empty = false;
    shape.return_type = PyTuple_Check(members.get()) && PyTuple_GET_SIZE(members.get()) > 0
                            ? list_of(f, PyTuple_GET_ITEM(members.get(), 0))
                            : Ref::borrow(reinterpret_cast<PyObject*>(&PyList_Type));
    return shape;
  }
  if (origin.get() == reinterpret_cast<PyObject*>(&PyList_Type)) {
    Ref members = call(get_args, {annotation.get()});
    if (PyTuple_Check(members.get()) && PyTuple_GET_SIZE(members.get()) == 1) {
      Ref item = Ref::borrow(PyTuple_GET_ITEM(members.get(), 0));
      Ref item_origin = call(get_origin, {item.get()});
      if (item_origin.get() == reinterpret_cast<PyObject*>(&PyDict_Type)) {
        shape.return_type = list_of(f, item);
        return shape;
      }
    }
  }
  shape.return_type = std::move(annotation);
  return shape;
}

// shape_of(annotation), worked out once per annotation: it depends on
// nothing but the annotation object (held by what is kept, so that its
// identity cannot pass to another) and the helpers the module bound
// (get_origin, get_args, List, PageResult). The annotation is read from the
// method at each call, so annotations replaced on it are worked out afresh,
// and so is every call while a helper is replaced.
Shape kept_shape(FunctionObject* f, Ref annotation) {
  {
    const WrapperVars& v = captured<WrapperVars>(f);
    if (v.shape && PyTuple_GET_ITEM(v.shape.get(), 0) == annotation.get() &&
        shape_globals_hold()) {
      PyObject* kept = v.shape.get();
      return Shape{Ref::borrow(PyTuple_GET_ITEM(kept, 1)), PyTuple_GET_ITEM(kept, 2) == Py_True,
                   PyTuple_GET_ITEM(kept, 3) == Py_True};
    }
  }
  Shape shape = shape_of(f, annotation);
  if (shape_globals_hold()) {
    captured<WrapperVars>(f).shape =
        tuple({annotation.get(), shape.return_type.get(), boolean(shape.none_when_empty).get(),
               boolean(shape.paged).get()});
  }
  return shape;
}

struct WrapperArgs {
  Ref args, kwargs;
};
Ref wrapper(FunctionObject* f, WrapperArgs& a) {
  // Held here: what runs below may drop the wrapper and its captures.
  const WrapperVars v = captured<WrapperVars>(f);
  Ref db = call(global(f, names->get_current_db));
  Ref entry = registry_entry(f->globals, getattr(v.self, names->datasource), db);
  Ref mapper_dict = getitem(entry, names->mapper_dict);
  Ref parser = mapped_statement(mapper_dict, v.class_name, v.name);
  if (!parser) {
    if (declared_without_body(f, v.attr)) raise_no_statement(mapper_dict, v);
    mapper_dict.reset();
    return call_with(v.call, a.args, a.kwargs);
  }
  mapper_dict.reset();
  refuse_surplus(v.plan, a.args, a.kwargs, v.attr);
  BoundCall bound = bind_call(v.plan, a.args, a.kwargs, global(f, names->Page));
  refuse_left_out(parser, v.name, bound.params);
  parser.reset();
  Shape shape = kept_shape(f, return_annotation(f, v.attr));
  if (shape.paged && bound.page.get() == Py_None) {
    bound.page = default_page(f->globals);
  }
  Ref gateway = gateway_of(f->globals, entry);
  Ref result = call_method_kw(gateway, names->execute_sql,
                              {v.name.get(), v.class_name.get(), bound.params.get(),
                               bound.page.get(), shape.return_type.get()},
                              names->kw_execute_sql);
  if (shape.none_when_empty && PyList_CheckExact(result.get()) &&
      PyList_GET_SIZE(result.get()) == 0) {
    return none();
  }
  return result;
}

Def* wrapper_def;

// A wrapper(*args, **kwargs) that runs `Body`.
template <Ref (*Body)(FunctionObject*, WrapperArgs&)>
Def* new_wrapper_def() {
  Def* def = new Def(Def::of<Body>("wrapper"));
  def->param("args", &WrapperArgs::args, Kind::VarPos)
      .param("kwargs", &WrapperArgs::kwargs, Kind::VarKw);
  return def;
}

// What an async mapper hands out for a method declared by its signature
// alone with a plain def (a forgotten `async`): calling it would return
// None, and the statement of its name, awaited, cannot be what a plain call
// returns. Whether a statement serves it is asked at each call, on the data
// source in force then, as the wrapper asks.
//
//     def wrapper(*args, **kwargs):
//         <no statement: NotImplementedError, as above, saying to declare it async def>
//         raise TypeError(f"{class_name}.{name} is declared by its signature alone with a "
//                         "plain def, so the mapper statement ... cannot be awaited: ...")
Ref plain_stub(FunctionObject* f, WrapperArgs&) {
  const WrapperVars v = captured<WrapperVars>(f);
  Ref db = call(global(f, names->get_current_db));
  Ref entry = registry_entry(f->globals, getattr(v.self, names->datasource), db);
  Ref mapper_dict = getitem(entry, names->mapper_dict);
  if (!mapped_statement(mapper_dict, v.class_name, v.name)) {
    raise_no_statement(mapper_dict, v, kDeclareAsync);
  }
  raise(PyExc_TypeError,
        Ref::check(PyUnicode_FromFormat(
            "%U.%U is declared by its signature alone with a plain def, so the mapper statement "
            "%R of namespace %R cannot be awaited through it: declare it async def",
            v.class_name.get(), v.name.get(), v.name.get(), v.class_name.get())));
}

Def* plain_stub_def;

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

// inspect.signature(attr), kept in BaseMapper._sig_cache: a weak-keyed
// dictionary from the mapper class to a dict from the attribute name to (a
// weak reference to the function, its signature). An entry serves while the
// class still holds that very function, so a method replaced on the class
// after its first use is read again; and it goes when the class goes.
Ref cached_signature(FunctionObject* f, Borrowed base, Borrowed cls, Borrowed name, Borrowed attr) {
  Ref func = PyMethod_Check(attr.get()) ? Ref::borrow(PyMethod_GET_FUNCTION(attr.get()))
                                        : Ref::borrow(attr.get());
  Ref sig_cache = getattr(base, names->sig_cache);
  Ref per_class = item_if_present(sig_cache, cls);
  if (per_class) {
    Ref entry = item_if_present(per_class, name);
    if (entry && PyTuple_CheckExact(entry.get()) && PyTuple_GET_SIZE(entry.get()) == 2) {
      Ref held = Ref::borrow(PyTuple_GET_ITEM(entry.get(), 0));
      if (PyWeakref_Check(held.get()) && call(held).get() == func.get()) {
        return Ref::borrow(PyTuple_GET_ITEM(entry.get(), 1));
      }
    }
  }
  Ref signature = call(getattr(global(f, names->inspect), names->signature), {attr.get()});
  Ref func_ref = Ref::steal(PyWeakref_NewRef(func.get(), nullptr));
  if (!func_ref) {
    // A callable that cannot be weakly referenced is not kept.
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_error();
    PyErr_Clear();
    return signature;
  }
  if (!per_class) {
    per_class = new_dict();
    check(PyObject_SetItem(sig_cache.get(), cls.get(), per_class.get()));
  }
  Ref entry = tuple({func_ref.get(), signature.get()});
  check(PyObject_SetItem(per_class.get(), name.get(), entry.get()));
  return signature;
}

struct GetattributeArgs {
  Ref self, name;
};

// The lookup both mappers share: `base_name` names the class (BaseMapper,
// AsyncBaseMapper) whose super() lookup is the next. The async mapper wraps
// coroutine functions, in a coroutine function that runs the same wrapper in
// the bridge; a sync callable is handed out as it is, unless it is a plain
// def declared by its signature alone, which gets a wrapper that refuses
// the call (plain_stub).
Ref dispatch_getattribute(FunctionObject* f, GetattributeArgs& a, PyObject* base_name,
                          bool is_async) {
  Ref base = global(f, base_name);
  ForeignLookup counted(
      PyType_Check(base.get()) &&
      !PyType_IsSubtype(Py_TYPE(a.self.get()), reinterpret_cast<PyTypeObject*>(base.get())));
  bool is_private = private_name(a.name);
  if (!is_private && super_finds_method(base, a.self, a.name)) {
    // The lookup would give a method bound to self, callable: the cached
    // wrapper is the answer, and the bound method need not be made.
    Ref cache = object_getattribute_opt(a.self, names->wrapper_cache);
    if (cache) {
      if (Ref cached = item_if_present(cache, a.name)) return cached;
    }
  }
  Ref attr = super_getattribute(base, a.self, a.name);
  if (is_private || !PyCallable_Check(attr.get())) return attr;
  const bool plain_async_stub = is_async && !is_coroutine_function(f->globals, attr);
  if (plain_async_stub && !declared_by_signature_only(attr)) return attr;

  Ref cache = object_getattribute_opt(a.self, names->wrapper_cache);
  if (!cache) {
    cache = new_dict();
    object_setattr(a.self, names->wrapper_cache, cache);
  }
  if (Ref cached = item_if_present(cache, a.name)) return cached;

  Ref cls = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(a.self.get())));
  Ref class_name = getattr(cls, names->dunder_name);
  if (plain_async_stub) {
    Ref refusing = plain_stub_def->closure(
        f, WrapperVars{a.self, a.name, class_name, attr, none(), none(), Ref(), none(), none(),
                       Ref()});
    Ref wrapped = apply_wraps(global(f, names->wraps), attr, refusing);
    check(PyObject_SetItem(cache.get(), a.name.get(), wrapped.get()));
    return wrapped;
  }
  Ref plan = parameter_plan(cached_signature(f, base, cls, a.name, attr));
  Ref call = is_async ? awaiting(f, attr) : attr;
  Ref inner = wrapper_def->closure(f, WrapperVars{a.self, a.name, class_name, attr, plan, none(),
                                                  Ref(), call, boolean(is_async), Ref()});
  Ref wrapped = is_async ? async_shell(f, attr, inner)
                         : apply_wraps(global(f, names->wraps), attr, inner);
  check(PyObject_SetItem(cache.get(), a.name.get(), wrapped.get()));
  return wrapped;
}

Ref getattribute(FunctionObject* f, GetattributeArgs& a) {
  return dispatch_getattribute(f, a, names->BaseMapper, false);
}

Ref async_getattribute(FunctionObject* f, GetattributeArgs& a) {
  return dispatch_getattribute(f, a, names->AsyncBaseMapper, true);
}

}  // namespace

namespace wisp::facade {

void add_mapper_dispatch(ClassBuilder& cb, Borrowed, bool is_async) {
  if (!wrapper_def) {  // kept for the life of the process
    wrapper_def = new_wrapper_def<wrapper>();
    plain_stub_def = new_wrapper_def<plain_stub>();
  }
  Def getattribute_def = is_async ? Def::of<async_getattribute>("__getattribute__")
                                  : Def::of<getattribute>("__getattribute__");
  getattribute_def.param("self", &GetattributeArgs::self)
      .param("name", &GetattributeArgs::name)
      .annotate("str");
  cb.method(getattribute_def);
}

void watch_dispatch_globals(Borrowed g) {
  auto* watched = new OriginalGlobals();
  for (PyObject* name : {names->get_origin, names->get_args, names->List, names->PageResult}) {
    watched->watch(g, name);
  }
  shape_globals = watched;
}

}  // namespace wisp::facade
