// wisp runtime: object handles, error propagation and small helpers shared by
// every extension module of the package.
//
// Ownership is in the type: `Ref` owns one reference, `Borrowed` owns none.
// A failed C-API call throws `PyError`, which carries nothing: the Python
// error indicator already holds the exception. Only the entry points the
// interpreter calls (function trampolines, generator methods, type slots and
// module init) catch it and turn it back into a NULL/-1 return.
//
// A borrowed pointer is valid only until the next call that can run Python
// code (a user `__eq__`, `__hash__` or `__del__`, a replaced module global):
// anything used after such a call is held as a `Ref`.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

// Everything the runtime declares is visible across the shared-library
// boundary, in the runtime and in every module alike: modules build with
// hidden visibility by default, and the type information of an exception
// thrown in one library and caught in another must be one symbol.
#define WISP_API __attribute__((visibility("default")))

namespace wisp {

// Thrown when the interpreter's error indicator is set.
struct WISP_API PyError {};

[[noreturn]] WISP_API void throw_error();

class Ref;

// A base for objects that stand for a scope (a level entered, an exception
// being handled) and so are neither copied nor assigned.
class WISP_API Pinned {
 protected:
  Pinned() = default;
  ~Pinned() = default;

 public:
  Pinned(const Pinned&) = delete;
  Pinned& operator=(const Pinned&) = delete;
};

// A pointer that owns no reference. Converts freely to PyObject*.
class Borrowed {
 public:
  constexpr Borrowed() = default;
  constexpr Borrowed(PyObject* p) : p_(p) {}  // NOLINT: implicit by design
  // A static type object (`&PyUnicode_Type`) as the object it is.
  Borrowed(PyTypeObject* t) : p_(reinterpret_cast<PyObject*>(t)) {}  // NOLINT
  inline Borrowed(const Ref& r);                                     // NOLINT
  PyObject* get() const { return p_; }
  operator PyObject*() const { return p_; }  // NOLINT
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// An owned reference. Constructors say where the reference comes from.
class Ref {
 public:
  Ref() = default;
  ~Ref() { Py_XDECREF(p_); }
  Ref(const Ref& o) : p_(o.p_) { Py_XINCREF(p_); }
  Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  Ref& operator=(const Ref& o) {
    Ref tmp(o);
    std::swap(p_, tmp.p_);
    return *this;
  }
  Ref& operator=(Ref&& o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }

  // Takes over a new reference; may be null.
  static Ref steal(PyObject* p) { return Ref(p); }
  // Adds a reference to a borrowed pointer; may be null.
  static Ref borrow(PyObject* p) {
    Py_XINCREF(p);
    return Ref(p);
  }
  // Takes over the result of a C-API call that returns a new reference or
  // NULL with an exception set.
  static Ref check(PyObject* p) {
    if (!p) throw_error();
    return Ref(p);
  }

  PyObject* get() const { return p_; }
  Borrowed borrowed() const { return Borrowed(p_); }
  PyObject* release() {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }
  PyObject* new_ref() const {
    Py_XINCREF(p_);
    return p_;
  }
  void reset() { Py_CLEAR(p_); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

inline Borrowed::Borrowed(const Ref& r) : p_(r.get()) {}

inline int check(int r) {
  if (r < 0) throw_error();
  return r;
}

// ---------------------------------------------------------------------------
// Common operations, each throwing PyError on failure.

WISP_API Ref str(const char* utf8);
WISP_API Ref str(const std::string& utf8);
WISP_API Ref str(const char* utf8, Py_ssize_t len);
// str(o)
WISP_API Ref str_of(Borrowed o);
// An interned string kept alive for the life of the process. Asking again
// for the same text returns the same object and takes no new reference.
WISP_API PyObject* intern(const char* utf8);

// A value made once, on first use, and kept for the life of the process.
// Unlike a function-local `static`, it holds no lock of its own while it is
// made: making it may import, and an import may wait for another thread
// that needs the GIL. Two threads may both make it; the first kept wins.
// Objects of this class are constant-initialised, so they need no guard.
class LazyRef {
 public:
  constexpr LazyRef() = default;
  LazyRef(const LazyRef&) = delete;
  LazyRef& operator=(const LazyRef&) = delete;

  template <class F>
  Borrowed get(F&& make) {
    if (!p_) {
      Ref made = make();
      if (!made) throw_error();
      if (!p_) p_ = made.release();
    }
    return p_;
  }

 private:
  PyObject* p_ = nullptr;
};

WISP_API Ref getattr(Borrowed o, Borrowed name);
WISP_API Ref getattr(Borrowed o, const char* name);
// Returns a null Ref when the attribute is missing (AttributeError cleared).
WISP_API Ref getattr_opt(Borrowed o, Borrowed name);
// Takes over the result of an attribute lookup: null when it failed with
// AttributeError (cleared), thrown for any other error.
WISP_API Ref attribute_or_null(PyObject* result);
WISP_API void setattr(Borrowed o, Borrowed name, Borrowed value);
WISP_API void setattr(Borrowed o, const char* name, Borrowed value);
// The object the weak reference `ref` points to, or null when it died.
WISP_API Ref weak_target(Borrowed ref);

WISP_API Ref call(Borrowed f);
WISP_API Ref call(Borrowed f, std::initializer_list<PyObject*> args);
// Vectorcall with keyword names (a tuple of str) after the positionals.
WISP_API Ref call_kw(Borrowed f, std::initializer_list<PyObject*> args, Borrowed kwnames);
WISP_API Ref call_method(Borrowed o, Borrowed name, std::initializer_list<PyObject*> args);
// Method call with keywords: the last PyTuple_GET_SIZE(kwnames) of `args`
// are the keyword values.
WISP_API Ref call_method_kw(Borrowed o, Borrowed name, std::initializer_list<PyObject*> args,
                            Borrowed kwnames);
// A tuple of interned names, for keyword calls.
WISP_API Ref names_tuple(std::initializer_list<const char*> names);

WISP_API Ref import(const char* module);
WISP_API Ref import_attr(const char* module, const char* name);

WISP_API bool truthy(Borrowed o);
WISP_API Ref tuple(std::initializer_list<PyObject*> items);
WISP_API Ref new_list(Py_ssize_t n = 0);
WISP_API Ref new_dict();
WISP_API void list_append(Borrowed list, Borrowed item);
WISP_API void dict_set(Borrowed d, Borrowed key, Borrowed value);
WISP_API void dict_set(Borrowed d, const char* key, Borrowed value);
// Borrowed lookup in a dict; null when absent (never throws KeyError). The
// result is valid only until the next call that can run Python code.
WISP_API Borrowed dict_get(Borrowed d, Borrowed key);
// Owning lookup in a dict; null when absent (never throws KeyError).
WISP_API Ref dict_get_ref(Borrowed d, Borrowed key);

// A keyword argument for calls made at set-up time (not on hot paths: the
// names tuple is built per call).
struct Kw {
  const char* name;
  PyObject* value;
};
// f(*args, **kw)
WISP_API Ref call_kwargs(Borrowed f, std::initializer_list<PyObject*> args,
                         std::initializer_list<Kw> kw);

inline Ref none() {
  return Ref::borrow(Py_None);
}
inline Ref boolean(bool b) {
  return Ref::borrow(b ? Py_True : Py_False);
}

// Concatenation of str objects.
WISP_API Ref concat(std::initializer_list<PyObject*> parts);

// UTF-8 view of a str (valid while the str lives).
WISP_API std::string_view utf8(Borrowed s);

// Raises `exc_type(msg)` and throws PyError.
[[noreturn]] WISP_API void raise(PyObject* exc_type, const char* msg);
[[noreturn]] WISP_API void raise(PyObject* exc_type, Borrowed msg);
[[noreturn]] WISP_API void raise_format(PyObject* exc_type, const char* fmt, ...);

// Adds a note to the exception currently being raised (error indicator set).
WISP_API void add_note_to_current(Borrowed note);

// Exact-type check for a declared local or return value: "Expected %s, got %.200s".
// `None` passes. Throws TypeError otherwise.
WISP_API void expect_exact(Borrowed value, PyTypeObject* type);

// The current exception, taken out of the error indicator (normalised), or
// put back into it.
WISP_API Ref fetch_exception();
WISP_API void restore_exception(Ref exc);

// Clears the current exception when it is an ordinary one (an Exception)
// and says so; anything else (KeyboardInterrupt, SystemExit) stays set, for
// the caller to let through.
inline bool clear_ordinary_exception() {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
  PyErr_Clear();
  return true;
}

// Makes `exc` the exception being handled (what `sys.exc_info()` shows and
// what a new exception gets as its `__context__`) for the life of the
// object, as an `except` or `finally` block does, and restores the previous
// one afterwards.
class WISP_API HandlingScope : Pinned {
 public:
  explicit HandlingScope(Borrowed exc);
  ~HandlingScope();

 private:
  PyObject* saved_;
};

// Gives `raised` the context `exc` unless the interpreter already chained
// one, cutting a loop the way the interpreter does.
WISP_API void chain_context(Borrowed raised, Borrowed exc);

// Runs a clean-up step while `exc` propagates, as a `finally` or `except`
// block would: an exception raised by the step replaces `exc` and gets it as
// its context.
template <class F>
void while_handling(Ref& exc, F&& step);

// Converts any C++ exception in flight into a Python error. Call only inside
// a catch (...) block at an interpreter boundary.
WISP_API void translate_exception() noexcept;

template <class F>
void while_handling(Ref& exc, F&& step) {
  bool failed = false;
  {
    HandlingScope handling(exc);
    try {
      step();
    } catch (...) {
      // Translated while `exc` is still being handled, so that the
      // interpreter chains it as the new exception's context.
      translate_exception();
      failed = true;
    }
  }
  if (!failed) return;
  Ref raised = fetch_exception();
  if (raised && raised.get() != exc.get()) {
    chain_context(raised, exc);
    exc = std::move(raised);
  }
}

// One level of the interpreter's recursion count for as long as it lives, as
// the interpreter counts a call of a Python function: a loop of calls that
// never passes through Python code ends in RecursionError instead of
// exhausting the C stack.
class RecursionLevel : Pinned {
 public:
  RecursionLevel() {
    if (Py_EnterRecursiveCall(" while calling a Python object")) throw PyError{};
  }
  ~RecursionLevel() { Py_LeaveRecursiveCall(); }
};

// One level of a recursion that the interpreter counts and that a count of
// its own, per thread and per `Site`, caps at `Cap` levels as well: a raised
// interpreter limit must not let a deep structure or a loop of lookups
// exhaust the C stack. `Site` names the place (`Site::what`, as in
// " while rendering a mapper element"). A level made with `counted` false
// counts nothing.
template <class Site, int Cap = 1000>
class CappedRecursion : Pinned {
 public:
  explicit CappedRecursion(bool counted = true) : counted_(counted) {
    if (!counted_) return;
    if (level_ >= Cap) {
      PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", Site::what);
      throw PyError{};
    }
    if (Py_EnterRecursiveCall(Site::what)) throw PyError{};
    ++level_;
  }
  ~CappedRecursion() {
    if (!counted_) return;
    --level_;
    Py_LeaveRecursiveCall();
  }

 private:
  static thread_local int level_;
  bool counted_;
};
template <class Site, int Cap>
thread_local int CappedRecursion<Site, Cap>::level_ = 0;

// Runs `body` and turns a thrown C++ exception into a NULL/-1 result.
template <class F>
PyObject* guard(F&& body) noexcept {
  try {
    return body().release();
  } catch (...) {
    translate_exception();
    return nullptr;
  }
}

}  // namespace wisp

namespace wisp {

// While a module's body runs it is in sys.modules under its full name, as a
// Python module is while it executes (dataclasses and typing look string
// annotations up there). Taken out again when the body fails.
class WISP_API ModuleInSys : Pinned {
 public:
  explicit ModuleInSys(Borrowed module);
  ~ModuleInSys();
  void keep() { keep_ = true; }

 private:
  Ref name_;
  bool keep_ = false;
};

// Creates a single-phase module and runs `body(globals)` to bind its names
// in order. Any exception becomes a NULL return with the Python error set,
// as module init functions report failure.
template <class F>
PyObject* init_module(PyModuleDef* def, F&& body) noexcept {
  try {
    Ref m = Ref::check(PyModule_Create(def));
    ModuleInSys registered(m);
    body(Borrowed(PyModule_GetDict(m.get())));
    registered.keep();
    return m.release();
  } catch (...) {
    translate_exception();
    return nullptr;
  }
}

// A module's table of interned names, made once before its body runs
// (WISP_MODULE makes it) and kept for the life of the process; every module
// has one, named `names`, and reads `names->text`:
//
//     struct Names {
//       PyObject *text = intern("text"), *params = intern("params");
//     };
//     const Names* names;
//
// A module of several sources declares it in the header they share.
template <class T>
void make_names(const T*& names) {
  if (!names) names = new T();  // kept for the life of the process
}
inline void make_names(std::nullptr_t) {}

}  // namespace wisp

// One module's definition and entry point, declared at namespace scope:
//
//     WISP_MODULE(eval_funcs, names, g) {
//       ... bind the module's names into g, in order ...
//     }
//
// defines the module's PyModuleDef and PyInit_eval_funcs, makes the name
// table `names` (or nothing, for `nullptr`) and runs the body through
// init_module with the module namespace as `g`.
#define WISP_MODULE(name, names, globals)                                                      \
  static void wisp_module_body_(::wisp::Borrowed globals);                                     \
  static PyModuleDef wisp_module_def_ = {                                                      \
      PyModuleDef_HEAD_INIT, #name, nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr}; \
  PyMODINIT_FUNC PyInit_##name() {                                                             \
    return ::wisp::init_module(&wisp_module_def_, [](::wisp::Borrowed g) {                     \
      ::wisp::make_names(names);                                                               \
      wisp_module_body_(g);                                                                    \
    });                                                                                        \
  }                                                                                            \
  static void wisp_module_body_(::wisp::Borrowed globals)
