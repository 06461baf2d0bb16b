// wisp.wisp: binding a call's arguments to parameter names (see wisp_args.h).
#include "wisp_args.h"

#include "wisp_facade.h"

namespace wisp::facade {

namespace {

LazyRef s_empty;

struct ArgNames {
  PyObject* parameters = intern("parameters");
  PyObject* dflt = intern("default");
  PyObject* annotation = intern("annotation");
  PyObject* empty = intern("empty");
};
const ArgNames* A;

const ArgNames& names() {
  if (!A) A = new ArgNames();  // kept for the life of the process
  return *A;
}

// `annotation == Page` taken by its truth value. A string or a plain class
// compared with a plain class is an identity test, answered without a call.
bool is_page_annotation(Borrowed annotation, Borrowed page_cls) {
  bool plain_page = Py_TYPE(page_cls.get()) == &PyType_Type;
  if (plain_page && annotation.get() == page_cls.get()) return true;
  PyTypeObject* t = Py_TYPE(annotation.get());
  if (plain_page && (t == &PyUnicode_Type || t == &PyType_Type)) return false;
  Ref page = Ref::borrow(page_cls.get());  // held: == may run Python code
  return truthy(Ref::check(PyObject_RichCompare(annotation, page.get(), Py_EQ)));
}

}  // namespace

Borrowed empty_marker() {
  return s_empty.get([] { return getattr(import_attr("inspect", "Parameter"), names().empty); });
}

Ref parameter_plan(Borrowed signature) {
  const ArgNames& n = names();
  Ref parameters = getattr(signature, n.parameters);
  Ref plan = new_list();
  for_each_item(parameters, [&](Borrowed name, Borrowed param) {
    Ref held = Ref::borrow(param.get());
    Ref dflt = getattr(held, n.dflt);
    Ref annotation = getattr(held, n.annotation);
    list_append(plan, tuple({name.get(), dflt.get(), annotation.get()}));
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
    if (!PyTuple_CheckExact(entry) || PyTuple_GET_SIZE(entry) != 3) {
      raise(PyExc_TypeError, "bind_call: each parameter is a (name, default, annotation) tuple");
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
      if (is_page_annotation(annotation, page_type)) continue;
      dict_set(out.params, name, value);
      continue;
    }
    if (is_page_annotation(annotation, page_type) ||
        check(PyObject_IsInstance(value.get(), page_type.get()))) {
      out.page = std::move(value);
    } else {
      dict_set(out.params, name, value);
    }
  }
  return out;
}

bool has_missing(Borrowed values) {
  Borrowed empty = empty_marker();
  bool found = false;
  for_each_item(values, [&](Borrowed, Borrowed value) {
    if (value.get() == empty.get()) found = true;
  });
  return found;
}

void refuse_missing(Borrowed binds) {
  Borrowed empty = empty_marker();
  for_each_item(binds, [&](Borrowed key, Borrowed value) {
    if (value.get() != empty.get()) return;
    PyErr_Format(PyExc_TypeError, "missing a required argument: %R", key.get());
    throw PyError{};
  });
}

}  // namespace wisp::facade
