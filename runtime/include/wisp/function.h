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
// and handed to the body as one owned reference per parameter: a `*args`
// parameter holds a tuple, a `**kwargs` parameter a dict.
//
// A body reads its arguments by name. The parameters are the members of a
// struct of `Ref`s, and the `Def` names each member next to the Python
// parameter it holds:
//
//     // def insert(self, sql: TextClause, sql_param)
//     struct Insert {
//       Ref self, sql, sql_param;
//     };
//     Ref insert(FunctionObject* f, Insert& args) { ... args.sql ... }
//
//     Def::of<insert>("insert")
//         .param("self", &Insert::self)
//         .param("sql", &Insert::sql).annotate(text_clause)
//         .param("sql_param", &Insert::sql_param)
//
// The struct is the storage the arguments are bound into, so reading
// `args.sql` costs what reading a slot of an array does. A function without
// parameters takes an empty struct.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <type_traits>
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

// The arguments of a function without parameters: `Ref body(FunctionObject*, NoArgs&)`.
struct NoArgs {};

// A body that reads its arguments from an array, in parameter order (the
// older form; new bodies take a named view, see above).
using Impl = Ref (*)(FunctionObject* self, Ref* args);

struct ParamInfo {
  PyObject* name;  // interned, kept for the life of the process
  Kind kind;
  Check check;
  bool nullable;
  std::uint32_t offset;  // byte offset of the parameter's Ref in the frame
};

struct Code {
  PyObject* name;      // interned
  PyObject* qualname;  // as the definition names it (co_qualname)
  Impl impl;           // array bodies only
  vectorcallfunc entry;
  std::vector<ParamInfo> params;
  Py_ssize_t n_positional = 0;  // PosOnly + PosOrKw
  Py_ssize_t n_posonly = 0;
  Py_ssize_t n_kwonly = 0;
  Py_ssize_t var_pos = -1;  // slot index of *args, or -1
  Py_ssize_t var_kw = -1;   // slot index of **kwargs, or -1
  Check ret_check = Check::Any;
  const char* doc = nullptr;
  bool generator = false;  // the body returns a new generator object
  bool coroutine = false;  // the body returns an awaitable: introspection sees `async def`
  // A coroutine twin's start (see coroutine_twin); null for any other code.
  Ref (*start)(FunctionObject* twin, Borrowed target, Borrowed args, Borrowed kwargs) = nullptr;
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
  void* captured;  // the values a closure captured (see Captures), or NULL
  const struct CaptureLayout* captured_layout;
};

WISP_API extern PyTypeObject FunctionType;

inline bool is_function(Borrowed o) {
  return Py_TYPE(o.get()) == &FunctionType;
}

// ---------------------------------------------------------------------------
// Values captured by a closure, read by name.
//
//     struct WrapperVars {
//       Ref sql_str, func;
//       static auto fields() { return wisp::fields(&WrapperVars::sql_str, &WrapperVars::func); }
//     };
//
// `fields()` lists every member (all of them `Ref`s), so that the cycle
// collector sees what a closure holds. A function made with
// `Def::closure(outer, WrapperVars{...})` carries its own copy; its body
// reads it with `captured<WrapperVars>(f).func`.

template <class C, class... M>
constexpr std::array<Ref C::*, sizeof...(M)> fields(M C::*... members) {
  return {members...};
}

struct CaptureLayout {
  std::vector<size_t> offsets;
  void (*destroy)(void*);
};

namespace detail {

template <class C>
const CaptureLayout* capture_layout() {
  static_assert(std::is_standard_layout<C>::value, "captured values: a plain struct of Refs");
  // No Python code runs here, so a static guard cannot wait on the GIL.
  static const CaptureLayout layout = [] {
    CaptureLayout l;
    C probe{};
    for (Ref C::* m : C::fields()) {
      l.offsets.push_back(size_t(reinterpret_cast<const unsigned char*>(&(probe.*m)) -
                                 reinterpret_cast<const unsigned char*>(&probe)));
    }
    l.destroy = [](void* p) { delete static_cast<C*>(p); };
    return l;
  }();
  static_assert(sizeof(C) == sizeof(Ref) * std::tuple_size<decltype(C::fields())>::value,
                "captured values: fields() must list every member, and every member is a Ref");
  return &layout;
}

[[noreturn]] WISP_API void wrong_captures(FunctionObject* f);

// What a call made with a named view needs from the runtime.
WISP_API void bind_arguments(FunctionObject* f, unsigned char* frame, PyObject* const* args,
                             size_t nargsf, PyObject* kwnames);
WISP_API Ref check_return(FunctionObject* f, Ref result);

template <class F>
struct BodyOf;
template <class A>
struct BodyOf<Ref (*)(FunctionObject*, A&)> {
  using Args = A;
};

template <class A>
const void* frame_tag() {
  static const char tag = 0;
  return &tag;
}

template <auto Body>
PyObject* named_entry(PyObject* self, PyObject* const* args, size_t nargsf,
                      PyObject* kwnames) noexcept {
  using A = typename BodyOf<decltype(Body)>::Args;
  auto* f = reinterpret_cast<FunctionObject*>(self);
  return guard([&] {
    RecursionLevel level;
    A frame{};
    bind_arguments(f, reinterpret_cast<unsigned char*>(&frame), args, nargsf, kwnames);
    return check_return(f, Body(f, frame));
  });
}

}  // namespace detail

// The captured values of a closure made by `Def::closure`.
template <class C>
C& captured(FunctionObject* f) {
  if (f->captured_layout != detail::capture_layout<C>()) detail::wrong_captures(f);
  return *static_cast<C*>(f->captured);
}

// Builder for one `def`. Annotations and defaults are Python objects given
// at definition time, as the interpreter would evaluate them.
class WISP_API Def {
 public:
  // A body that reads its arguments through a named view:
  // `Ref body(FunctionObject*, Args&)`.
  template <auto Body>
  static Def of(const char* name) {
    using A = typename detail::BodyOf<decltype(Body)>::Args;
    static_assert(std::is_standard_layout<A>::value, "arguments: a plain struct of Refs");
    static_assert(std::is_empty<A>::value || sizeof(A) % sizeof(Ref) == 0,
                  "arguments: a plain struct of Refs (an empty one for no parameters)");
    Def d(name, nullptr);
    d.entry_ = &detail::named_entry<Body>;
    d.frame_tag_ = detail::frame_tag<A>();
    d.frame_size_ = std::is_empty<A>::value ? 0 : sizeof(A);
    return d;
  }

  Def(const char* name, Impl impl);
  Def& doc(const char* text);
  // Marks a body that returns a new generator object (new_generator), as a
  // `def` with `yield` is: introspection reports a generator function.
  Def& generator();
  // Marks a body that returns an awaitable, as an `async def` does:
  // introspection (inspect.iscoroutinefunction) reports a coroutine function.
  Def& coroutine();
  // Adds a parameter; annotation and default apply to the last one added.
  Def& param(const char* name, Kind kind = Kind::PosOrKw);
  // Adds a parameter held by `member` of the body's named view.
  template <class A>
  Def& param(const char* name, Ref A::* member, Kind kind = Kind::PosOrKw) {
    if (frame_tag_ != detail::frame_tag<A>()) wrong_view(name);
    A probe{};
    param(name, kind);
    params_.back().offset = long(reinterpret_cast<const unsigned char*>(&(probe.*member)) -
                                 reinterpret_cast<const unsigned char*>(&probe));
    return *this;
  }
  Def& annotate(Borrowed annotation, Check check = Check::Auto);
  Def& annotate(const char* text, Check check = Check::Auto);
  Def& def(Borrowed value);
  Def& returns(Borrowed annotation, Check check = Check::Auto);
  Def& returns(const char* text, Check check = Check::Auto);
  Def& qualname(const char* qualname);
  Def& qualname(std::string qualname);
  const std::string& qualname() const { return qualname_; }
  const char* name() const { return name_; }

  // Makes the shared Code (once; later calls return the same one).
  const Code* code();
  // Makes a function object in the namespace `globals` (a module dict).
  Ref build(Borrowed globals, Borrowed closure = Borrowed(), Borrowed qualname = Borrowed());
  // Builds and binds the function as a module global (or class attribute
  // when `target` is a dict).
  Ref bind(Borrowed namespace_dict, Borrowed globals);

  // Makes the function this Def describes as a local function of the
  // running function `outer` (the way a nested `def` statement runs): its
  // qualified name is `<outer's qualname>.<locals>.<name>`, its globals are
  // outer's, and it carries its own copy of `values` (see Captures).
  template <class C>
  Ref closure(FunctionObject* outer, C values) {
    const CaptureLayout* layout = detail::capture_layout<C>();
    Ref f = nested(outer);
    attach(f, new C(std::move(values)), layout);
    return f;
  }
  // The same, capturing nothing.
  Ref nested(FunctionObject* outer);

 private:
  struct P {
    const char* name;
    Kind kind;
    Ref annotation;
    Check check = Check::Auto;
    Ref default_value;
    long offset = -1;
  };
  [[noreturn]] void wrong_view(const char* param_name);
  static void attach(Ref& f, void* values, const CaptureLayout* layout);
  const char* name_;
  std::string qualname_;
  const char* doc_ = nullptr;
  bool generator_ = false;
  bool coroutine_ = false;
  Impl impl_;
  vectorcallfunc entry_ = nullptr;
  const void* frame_tag_ = nullptr;
  size_t frame_size_ = 0;
  std::vector<P> params_;
  Ref ret_annotation_;
  Check ret_check_ = Check::Auto;
  Code* code_ = nullptr;
};

// A coroutine function standing for `target`, a function of this runtime:
// the same name, parameters, defaults, annotations, docstring and argument
// checks, under the qualified name `qualname`. A call binds its arguments
// as `target` would (refusing what target refuses, at the call) and returns
// `start(twin, target, args, kwargs)`: the awaitable that runs target with
// the bound arguments (`args` a tuple, `kwargs` a dict). One twin per target
// and start; its Code is made once per pair and kept for the process.
using TwinStart = Ref (*)(FunctionObject* twin, Borrowed target, Borrowed args, Borrowed kwargs);
WISP_API Ref coroutine_twin(Borrowed target, Borrowed qualname, TwinStart start);
// The function a coroutine twin stands for, or null for any other object.
WISP_API Borrowed twin_target(Borrowed func);

// Creates a function object from a shared Code: the way closures are made.
WISP_API Ref new_function(const Code* code, Borrowed globals, Borrowed qualname,
                          Borrowed closure = Borrowed(), Borrowed defaults = Borrowed(),
                          Borrowed kwdefaults = Borrowed(), Borrowed annotations = Borrowed());

// What `global()` returns: an owned reference. Code written against the
// older, borrowing lookup passes it where a raw pointer is expected; that is
// sound within the one expression (the temporary lives until its end). Keep
// it as a `Ref` when it is used after anything that can run Python code.
class GlobalRef : public Ref {
 public:
  explicit GlobalRef(Ref r) : Ref(std::move(r)) {}
  operator PyObject*() const& { return get(); }  // NOLINT: see above
};

// Looks a name up the way a function body does: module globals, then
// builtins. Throws NameError when absent. The result is owned: module
// globals can be rebound by any Python code, which would free a borrowed
// one while it is still in use.
WISP_API GlobalRef global(FunctionObject* f, Borrowed name);
WISP_API GlobalRef global(Borrowed globals, Borrowed name);
// True while the module global `name` is still `original` (for fast paths
// that stand in for the original object). Runs no Python code.
WISP_API bool global_is(FunctionObject* f, Borrowed name, Borrowed original);

// Module globals that something kept stands in for (a decision worked out
// through them), with the objects they held when it was set up: `hold()`
// tells whether every one is still that object, looked up in its module,
// then in the builtins. Runs no Python code (str keys only). Set up at a
// module's import and kept for the life of the process.
class WISP_API OriginalGlobals {
 public:
  // Watches `name` in the module namespace `globals` (or the builtins),
  // which must bind it now.
  void watch(Borrowed globals, PyObject* name);
  bool hold() const;

 private:
  struct Watched {
    PyObject* globals;
    PyObject* name;
    PyObject* original;
  };
  std::vector<Watched> watched_;
};

// `wraps(wrapped)(wrapper)`: a decorator's wrapper made to look like the
// function it wraps. `wraps` is the caller's (functools.wraps as its module
// namespace holds it).
WISP_API Ref apply_wraps(Borrowed wraps, Borrowed wrapped, Borrowed wrapper);

// Argument-check failure messages, shared with hand-written checks.
[[noreturn]] WISP_API void raise_arg_type(Borrowed param_name, PyTypeObject* expected,
                                          Borrowed given);
// The interpreter's refusals of a call that does not fit its function, for
// bindings made by hand: "NAME() takes N positional arguments but M were
// given" (`argcount` positional parameters, the last `defcount` of them with
// defaults, `kwonly_given` keyword-only arguments in the call) and "NAME()
// got an unexpected keyword argument 'KEY'". NAME is the function's
// qualified name, as the interpreter shows it.
[[noreturn]] WISP_API void raise_too_many_positional(Borrowed qualname, Py_ssize_t argcount,
                                                     Py_ssize_t defcount, Py_ssize_t given,
                                                     Py_ssize_t kwonly_given);
[[noreturn]] WISP_API void raise_unexpected_keyword(Borrowed qualname, Borrowed key);
// Checks a value against the rule for a parameter; returns the value to use.
WISP_API Ref check_arg(Borrowed param_name, Check check, bool nullable, Ref value);

}  // namespace wisp
