// wisp.wisp: binding a call's arguments to parameter names (see binding.h).
#include "binding.h"

#include "facade.h"

namespace wisp::facade {

namespace {

LazyRef s_empty;

// A plan entry: (name, default, annotation, kind).
constexpr Py_ssize_t kEntrySize = 4;

// inspect's numbers for the kinds of parameters.
enum ParamKind : long {
  kPositionalOnly,
  kPositionalOrKeyword,
  kVarPositional,
  kKeywordOnly,
  kVarKeyword
};

// The kind of a plan entry, which is checked to be one.
ParamKind kind_of(PyObject* entry) {
  if (!PyTuple_CheckExact(entry) || PyTuple_GET_SIZE(entry) != kEntrySize) {
    raise(PyExc_TypeError, "each parameter is a (name, default, annotation, kind) tuple");
  }
  long kind = PyLong_AsLong(PyTuple_GET_ITEM(entry, 3));
  if (kind == -1 && PyErr_Occurred()) throw_error();
  return ParamKind(kind);
}

// What a call is checked against: the counts the interpreter's messages use.
struct Accepts {
  Py_ssize_t positional = 0;  // positional parameters
  Py_ssize_t defaults = 0;    // of which have a default
  bool var_positional = false, var_keyword = false;
};

Accepts accepts_of(Borrowed plan) {
  Accepts accepts;
  Borrowed empty = empty_marker();
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(plan.get()); ++i) {
    PyObject* entry = PyTuple_GET_ITEM(plan.get(), i);
    switch (kind_of(entry)) {
      case kPositionalOnly:
      case kPositionalOrKeyword:
        ++accepts.positional;
        if (PyTuple_GET_ITEM(entry, 1) != empty.get()) ++accepts.defaults;
        break;
      case kVarPositional:
        accepts.var_positional = true;
        break;
      case kVarKeyword:
        accepts.var_keyword = true;
        break;
      default:
        break;
    }
  }
  return accepts;
}

// The plan entry of the parameter named `key`, or null.
PyObject* entry_named(Borrowed plan, Borrowed key) {
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(plan.get()); ++i) {
    PyObject* entry = PyTuple_GET_ITEM(plan.get(), i);
    PyObject* name = PyTuple_GET_ITEM(entry, 0);
    if (name == key.get()) return entry;
    if (PyUnicode_Check(name) && PyUnicode_Check(key.get()) && PyUnicode_Compare(name, key) == 0) {
      return entry;
    }
  }
  return nullptr;
}

// The name the interpreter shows for a function: its qualified name.
Ref display_name(Borrowed func) {
  for (PyObject* attr : {names->qualname, names->dunder_name}) {
    Ref name = getattr_opt(func, attr);
    if (name && PyUnicode_Check(name.get())) return name;
  }
  return str(Py_TYPE(func.get())->tp_name);
}

}  // namespace

Borrowed empty_marker() {
  return s_empty.get(
      [] { return getattr(import_attr("inspect", "Parameter"), names->empty_attr); });
}

Ref parameter_plan(Borrowed signature) {
  Ref parameters = getattr(signature, names->parameters);
  Ref plan = new_list();
  for_each_item(parameters, [&](Borrowed name, Borrowed param) {
    Ref held = Ref::borrow(param.get());
    Ref dflt = getattr(held, names->default_);
    Ref annotation = getattr(held, names->annotation);
    Ref kind = Ref::check(PyNumber_Long(getattr(held, names->kind).get()));
    list_append(plan, tuple({name.get(), dflt.get(), annotation.get(), kind.get()}));
  });
  return Ref::check(PyList_AsTuple(plan.get()));
}

BoundCall bind_call(Borrowed plan, Borrowed args, Borrowed kwargs, Borrowed page_cls) {
  if (!PyTuple_CheckExact(plan.get()) || !PyTuple_CheckExact(args.get())) {
    raise(PyExc_TypeError, "bind_call: a parameter plan and an argument tuple are required");
  }
  Ref held_plan = Ref::borrow(plan.get()), held_args = Ref::borrow(args.get());
  Ref held_kwargs = Ref::borrow(kwargs.get());
  Ref page_type = Ref::borrow(page_cls.get());
  Borrowed empty = empty_marker();
  BoundCall out{new_dict(), none()};
  Py_ssize_t n_args = PyTuple_GET_SIZE(args.get());
  bool any_kwargs = held_kwargs && (!PyDict_CheckExact(held_kwargs.get()) ||
                                    PyDict_GET_SIZE(held_kwargs.get()) != 0);
  for (Py_ssize_t index = 0; index < PyTuple_GET_SIZE(held_plan.get()); ++index) {
    PyObject* entry = PyTuple_GET_ITEM(held_plan.get(), index);
    if (!PyTuple_CheckExact(entry) || PyTuple_GET_SIZE(entry) != kEntrySize) {
      raise(PyExc_TypeError, "each parameter is a (name, default, annotation, kind) tuple");
    }
    Borrowed name = PyTuple_GET_ITEM(entry, 0);
    Borrowed annotation = PyTuple_GET_ITEM(entry, 2);
    Ref value;
    if (index < n_args) {
      value = Ref::borrow(PyTuple_GET_ITEM(held_args.get(), index));
    } else if (any_kwargs) {
      value = item_if_present(held_kwargs, name);
    }
    if (!value) value = Ref::borrow(PyTuple_GET_ITEM(entry, 1));
    if (value.get() == empty.get()) {
      if (equals(annotation, page_type)) continue;
      dict_set(out.params, name, value);
      continue;
    }
    if (equals(annotation, page_type) || check(PyObject_IsInstance(value.get(), page_type.get()))) {
      out.page = std::move(value);
    } else {
      dict_set(out.params, name, value);
    }
  }
  return out;
}

void refuse_surplus(Borrowed plan, Borrowed args, Borrowed kwargs, Borrowed func) {
  if (!PyTuple_CheckExact(plan.get()) || !PyTuple_CheckExact(args.get())) {
    raise(PyExc_TypeError, "refuse_surplus: a parameter plan and an argument tuple are required");
  }
  Ref held_plan = Ref::borrow(plan.get());
  Py_ssize_t n_kwargs = kwargs ? PyObject_Length(kwargs) : 0;
  if (n_kwargs < 0) throw_error();
  Accepts accepts = accepts_of(held_plan);
  Py_ssize_t given = PyTuple_GET_SIZE(args.get());
  if (n_kwargs == 0 && (accepts.var_positional || given <= accepts.positional)) return;

  Py_ssize_t kwonly_given = 0;
  if (n_kwargs) {
    for_each_item(kwargs, [&](Borrowed key, Borrowed) {
      PyObject* entry = entry_named(held_plan, key);
      if (!entry && !accepts.var_keyword) raise_unexpected_keyword(display_name(func), key);
      if (entry && kind_of(entry) == kKeywordOnly) ++kwonly_given;
    });
  }
  if (accepts.var_positional || given <= accepts.positional) return;
  // A bound method's plan leaves out the self it is bound to; the
  // interpreter counts it among the parameters and among the arguments.
  Py_ssize_t implicit = PyMethod_Check(func.get()) ? 1 : 0;
  raise_too_many_positional(display_name(func), accepts.positional + implicit, accepts.defaults,
                            given + implicit, kwonly_given);
}

bool has_missing(Borrowed values) {
  Borrowed empty = empty_marker();
  bool found = false;
  for_each_item(values, [&](Borrowed, Borrowed value) {
    if (value.get() == empty.get()) found = true;
  });
  return found;
}

void raise_missing(Borrowed name) {
  PyErr_Format(PyExc_TypeError, "missing a required argument: %R", name.get());
  throw PyError{};
}

void refuse_missing(Borrowed binds) {
  Borrowed empty = empty_marker();
  for_each_item(binds, [&](Borrowed key, Borrowed value) {
    if (value.get() == empty.get()) raise_missing(key);
  });
}

}  // namespace wisp::facade
