#include "wisp/generator.h"

namespace wisp {

GenBody::~GenBody() = default;

Step GenBody::resume_throw(Ref exc) {
  restore_exception(std::move(exc));
  throw PyError{};
}

// ---------------------------------------------------------------------------
// ContextBody

void ContextBody::fail(Ref exc) {
  restore_exception(std::move(exc));
  throw PyError{};
}

Step ContextBody::resume(Borrowed) {
  if (state_ == 0) {
    Ref value = enter();
    state_ = 1;
    return Step::yield(std::move(value));
  }
  state_ = 2;
  try {
    on_success();
  } catch (...) {
    translate_exception();
    Ref exc = fetch_exception();
    if (PyObject_TypeCheck(exc.get(), reinterpret_cast<PyTypeObject*>(PyExc_Exception))) {
      while_handling(exc, [&] { on_error(exc); });
    }
    while_handling(exc, [&] { on_finally(); });
    fail(std::move(exc));
  }
  on_finally();
  return Step::finish();
}

Step ContextBody::resume_throw(Ref exc) {
  state_ = 2;
  if (PyObject_TypeCheck(exc.get(), reinterpret_cast<PyTypeObject*>(PyExc_Exception))) {
    Ref held = exc;
    while_handling(exc, [&] { on_error(held); });
  }
  while_handling(exc, [&] { on_finally(); });
  fail(std::move(exc));
}

// ---------------------------------------------------------------------------
// The generator object

namespace {

enum class GenState { Created, Suspended, Running, Finished };

struct GeneratorObject {
  PyObject_HEAD GenBody* body;
  GenState state;
  PyObject* name;
  PyObject* qualname;
  PyObject* weakreflist;
};

GeneratorObject* as_gen(PyObject* o) {
  return reinterpret_cast<GeneratorObject*>(o);
}

void release_body(GeneratorObject* g) {
  GenBody* b = g->body;
  g->body = nullptr;
  delete b;
}

// Outcome of one step: a yielded value, or completion (value in `ret`), or
// an error already set.
enum class Outcome { Yielded, Returned, Error };

Outcome run(GeneratorObject* g, Ref* out, bool throwing, Ref exc, Borrowed sent) {
  if (g->state == GenState::Running) {
    PyErr_SetString(PyExc_ValueError, "generator already executing");
    return Outcome::Error;
  }
  g->state = GenState::Running;
  try {
    Step s = throwing ? g->body->resume_throw(std::move(exc)) : g->body->resume(sent);
    *out = std::move(s.value);
    if (s.done) {
      g->state = GenState::Finished;
      release_body(g);
      return Outcome::Returned;
    }
    g->state = GenState::Suspended;
    return Outcome::Yielded;
  } catch (...) {
    translate_exception();
    g->state = GenState::Finished;
    release_body(g);
    // A StopIteration escaping the body would end iteration silently.
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
      Ref cause = fetch_exception();
      PyErr_SetString(PyExc_RuntimeError, "generator raised StopIteration");
      Ref err = fetch_exception();
      PyException_SetCause(err.get(), Py_NewRef(cause.get()));
      PyException_SetContext(err.get(), cause.release());
      restore_exception(std::move(err));
    }
    return Outcome::Error;
  }
}

void set_stop_iteration(Ref value) {
  if (value.get() == Py_None) {
    PyErr_SetNone(PyExc_StopIteration);
    return;
  }
  Ref exc = Ref::steal(PyObject_CallOneArg(PyExc_StopIteration, value.get()));
  if (exc) PyErr_SetObject(PyExc_StopIteration, exc.get());
}

PyObject* gen_send_impl(GeneratorObject* g, PyObject* value, bool is_next) {
  if (g->state == GenState::Finished) {
    if (!is_next) PyErr_SetNone(PyExc_StopIteration);
    return nullptr;
  }
  if (g->state == GenState::Created && value != Py_None) {
    PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
    return nullptr;
  }
  Ref out;
  switch (run(g, &out, false, Ref(), value)) {
    case Outcome::Yielded:
      return out.release();
    case Outcome::Returned:
      if (!is_next || out.get() != Py_None) set_stop_iteration(std::move(out));
      return nullptr;
    default:
      return nullptr;
  }
}

PyObject* gen_iternext(PyObject* self) {
  return gen_send_impl(as_gen(self), Py_None, true);
}

PyObject* gen_send(PyObject* self, PyObject* value) {
  return gen_send_impl(as_gen(self), value, false);
}

// Builds the exception object for throw(typ[, val[, tb]]) as the
// interpreter does.
Ref make_thrown(PyObject* typ, PyObject* val, PyObject* tb) {
  if (tb == Py_None) tb = nullptr;
  if (tb && !PyTraceBack_Check(tb)) {
    raise(PyExc_TypeError, "throw() third argument must be a traceback object");
  }
  Ref exc;
  if (PyExceptionClass_Check(typ)) {
    if (val && PyObject_TypeCheck(val, reinterpret_cast<PyTypeObject*>(typ))) {
      exc = Ref::borrow(val);
    } else if (!val || val == Py_None) {
      exc = Ref::check(PyObject_CallNoArgs(typ));
    } else if (PyTuple_Check(val)) {
      exc = Ref::check(PyObject_Call(typ, val, nullptr));
    } else {
      exc = Ref::check(PyObject_CallOneArg(typ, val));
    }
    if (!PyExceptionInstance_Check(exc.get())) {
      raise_format(PyExc_TypeError,
                   "calling %R should have returned an instance of BaseException, not %s", typ,
                   Py_TYPE(exc.get())->tp_name);
    }
  } else if (PyExceptionInstance_Check(typ)) {
    if (val && val != Py_None) {
      raise(PyExc_TypeError, "instance exception may not have a separate value");
    }
    exc = Ref::borrow(typ);
  } else {
    raise_format(PyExc_TypeError,
                 "exceptions must be classes or instances deriving from BaseException, not %s",
                 Py_TYPE(typ)->tp_name);
  }
  if (tb) check(PyException_SetTraceback(exc.get(), tb));
  return exc;
}

PyObject* gen_throw_exc(GeneratorObject* g, Ref exc) {
  if (g->state != GenState::Suspended) {
    if (g->state == GenState::Running) {
      PyErr_SetString(PyExc_ValueError, "generator already executing");
      return nullptr;
    }
    // Not started, or finished: the exception comes straight out.
    g->state = GenState::Finished;
    release_body(g);
    restore_exception(std::move(exc));
    return nullptr;
  }
  Ref out;
  switch (run(g, &out, true, std::move(exc), Py_None)) {
    case Outcome::Yielded:
      return out.release();
    case Outcome::Returned:
      set_stop_iteration(std::move(out));
      return nullptr;
    default:
      return nullptr;
  }
}

PyObject* gen_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs < 1 || nargs > 3) {
    PyErr_Format(PyExc_TypeError, "throw expected at %s, got %zd",
                 nargs < 1 ? "least 1 argument" : "most 3 arguments", nargs);
    return nullptr;
  }
  PyObject* exc = guard([&] {
    return make_thrown(args[0], nargs > 1 ? args[1] : nullptr, nargs > 2 ? args[2] : nullptr);
  });
  if (!exc) return nullptr;
  return gen_throw_exc(as_gen(self), Ref::steal(exc));
}

PyObject* gen_close(PyObject* self, PyObject*) {
  GeneratorObject* g = as_gen(self);
  if (g->state == GenState::Created || g->state == GenState::Finished) {
    g->state = GenState::Finished;
    release_body(g);
    Py_RETURN_NONE;
  }
  PyObject* exc = PyObject_CallNoArgs(PyExc_GeneratorExit);
  if (!exc) return nullptr;
  PyObject* r = gen_throw_exc(g, Ref::steal(exc));
  if (r) {
    Py_DECREF(r);
    PyErr_SetString(PyExc_RuntimeError, "generator ignored GeneratorExit");
    return nullptr;
  }
  if (PyErr_ExceptionMatches(PyExc_GeneratorExit) || PyErr_ExceptionMatches(PyExc_StopIteration)) {
    PyErr_Clear();
    Py_RETURN_NONE;
  }
  return nullptr;
}

void gen_finalize(PyObject* self) {
  GeneratorObject* g = as_gen(self);
  if (g->state != GenState::Suspended) return;
  Ref saved = fetch_exception();
  PyObject* r = gen_close(self, nullptr);
  if (r) {
    Py_DECREF(r);
  } else {
    PyErr_WriteUnraisable(self);
  }
  if (saved) restore_exception(std::move(saved));
}

int gen_traverse(PyObject* self, visitproc visit, void* arg) {
  GeneratorObject* g = as_gen(self);
  Py_VISIT(g->name);
  Py_VISIT(g->qualname);
  if (g->body) return g->body->traverse(visit, arg);
  return 0;
}

int gen_clear(PyObject* self) {
  GeneratorObject* g = as_gen(self);
  // A running body is on the C stack; it is released when it returns.
  if (g->state != GenState::Running) {
    g->state = GenState::Finished;
    release_body(g);
  }
  return 0;
}

void gen_dealloc(PyObject* self) {
  GeneratorObject* g = as_gen(self);
  PyObject_GC_UnTrack(self);
  if (g->weakreflist) PyObject_ClearWeakRefs(self);
  // The finaliser runs Python code that may store the generator somewhere
  // (resurrect it); it must then be an ordinary tracked object again.
  PyObject_GC_Track(self);
  if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
  PyObject_GC_UnTrack(self);
  release_body(g);
  Py_CLEAR(g->name);
  Py_CLEAR(g->qualname);
  PyObject_GC_Del(self);
}

PyObject* gen_repr(PyObject* self) {
  return PyUnicode_FromFormat("<generator object %U at %p>", as_gen(self)->qualname, self);
}

PyObject* gen_get_name(PyObject* self, void*) {
  return Py_NewRef(as_gen(self)->name);
}
PyObject* gen_get_qualname(PyObject* self, void*) {
  return Py_NewRef(as_gen(self)->qualname);
}
PyObject* gen_get_running(PyObject* self, void*) {
  return PyBool_FromLong(as_gen(self)->state == GenState::Running);
}
PyObject* gen_get_suspended(PyObject* self, void*) {
  return PyBool_FromLong(as_gen(self)->state == GenState::Suspended);
}

PyGetSetDef gen_getset[] = {
    {"__name__", gen_get_name, nullptr, nullptr, nullptr},
    {"__qualname__", gen_get_qualname, nullptr, nullptr, nullptr},
    {"gi_running", gen_get_running, nullptr, nullptr, nullptr},
    {"gi_suspended", gen_get_suspended, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef gen_methods[] = {
    {"send", gen_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(gen_throw)), METH_FASTCALL,
     nullptr},
    {"close", gen_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject make_generator_type() {
  PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
  t.tp_name = "wisp.generator";
  t.tp_basicsize = sizeof(GeneratorObject);
  t.tp_dealloc = gen_dealloc;
  t.tp_repr = gen_repr;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
  t.tp_traverse = gen_traverse;
  t.tp_clear = gen_clear;
  t.tp_weaklistoffset = offsetof(GeneratorObject, weakreflist);
  t.tp_iter = PyObject_SelfIter;
  t.tp_iternext = gen_iternext;
  t.tp_methods = gen_methods;
  t.tp_getset = gen_getset;
  t.tp_finalize = gen_finalize;
  return t;
}

}  // namespace

PyTypeObject GeneratorType = make_generator_type();

Ref new_generator(std::unique_ptr<GenBody> body, Borrowed name, Borrowed qualname) {
  if (!(GeneratorType.tp_flags & Py_TPFLAGS_READY)) check(PyType_Ready(&GeneratorType));
  GeneratorObject* g = PyObject_GC_New(GeneratorObject, &GeneratorType);
  if (!g) throw_error();
  g->body = body.release();
  g->state = GenState::Created;
  g->name = Py_NewRef(name.get());
  g->qualname = Py_NewRef(qualname ? qualname.get() : name.get());
  g->weakreflist = nullptr;
  PyObject_GC_Track(reinterpret_cast<PyObject*>(g));
  return Ref::steal(reinterpret_cast<PyObject*>(g));
}

}  // namespace wisp
