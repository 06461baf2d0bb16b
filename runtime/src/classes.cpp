#include <string>

#include "wisp/classes.h"

namespace wisp {

ClassBuilder::ClassBuilder(const char* name, Borrowed globals, const char* qualname)
    : name_(name), qualname_(qualname ? qualname : name), globals_(Ref::borrow(globals)) {
  ns_ = new_dict();
  static PyObject* s_name = intern("__name__");
  Borrowed module = dict_get(globals, s_name);
  if (module) dict_set(ns_, "__module__", module);
  dict_set(ns_, "__qualname__", str(qualname_));
}

Ref ClassBuilder::method(Def& def) {
  std::string qn = std::string(qualname_) + "." + PyUnicode_AsUTF8(def.code()->name);
  Ref built = def.build(globals_, Borrowed(), str(qn));
  check(PyDict_SetItem(ns_.get(), def.code()->name, built.get()));
  return built;
}

Ref ClassBuilder::staticmethod(Def& def) {
  Ref f = method(def);
  Ref sm = Ref::check(PyStaticMethod_New(f.get()));
  check(PyDict_SetItem(ns_.get(), def.code()->name, sm.get()));
  return f;
}

Ref ClassBuilder::classmethod(Def& def) {
  Ref f = method(def);
  Ref cm = Ref::check(PyClassMethod_New(f.get()));
  check(PyDict_SetItem(ns_.get(), def.code()->name, cm.get()));
  return f;
}

void ClassBuilder::attr(const char* name, Borrowed value) {
  dict_set(ns_, name, value);
}

void ClassBuilder::doc(const char* text) {
  dict_set(ns_, "__doc__", str(text));
}

Ref ClassBuilder::make(Borrowed bases) {
  Ref b = bases ? Ref::borrow(bases) : Ref::check(PyTuple_New(0));
  Ref name = str(name_);
  return call(reinterpret_cast<PyObject*>(&PyType_Type), {name.get(), b.get(), ns_.get()});
}

Ref ClassBuilder::make_generic(Borrowed bases) {
  // What types.new_class does, step by step.
  static PyObject* types = import("types").release();
  Ref resolved = call(getattr(types, "resolve_bases"), {bases.get()});
  Ref prepared = call(getattr(types, "prepare_class"), {str(name_).get(), resolved.get()});
  PyObject* meta = PyTuple_GET_ITEM(prepared.get(), 0);
  PyObject* ns = PyTuple_GET_ITEM(prepared.get(), 1);
  PyObject* kwds = PyTuple_GET_ITEM(prepared.get(), 2);
  check(PyDict_Update(ns, ns_.get()));
  if (resolved.get() != bases.get()) dict_set(ns, "__orig_bases__", bases);
  Ref args = tuple({str(name_).get(), resolved.get(), ns});
  return Ref::check(PyObject_Call(meta, args.get(), kwds));
}

Ref dataclass(Borrowed cls) {
  static PyObject* dc = import_attr("dataclasses", "dataclass").release();
  return call(dc, {cls.get()});
}

}  // namespace wisp
