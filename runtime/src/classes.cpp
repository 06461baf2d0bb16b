#include <string>

#include "wisp/classes.h"

namespace wisp {

namespace {

LazyRef s_types, s_dataclass, s_field;

bool is_private(const std::string& name) {
  size_t n = name.size();
  if (n < 3 || name[0] != '_' || name[1] != '_') return false;
  if (name[n - 1] == '_' && name[n - 2] == '_') return false;
  return name.find('.') == std::string::npos;
}

// The interpreter's mangling: _ClassName__name, with the class name's own
// leading underscores dropped (no mangling for a class named only "_").
std::string mangle(const std::string& class_name, const std::string& name) {
  if (!is_private(name)) return name;
  size_t start = class_name.find_first_not_of('_');
  if (start == std::string::npos) return name;
  return "_" + class_name.substr(start) + name;
}

}  // namespace

ClassBuilder::ClassBuilder(const char* name, Borrowed globals, const char* qualname)
    : name_(name), qualname_(qualname ? qualname : name), globals_(Ref::borrow(globals)) {
  ns_ = new_dict();
  Ref module = dict_get_ref(globals, intern("__name__"));
  if (module) dict_set(ns_, "__module__", module);
  dict_set(ns_, "__qualname__", str(qualname_));
}

Ref ClassBuilder::key(const char* name) const {
  return str(mangle(name_, name));
}

Ref ClassBuilder::function_for(Def& def) {
  if (def.qualname().empty()) def.qualname(qualname_ + "." + def.name());
  return def.build(globals_);
}

void ClassBuilder::store(Def& def, Borrowed value) {
  check(PyDict_SetItem(ns_.get(), key(def.name()).get(), value));
}

Ref ClassBuilder::method(Def& def) {
  Ref f = function_for(def);
  store(def, f);
  return f;
}

Ref ClassBuilder::staticmethod(Def& def) {
  Ref f = function_for(def);
  store(def, Ref::check(PyStaticMethod_New(f.get())));
  return f;
}

Ref ClassBuilder::classmethod(Def& def) {
  Ref f = function_for(def);
  store(def, Ref::check(PyClassMethod_New(f.get())));
  return f;
}

Ref ClassBuilder::decorated(Def& def, std::initializer_list<PyObject*> decorators) {
  Ref f = function_for(def);
  Ref value = f;
  for (auto it = decorators.end(); it != decorators.begin();) {
    --it;
    value = call(*it, {value.get()});
  }
  store(def, value);
  return f;
}

Ref ClassBuilder::property(Def& getter, Def* setter) {
  Ref fget = function_for(getter);
  Ref prop = call(reinterpret_cast<PyObject*>(&PyProperty_Type), {fget.get()});
  if (setter) {
    Ref fset = function_for(*setter);
    prop = call_method(prop, intern("setter"), {fset.get()});
  }
  store(getter, prop);
  return fget;
}

void ClassBuilder::attr(const char* name, Borrowed value) {
  check(PyDict_SetItem(ns_.get(), key(name).get(), value));
}

void ClassBuilder::annotated(const char* name, Borrowed annotation, Borrowed value) {
  PyObject* s_annotations = intern("__annotations__");
  Ref annotations = dict_get_ref(ns_, s_annotations);
  if (!annotations) {
    annotations = new_dict();
    dict_set(ns_, s_annotations, annotations);
  }
  Ref k = key(name);
  dict_set(annotations, k, annotation);
  if (value) dict_set(ns_, k, value);
}

void ClassBuilder::annotated(const char* name, const char* annotation_text, Borrowed value) {
  annotated(name, str(annotation_text), value);
}

void ClassBuilder::doc(const char* text) {
  dict_set(ns_, "__doc__", str(text));
}

void ClassBuilder::wrap_implicit() {
  // type() does this for Python functions only.
  struct Implicit {
    const char* name;
    PyTypeObject* wrapper;
  };
  static const Implicit implicit[] = {
      {"__new__", &PyStaticMethod_Type},
      {"__init_subclass__", &PyClassMethod_Type},
      {"__class_getitem__", &PyClassMethod_Type},
  };
  for (const Implicit& i : implicit) {
    PyObject* k = intern(i.name);
    Ref v = dict_get_ref(ns_, k);
    if (!v || !is_function(v)) continue;
    Ref wrapped = i.wrapper == &PyStaticMethod_Type ? Ref::check(PyStaticMethod_New(v.get()))
                                                    : Ref::check(PyClassMethod_New(v.get()));
    dict_set(ns_, k, wrapped);
  }
}

Ref ClassBuilder::make(Borrowed bases) {
  wrap_implicit();
  Ref b = bases ? Ref::borrow(bases) : Ref::check(PyTuple_New(0));
  Ref name = str(name_);
  return call(reinterpret_cast<PyObject*>(&PyType_Type), {name.get(), b.get(), ns_.get()});
}

Ref ClassBuilder::make_generic(Borrowed bases) {
  // What types.new_class does, step by step.
  wrap_implicit();
  Borrowed types = s_types.get([] { return import("types"); });
  Ref name = str(name_);
  Ref resolved = call(getattr(types, "resolve_bases"), {bases.get()});
  Ref prepared = call(getattr(types, "prepare_class"), {name.get(), resolved.get()});
  if (!PyTuple_Check(prepared.get()) || PyTuple_GET_SIZE(prepared.get()) != 3) {
    raise(PyExc_TypeError, "types.prepare_class() did not return (meta, ns, kwds)");
  }
  Ref meta = Ref::borrow(PyTuple_GET_ITEM(prepared.get(), 0));
  Ref ns = Ref::borrow(PyTuple_GET_ITEM(prepared.get(), 1));
  Ref kwds = Ref::borrow(PyTuple_GET_ITEM(prepared.get(), 2));
  check(PyDict_Update(ns.get(), ns_.get()));
  if (resolved.get() != bases.get()) dict_set(ns, "__orig_bases__", bases);
  Ref args = tuple({name.get(), resolved.get(), ns.get()});
  return Ref::check(PyObject_Call(meta.get(), args.get(), kwds.get()));
}

Ref dataclass(Borrowed cls) {
  return dataclass(cls, {});
}

Ref dataclass(Borrowed cls, std::initializer_list<Kw> options) {
  Borrowed dc = s_dataclass.get([] { return import_attr("dataclasses", "dataclass"); });
  return call_kwargs(dc, {cls.get()}, options);
}

Ref dataclass_field(std::initializer_list<Kw> options) {
  Borrowed field = s_field.get([] { return import_attr("dataclasses", "field"); });
  return call_kwargs(field, {}, options);
}

}  // namespace wisp
