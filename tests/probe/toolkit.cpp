// wisp._rt_probe, second part: classes made with what a class statement does
// implicitly, dataclasses with field options, a decorator factory, and the
// interpreter protocols driven from C++.
#include "probe.h"
#include "wisp/classes.h"
#include "wisp/protocol.h"

using namespace wisp;

namespace {

struct Names {
  PyObject *wraps = intern("wraps"), *subclasses = intern("subclasses"),
           *made_by_new = intern("made_by_new"), *entries = intern("entries"),
           *init_subclass = intern("__init_subclass__"), *Registry = intern("Registry"),
           *sorted = intern("sorted");
};
const Names* names;

// ---------------------------------------------------------------------------
// def tag(label: str): a decorator factory.
//
//     def tag(label: str):
//         def decorator(func):
//             @wraps(func)
//             def wrapper(*args, **kwargs):
//                 return (label, func(*args, **kwargs))
//             return wrapper
//         return decorator

struct TagArgs {
  Ref label;
};
struct DecoratorArgs {
  Ref func;
};
struct WrapperArgs {
  Ref args, kwargs;
};

struct DecoratorVars {
  Ref label;
  static auto fields() { return wisp::fields(&DecoratorVars::label); }
};
struct WrapperVars {
  Ref label, func;
  static auto fields() { return wisp::fields(&WrapperVars::label, &WrapperVars::func); }
};

Def* decorator_def;
Def* wrapper_def;

Ref tag_wrapper(FunctionObject* f, WrapperArgs& args) {
  const WrapperVars& v = captured<WrapperVars>(f);
  Ref result = Ref::check(PyObject_Call(v.func.get(), args.args.get(), args.kwargs.get()));
  return tuple({v.label.get(), result.get()});
}

Ref tag_decorator(FunctionObject* f, DecoratorArgs& args) {
  const DecoratorVars& v = captured<DecoratorVars>(f);
  Ref wrapper = wrapper_def->closure(f, WrapperVars{v.label, args.func});
  return apply_wraps(global(f, names->wraps), args.func, wrapper);
}

Ref tag(FunctionObject* f, TagArgs& args) {
  return decorator_def->closure(f, DecoratorVars{args.label});
}

// ---------------------------------------------------------------------------
// class Registry: the implicit parts of a class statement.
//
//     class Registry:
//         entries: dict = None
//         label: "str" = "registry"
//         def __new__(cls, *args, **kwargs): obj = object.__new__(cls); obj.made_by_new = True
//         def __init__(self, entries=None): self.entries = entries
//         def __init_subclass__(cls, **kwargs):
//             subclasses.append(cls); super(Registry, cls).__init_subclass__(**kwargs)
//         def __sorted(self): return sorted(self.entries)
//         def keys(self): return self._Registry__sorted()
//         @property
//         def size(self): return len(self.entries)
//         @classmethod
//         @contextmanager
//         def scope(cls, log): ...records in log, yields cls

struct NewArgs {
  Ref cls, args, kwargs;
};
Ref registry_new(FunctionObject*, NewArgs& a) {
  Ref obj = call_method(reinterpret_cast<PyObject*>(&PyBaseObject_Type), intern("__new__"),
                        {a.cls.get()});
  setattr(obj, names->made_by_new, Py_True);
  return obj;
}

struct InitArgs {
  Ref self, entries;
};
Ref registry_init(FunctionObject*, InitArgs& a) {
  setattr(a.self, names->entries, a.entries);
  return none();
}

struct InitSubclassArgs {
  Ref cls, kwargs;
};
Ref registry_init_subclass(FunctionObject* f, InitSubclassArgs& a) {
  list_append(global(f, names->subclasses), a.cls);
  Ref registry = global(f, names->Registry);
  Ref parent = getattr(super_object(registry, a.cls), names->init_subclass);
  Ref noargs = Ref::check(PyTuple_New(0));
  return Ref::check(PyObject_Call(parent.get(), noargs.get(), a.kwargs.get()));
}

struct SelfArgs {
  Ref self;
};
Ref registry_sorted(FunctionObject* f, SelfArgs& a) {
  return call(global(f, names->sorted), {getattr(a.self, names->entries).get()});
}
Ref registry_keys(FunctionObject*, SelfArgs& a) {
  return call_method(a.self, intern("_Registry__sorted"), {});
}
Ref registry_size(FunctionObject*, SelfArgs& a) {
  Py_ssize_t n = PyObject_Size(getattr(a.self, names->entries).get());
  if (n < 0) throw_error();
  return Ref::check(PyLong_FromSsize_t(n));
}

struct ScopeArgs {
  Ref cls, log;
};
Ref registry_scope(FunctionObject* f, ScopeArgs& a) {
  return make_recorder(f, a.log, a.cls);
}

void bind_registry(Borrowed g, Borrowed contextmanager) {
  ClassBuilder cb("Registry", g);
  cb.annotated("entries", reinterpret_cast<PyObject*>(&PyDict_Type), Py_None);
  cb.annotated("label", "str", str("registry"));
  Def new_def = Def::of<registry_new>("__new__");
  new_def.param("cls", &NewArgs::cls)
      .param("args", &NewArgs::args, Kind::VarPos)
      .param("kwargs", &NewArgs::kwargs, Kind::VarKw);
  cb.method(new_def);
  Def init = Def::of<registry_init>("__init__");
  init.param("self", &InitArgs::self).param("entries", &InitArgs::entries).def(Py_None);
  cb.method(init);
  Def init_subclass = Def::of<registry_init_subclass>("__init_subclass__");
  init_subclass.param("cls", &InitSubclassArgs::cls)
      .param("kwargs", &InitSubclassArgs::kwargs, Kind::VarKw);
  cb.method(init_subclass);
  Def sorted = Def::of<registry_sorted>("__sorted");
  sorted.param("self", &SelfArgs::self);
  cb.method(sorted);
  Def keys = Def::of<registry_keys>("keys");
  keys.param("self", &SelfArgs::self);
  cb.method(keys);
  Def size = Def::of<registry_size>("size");
  size.param("self", &SelfArgs::self);
  cb.property(size);
  Def scope = Def::of<registry_scope>("scope");
  scope.param("cls", &ScopeArgs::cls).param("log", &ScopeArgs::log);
  cb.decorated(scope, {reinterpret_cast<PyObject*>(&PyClassMethod_Type), contextmanager});
  dict_set(g, "subclasses", new_list());
  dict_set(g, "Registry", cb.make());
}

// ---------------------------------------------------------------------------
// Dataclasses.
//
//     @dataclass
//     class Record:
//         kind: str
//         host: str = None
//         port: int = None
//
//     @dataclass
//     class Settings:                     # supplies its own __init__
//         records: "dict[str, Record]" = field(init=False)
//         strict: bool = False
//         path: str = None
//         def __init__(self, path=None, strict=False, **records): ...
//
//     @dataclass
//     class Secret:                       # supplies its own __repr__
//         value: str
//         def __repr__(self): return "Secret(***)"

struct SettingsInitArgs {
  Ref self, path, strict, records;
};
Ref settings_init(FunctionObject*, SettingsInitArgs& a) {
  setattr(a.self, "path", a.path);
  setattr(a.self, "strict", boolean(truthy(a.strict)));
  setattr(a.self, "records", a.records);
  return none();
}

Ref secret_repr(FunctionObject*, SelfArgs&) {
  return str("Secret(***)");
}

void bind_dataclasses(Borrowed g) {
  PyObject* str_t = reinterpret_cast<PyObject*>(&PyUnicode_Type);
  PyObject* int_t = reinterpret_cast<PyObject*>(&PyLong_Type);
  ClassBuilder record("Record", g);
  record.annotated("kind", str_t);
  record.annotated("host", str_t, Py_None);
  record.annotated("port", int_t, Py_None);
  dict_set(g, "Record", dataclass(record.make()));

  ClassBuilder settings("Settings", g);
  settings.annotated("records", "dict[str, Record]", dataclass_field({{"init", Py_False}}));
  settings.annotated("strict", reinterpret_cast<PyObject*>(&PyBool_Type), Py_False);
  settings.annotated("path", str_t, Py_None);
  Def init = Def::of<settings_init>("__init__");
  init.param("self", &SettingsInitArgs::self)
      .param("path", &SettingsInitArgs::path)
      .def(Py_None)
      .param("strict", &SettingsInitArgs::strict)
      .def(Py_False)
      .param("records", &SettingsInitArgs::records, Kind::VarKw);
  settings.method(init);
  dict_set(g, "Settings", dataclass(settings.make()));

  ClassBuilder secret("Secret", g);
  secret.annotated("value", str_t);
  Def repr = Def::of<secret_repr>("__repr__");
  repr.param("self", &SelfArgs::self);
  secret.method(repr);
  dict_set(g, "Secret", dataclass(secret.make(), {{"frozen", Py_True}}));
}

// ---------------------------------------------------------------------------
// The protocols, one probe each.

// The optional argument of a probe, given or not: `*default`.
Borrowed optional(const Ref& given) {
  return PyTuple_GET_SIZE(given.get()) ? Borrowed(PyTuple_GET_ITEM(given.get(), 0)) : Borrowed();
}

struct VarArgs {
  Ref var, value;
};
// def var_get(var, *default): var.get() or var.get(default[0])
Ref var_get(FunctionObject*, VarArgs& a) {
  Borrowed default_value = optional(a.value);
  return default_value ? contextvar_get(a.var, default_value) : contextvar_get(a.var);
}
// def var_set(var, value): returns the token
Ref var_set(FunctionObject*, VarArgs& a) {
  return contextvar_set(a.var, a.value);
}

struct WithArgs {
  Ref mgr, body;
};
// def run_with(mgr, body): (suppressed, result) of `with mgr as v: result = body(v)`
Ref run_with(FunctionObject*, WithArgs& a) {
  Ref result = with(a.mgr, [&](Borrowed value) { return call(a.body, {value.get()}); });
  if (!result) return tuple({Py_True, Py_None});
  return tuple({Py_False, result.get()});
}

struct AttrArgs {
  Ref obj, name, value;
};
// def super_get(cls, obj, name): super(cls, obj).__getattribute__(name)
struct SuperArgs {
  Ref cls, obj, name;
};
Ref super_get(FunctionObject*, SuperArgs& a) {
  return super_getattribute(a.cls, a.obj, a.name);
}
// def object_get(obj, name, *default): object.__getattribute__, with
// default[0] returned for a missing attribute when given
Ref object_get(FunctionObject*, AttrArgs& a) {
  Borrowed default_value = optional(a.value);
  if (!default_value) return object_getattribute(a.obj, a.name);
  Ref found = object_getattribute_opt(a.obj, a.name);
  return found ? found : Ref::borrow(default_value);
}
// def object_set(obj, name, value): object.__setattr__
Ref object_set(FunctionObject*, AttrArgs& a) {
  object_setattr(a.obj, a.name, a.value);
  return none();
}

struct OneArg {
  Ref value;
};
// def unpack3(value): a, b, c = value; return (a, b, c)
Ref unpack3(FunctionObject*, OneArg& a) {
  auto abc = unpack<3>(a.value);
  return tuple({abc[0].get(), abc[1].get(), abc[2].get()});
}

struct EachArgs {
  Ref iterable, fn;
};
// def each(iterable, fn): [fn(item) for item in iterable]
Ref each(FunctionObject*, EachArgs& a) {
  Ref out = new_list();
  for_each(a.iterable, [&](Borrowed item) { list_append(out, call(a.fn, {item.get()})); });
  return out;
}
// def each_item(mapping, fn): [fn(k, v) for k, v in mapping.items()]
Ref each_item(FunctionObject*, EachArgs& a) {
  Ref out = new_list();
  for_each_item(a.iterable,
                [&](Borrowed k, Borrowed v) { list_append(out, call(a.fn, {k.get(), v.get()})); });
  return out;
}

void bind_protocols(Borrowed g) {
  Def::of<var_get>("var_get")
      .param("var", &VarArgs::var)
      .param("default", &VarArgs::value, Kind::VarPos)
      .bind(g, g);
  Def::of<var_set>("var_set")
      .param("var", &VarArgs::var)
      .param("value", &VarArgs::value)
      .bind(g, g);
  Def::of<run_with>("run_with")
      .param("mgr", &WithArgs::mgr)
      .param("body", &WithArgs::body)
      .bind(g, g);
  Def::of<super_get>("super_get")
      .param("cls", &SuperArgs::cls)
      .param("obj", &SuperArgs::obj)
      .param("name", &SuperArgs::name)
      .bind(g, g);
  Def::of<object_get>("object_get")
      .param("obj", &AttrArgs::obj)
      .param("name", &AttrArgs::name)
      .param("default", &AttrArgs::value, Kind::VarPos)
      .bind(g, g);
  Def::of<object_set>("object_set")
      .param("obj", &AttrArgs::obj)
      .param("name", &AttrArgs::name)
      .param("value", &AttrArgs::value)
      .bind(g, g);
  Def::of<unpack3>("unpack3").param("value", &OneArg::value).bind(g, g);
  Def::of<each>("each")
      .param("iterable", &EachArgs::iterable)
      .param("fn", &EachArgs::fn)
      .bind(g, g);
  Def::of<each_item>("each_item")
      .param("mapping", &EachArgs::iterable)
      .param("fn", &EachArgs::fn)
      .bind(g, g);
}

}  // namespace

void bind_toolkit(Borrowed g) {
  make_names(names);
  dict_set(g, "wraps", import_attr("functools", "wraps"));
  Ref contextmanager = import_attr("contextlib", "contextmanager");

  Def::of<tag>("tag")
      .param("label", &TagArgs::label)
      .annotate(reinterpret_cast<PyObject*>(&PyUnicode_Type))
      .bind(g, g);
  decorator_def = new Def(Def::of<tag_decorator>("decorator"));
  decorator_def->param("func", &DecoratorArgs::func);
  wrapper_def = new Def(Def::of<tag_wrapper>("wrapper"));
  wrapper_def->param("args", &WrapperArgs::args, Kind::VarPos)
      .param("kwargs", &WrapperArgs::kwargs, Kind::VarKw);

  bind_registry(g, contextmanager);
  bind_dataclasses(g);
  bind_protocols(g);
}
