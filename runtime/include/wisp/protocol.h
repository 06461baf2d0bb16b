// wisp runtime: the interpreter's protocols, driven from C++ with the
// interpreter's semantics and messages.
//
//   with          `with mgr as value: body` (special-method lookup on the
//                 type, __exit__ with the exception in flight, suppression,
//                 chaining)
//   ContextVar    var.get() / var.set(value), exact-type fast path
//   attributes    super(cls, self).__getattribute__(name),
//                 object.__getattribute__ / object.__setattr__
//   iteration     for item in iterable, for key, value in mapping.items(),
//                 a, b = value
//   items         key in container, container[key], mapping.get(key, default)
//   comparisons   a == b and a != b by their truth value, with one rule for
//                 identity
//   functions     whether a function is declared by its signature alone
#pragma once

#include <array>
#include <utility>

#include "wisp/rt.h"

namespace wisp {

// ---------------------------------------------------------------------------
// with

// One `with` block, entered by the constructor:
//
//     With block(mgr);              // type(mgr).__enter__(mgr)
//     ... block.value() ...         // what __enter__ returned
//     block.exit();                 // __exit__(None, None, None)
//
// or, with an exception `exc` in flight, `block.exit(exc)`, which returns
// true when __exit__ suppressed it; otherwise `exc` is what propagates (the
// same object, or one __exit__ raised, chained to it). Prefer `with()`
// below, which does both.
class WISP_API With {
 public:
  explicit With(Borrowed mgr);
  With(const With&) = delete;
  With& operator=(const With&) = delete;

  Borrowed value() const { return value_; }
  void exit();
  bool exit(Ref& exc);
  // Visits what the block holds, for an object that keeps it open across
  // calls (a generator suspended inside the block).
  int traverse(visitproc visit, void* arg) const;

 private:
  Ref call_exit(PyObject* type, PyObject* value, PyObject* tb);
  Ref mgr_;
  Ref exit_;                   // the attribute found on the type
  bool exit_unbound_ = false;  // a function: called with mgr first
  Ref value_;
};

// `with mgr as value: return body(value)`. Returns the body's result, or a
// null Ref when __exit__ suppressed the body's exception (the code after
// the block runs on, as in Python).
template <class F>
Ref with(Borrowed mgr, F&& body) {
  With block(mgr);
  Ref result;
  try {
    result = body(block.value());
  } catch (...) {
    translate_exception();
    Ref exc = fetch_exception();
    if (block.exit(exc)) return Ref();
    restore_exception(std::move(exc));
    throw PyError{};
  }
  block.exit();
  return result;
}

// ---------------------------------------------------------------------------
// Context variables

// var.get(): the value in the current context, else the variable's default;
// LookupError when it has neither.
WISP_API Ref contextvar_get(Borrowed var);
// var.get(default)
WISP_API Ref contextvar_get(Borrowed var, Borrowed default_value);
// var.set(value); returns the token.
WISP_API Ref contextvar_set(Borrowed var, Borrowed value);
// var.reset(token)
WISP_API void contextvar_reset(Borrowed var, Borrowed token);

// ---------------------------------------------------------------------------
// Attributes

// super(cls, obj), for calls such as super(cls, obj).__init_subclass__().
WISP_API Ref super_object(Borrowed cls, Borrowed obj);
// super(cls, self).__getattribute__(name): the next __getattribute__ after
// `cls` in type(self).__mro__, taken straight to the generic lookup when
// that is object's own.
WISP_API Ref super_getattribute(Borrowed cls, Borrowed self, Borrowed name);
// Whether super(cls, self).__getattribute__(name) is certain to give a
// method bound to self, with no other effect: the lookup is the generic
// one, finds a plain function on the type, and the instance's __dict__ does
// not hold the name. For a caller that needs to know only that, and so can
// skip making the bound method; false means "do the lookup".
WISP_API bool super_finds_method(Borrowed cls, Borrowed self, Borrowed name);
// object.__getattribute__(self, name)
WISP_API Ref object_getattribute(Borrowed self, Borrowed name);
// The same, with a null Ref when the attribute is missing (AttributeError,
// and only that, cleared).
WISP_API Ref object_getattribute_opt(Borrowed self, Borrowed name);
// object.__setattr__(self, name, value)
WISP_API void object_setattr(Borrowed self, Borrowed name, Borrowed value);
// Whether `method` is `function` bound to `self`: what `self.<name>` gives
// while neither the class nor the instance has replaced its own function.
inline bool bound_to(Borrowed method, PyObject* function, Borrowed self) {
  return PyMethod_Check(method.get()) && PyMethod_GET_FUNCTION(method.get()) == function &&
         PyMethod_GET_SELF(method.get()) == self.get();
}

// ---------------------------------------------------------------------------
// Iteration

// iter(iterable), with the interpreter's message for a non-iterable.
WISP_API Ref iterate(Borrowed iterable);
// next(it): null at the end (StopIteration is not raised).
WISP_API Ref iter_next(Borrowed iterator);

// fn(**mapping), with the interpreter's message for a mapping that is not
// one. An exact dict is passed as it is (the call copies it).
WISP_API Ref call_spread(Borrowed fn, Borrowed mapping);

// next(iter(mapping.values())): StopIteration when the mapping is empty. An
// exact dict is read directly.
WISP_API Ref first_value(Borrowed mapping);

// a, b, ... = value: fills out[0..n) with the interpreter's messages
// ("cannot unpack non-iterable ...", "not enough values to unpack ...",
// "too many values to unpack ..."). Exact tuples and lists of the right
// size take the fast path.
WISP_API void unpack(Borrowed value, Ref* out, Py_ssize_t n);

template <size_t N>
std::array<Ref, N> unpack(Borrowed value) {
  std::array<Ref, N> out;
  unpack(value, out.data(), Py_ssize_t(N));
  return out;
}

// for item in iterable: fn(Borrowed item). An exact list is walked by index
// (it may change under `fn`, as a list iterator allows), an exact tuple
// directly; anything else through iter().
template <class F>
void for_each(Borrowed iterable, F&& fn) {
  Ref held = Ref::borrow(iterable.get());
  if (PyList_CheckExact(held.get())) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(held.get()); ++i) {
      Ref item = Ref::borrow(PyList_GET_ITEM(held.get(), i));
      fn(Borrowed(item));
    }
    return;
  }
  if (PyTuple_CheckExact(held.get())) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(held.get()); ++i) {
      fn(Borrowed(PyTuple_GET_ITEM(held.get(), i)));
    }
    return;
  }
  Ref it = iterate(held);
  while (Ref item = iter_next(it)) fn(Borrowed(item));
}

// for key, value in mapping.items(): fn(Borrowed key, Borrowed value). An
// exact dict is walked directly and raises the interpreter's RuntimeError
// when `fn` changes its size.
template <class F>
void for_each_item(Borrowed mapping, F&& fn) {
  Ref held = Ref::borrow(mapping.get());
  if (PyDict_CheckExact(held.get())) {
    Py_ssize_t pos = 0, size = PyDict_GET_SIZE(held.get());
    PyObject *k, *v;
    while (PyDict_Next(held.get(), &pos, &k, &v)) {
      Ref key = Ref::borrow(k), value = Ref::borrow(v);
      fn(Borrowed(key), Borrowed(value));
      if (PyDict_GET_SIZE(held.get()) != size) {
        raise(PyExc_RuntimeError, "dictionary changed size during iteration");
      }
    }
    return;
  }
  Ref items = call_method(held, intern("items"), {});
  for_each(items, [&](Borrowed pair) {
    auto kv = unpack<2>(pair);
    fn(Borrowed(kv[0]), Borrowed(kv[1]));
  });
}

// ---------------------------------------------------------------------------
// Items

// `key in container`
inline bool contains(Borrowed container, Borrowed key) {
  if (PyDict_CheckExact(container.get())) return check(PyDict_Contains(container, key)) != 0;
  return check(PySequence_Contains(container, key)) != 0;
}

// container[key]; for an exact dict, the KeyError the dict raises.
WISP_API Ref getitem(Borrowed container, Borrowed key);

// container[key] when `key in container`, else null; one lookup for an
// exact dict.
inline Ref item_if_present(Borrowed container, Borrowed key) {
  if (PyDict_CheckExact(container.get())) return dict_get_ref(container, key);
  if (!contains(container, key)) return Ref();
  return getitem(container, key);
}

// mapping.get(key, default); an exact dict is read directly.
WISP_API Ref mapping_get(Borrowed mapping, Borrowed key, Borrowed default_value);

// ---------------------------------------------------------------------------
// Comparisons
//
// `a == b` and `a != b` taken by their truth value, as an `if` takes them.
// One rule for identity: the objects are asked, as Python asks them, except
// where the answer is known without a call: two exact str objects compare by
// their text; two classes whose metaclass is `type`, or such a class and an
// exact str, by identity (type's own __eq__; str's declines). Any other pair
// runs its __eq__ (or __ne__), even two references to one object, as the
// expression does.

WISP_API bool equals(Borrowed a, Borrowed b);
WISP_API bool not_equals(Borrowed a, Borrowed b);

// ---------------------------------------------------------------------------
// Functions

// Whether `func` (a Python function, or a method, static method or class
// method over one) is declared by its signature alone: its body is only
// `...`, `pass` and/or a docstring. Decided from the code object: the body
// returns None and does nothing else (so an explicit `return None` alone
// counts too). False for anything else, functions of this runtime included.
// An `async def` counts only with `coroutine` true (its code then may carry
// the frame set-up and the stop handler every coroutine has); generators
// never do.
WISP_API bool declared_by_signature_only(Borrowed func, bool coroutine = false);

}  // namespace wisp
