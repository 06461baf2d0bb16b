// wisp runtime: building ordinary Python classes at import.
//
// Classes are made the way a `class` statement makes them, so they are plain
// heap types: subclassable from Python, instances with a `__dict__`, methods
// that are runtime functions (which bind like Python functions).
//
// What the statement does implicitly, the builder does too:
//   - a private name (`__list_mapper`: two leading underscores, not a dunder)
//     is stored under its mangled key (`_WispConfig__list_mapper`); the
//     function keeps `__name__` `__list_mapper` and the qualified name
//     `WispConfig.__list_mapper`;
//   - `__new__` becomes a static method and `__init_subclass__` and
//     `__class_getitem__` class methods, as `type()` does only for Python
//     functions;
//   - `name: annotation = value` records the annotation in the class's
//     `__annotations__`, in order.
#pragma once

#include <initializer_list>

#include "wisp/function.h"

namespace wisp {

// A class body under construction: its namespace dict, in definition order.
class WISP_API ClassBuilder {
 public:
  // `globals` is the defining module's namespace, which the methods look
  // names up in and whose `__name__` becomes the class's `__module__`.
  ClassBuilder(const char* name, Borrowed globals, const char* qualname = nullptr);

  Borrowed ns() const { return ns_; }
  const char* name() const { return name_.c_str(); }
  const char* qualname() const { return qualname_.c_str(); }

  // The key a name written in the class body is stored under (mangled when
  // private).
  Ref key(const char* name) const;

  // `def name(...)` in the class body; returns the function.
  Ref method(Def& def);
  // `@staticmethod` / `@classmethod` over it.
  Ref staticmethod(Def& def);
  Ref classmethod(Def& def);
  // The function under decorators, listed top to bottom as written:
  //     decorated(def, {classmethod_type, contextmanager})
  // is `@classmethod @contextmanager def ...`. Returns the plain function.
  Ref decorated(Def& def, std::initializer_list<PyObject*> decorators);
  // `@property def name(self)`, with an optional `@name.setter`.
  Ref property(Def& getter, Def* setter = nullptr);

  void attr(const char* name, Borrowed value);
  // `name: annotation = value`; without a value, the annotation alone.
  void annotated(const char* name, Borrowed annotation, Borrowed value = Borrowed());
  // The same with the annotation as written text (a string annotation).
  void annotated(const char* name, const char* annotation_text, Borrowed value = Borrowed());
  void doc(const char* text);

  // type(name, bases, ns); `bases` is a tuple or null for (object,).
  Ref make(Borrowed bases = Borrowed());
  // types.new_class semantics: resolves __mro_entries__ (Generic[T] and
  // friends), picks the metaclass and records __orig_bases__.
  Ref make_generic(Borrowed bases);

 private:
  Ref function_for(Def& def);
  void store(Def& def, Borrowed value);
  void wrap_implicit();
  std::string name_;
  std::string qualname_;
  Ref globals_;
  Ref ns_;
};

// dataclasses.dataclass(cls) with no options.
WISP_API Ref dataclass(Borrowed cls);
// dataclasses.dataclass(cls, **options), e.g. {{"eq", Py_False}}.
WISP_API Ref dataclass(Borrowed cls, std::initializer_list<Kw> options);
// dataclasses.field(**options), e.g. {{"init", Py_False}}: a field's
// default as the class body gives it.
WISP_API Ref dataclass_field(std::initializer_list<Kw> options);

}  // namespace wisp
