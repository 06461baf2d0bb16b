// wisp runtime: a function type whose objects behave like Python functions.
//
// A `Code` is the immutable part of a `def`: name, parameters with their
// kinds and argument checks, the C++ body. It is made once and shared by
// every function object created from it (closures made by a decorator call
// share one Code). A `Function` object adds what Python keeps per function
// object: qualified name, module, docstring, defaults, annotations,
// `__dict__`, globals and closure data.
//
// Calls go through vectorcall. Arguments are bound by Python's rules (and
// with its error messages), checked by the package's argument conventions,
// and handed to the body as one owned reference per parameter, in order:
// a `*args` slot holds a tuple, a `**kwargs` slot a dict.
#pragma once

#include <cstdint>
#include <vector>

#include "wisp/rt.h"

namespace wisp {

enum class Kind : std::uint8_t { PosOnly, PosOrKw, VarPos, KwOnly, VarKw };

// Argument checks derived from annotations.
//   Str/Dict/List/Set/Type: exactly that builtin type (None only if nullable)
//   Int: any object with __index__ or __int__, converted with int()
//   Bool: any object, converted to its truth value
enum class Check : std::uint8_t { Auto, Any, Str, Dict, List, Set, Type, Int, Bool };

struct FunctionObject;
using Impl = Ref (*)(FunctionObject* self, Ref* args);

struct ParamInfo {
  PyObject* name;  // interned, immortal
  Kind kind;
  Check check;
  bool nullable;
};

struct Code {
  PyObject* name;  // interned
  Impl impl;
  std::vector<ParamInfo> params;
  Py_ssize_t n_positional = 0;  // PosOnly + PosOrKw
  Py_ssize_t n_posonly = 0;
  Py_ssize_t n_kwonly = 0;
  Py_ssize_t var_pos = -1;  // slot index of *args, or -1
  Py_ssize_t var_kw = -1;   // slot index of **kwargs, or -1
  Check ret_check = Check::Any;
  const char* doc = nullptr;
};

struct FunctionObject {
  PyObject_HEAD vectorcallfunc vectorcall;
  const Code* code;
  PyObject* globals;  // module namespace the body looks names up in
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
  PyObject* doc;
  PyObject* dict;
  PyObject* defaults;     // tuple or NULL
  PyObject* kwdefaults;   // dict or NULL
  PyObject* annotations;  // dict or NULL (created on first read)
  PyObject* closure;      // data the body reads (any object) or NULL
  PyObject* code_obj;     // lazily built code object for introspection
  PyObject* type_params;  // tuple or NULL
  PyObject* weakreflist;
};

WISP_API extern PyTypeObject FunctionType;

inline bool is_function(Borrowed o) {
  return Py_TYPE(o.get()) == &FunctionType;
}

// Builder for one `def`. Annotations and defaults are Python objects given
// at definition time, as the interpreter would evaluate them.
class WISP_API Def {
 public:
  Def(const char* name, Impl impl);
  Def& doc(const char* text);
  // Adds a parameter; annotation and default apply to the last one added.
  Def& param(const char* name, Kind kind = Kind::PosOrKw);
  Def& annotate(Borrowed annotation, Check check = Check::Auto);
  Def& annotate(const char* text, Check check = Check::Auto);
  Def& def(Borrowed value);
  Def& returns(Borrowed annotation, Check check = Check::Auto);
  Def& returns(const char* text, Check check = Check::Auto);
  Def& qualname(const char* qualname);

  // Makes the shared Code (once; later calls return the same one).
  const Code* code();
  // Makes a function object in the namespace `globals` (a module dict).
  Ref build(Borrowed globals, Borrowed closure = Borrowed(), Borrowed qualname = Borrowed());
  // Builds and binds the function as a module global (or class attribute
  // when `target` is a dict).
  Ref bind(Borrowed namespace_dict, Borrowed globals);

 private:
  struct P {
    const char* name;
    Kind kind;
    Ref annotation;
    Check check = Check::Auto;
    Ref default_value;
  };
  const char* name_;
  const char* qualname_ = nullptr;
  const char* doc_ = nullptr;
  Impl impl_;
  std::vector<P> params_;
  Ref ret_annotation_;
  Check ret_check_ = Check::Auto;
  Code* code_ = nullptr;
};

// Creates a function object from a shared Code: the way closures are made.
WISP_API Ref new_function(const Code* code, Borrowed globals, Borrowed qualname,
                          Borrowed closure = Borrowed(), Borrowed defaults = Borrowed(),
                          Borrowed kwdefaults = Borrowed(), Borrowed annotations = Borrowed());

// Looks a name up the way a function body does: module globals, then builtins.
// Throws NameError when absent. Returns a borrowed reference.
WISP_API Borrowed global(FunctionObject* f, Borrowed name);
WISP_API Borrowed global(Borrowed globals, Borrowed name);

// Argument-check failure messages, shared with hand-written checks.
[[noreturn]] WISP_API void raise_arg_type(Borrowed param_name, PyTypeObject* expected,
                                          Borrowed given);
// Checks a value against the rule for a parameter; returns the value to use.
WISP_API Ref check_arg(Borrowed param_name, Check check, bool nullable, Ref value);

}  // namespace wisp
