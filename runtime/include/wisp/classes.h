// wisp runtime: building ordinary Python classes at import.
//
// Classes are made the way a `class` statement makes them, so they are plain
// heap types: subclassable from Python, instances with a `__dict__`, methods
// that are runtime functions (which bind like Python functions).
#pragma once

#include "wisp/function.h"

namespace wisp {

// A class body under construction: its namespace dict, in definition order.
class WISP_API ClassBuilder {
 public:
  // `module` is the defining module's name; `globals` its namespace, which
  // the methods look names up in.
  ClassBuilder(const char* name, Borrowed globals, const char* qualname = nullptr);

  Borrowed ns() const { return ns_; }
  const char* name() const { return name_; }
  const char* qualname() const { return qualname_; }

  // Adds a method built from `def` (its qualname becomes Class.method).
  Ref method(Def& def);
  Ref staticmethod(Def& def);
  Ref classmethod(Def& def);
  void attr(const char* name, Borrowed value);
  void doc(const char* text);

  // type(name, bases, ns); `bases` is a tuple or null for (object,).
  Ref make(Borrowed bases = Borrowed());
  // types.new_class semantics: resolves __mro_entries__ (Generic[T] and
  // friends), picks the metaclass and records __orig_bases__.
  Ref make_generic(Borrowed bases);

 private:
  const char* name_;
  const char* qualname_;
  Ref globals_;
  Ref ns_;
};

// dataclasses.dataclass(cls) with no options.
WISP_API Ref dataclass(Borrowed cls);

}  // namespace wisp
