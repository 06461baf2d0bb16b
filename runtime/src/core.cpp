#include <cstdarg>
#include <new>
#include <stdexcept>
#include <vector>

#include "wisp/rt.h"

namespace wisp {

void throw_error() {
  if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, "wisp: error return without exception set");
  }
  throw PyError{};
}

Ref str(const char* utf8) {
  return Ref::check(PyUnicode_FromString(utf8));
}
Ref str(const std::string& utf8) {
  return str(utf8.data(), Py_ssize_t(utf8.size()));
}
Ref str(const char* utf8, Py_ssize_t len) {
  return Ref::check(PyUnicode_FromStringAndSize(utf8, len));
}

Ref str_of(Borrowed o) {
  return Ref::check(PyObject_Str(o));
}

PyObject* intern(const char* utf8) {
  // One reference per distinct text, held by this dict for the life of the
  // process (an interned string is not necessarily immortal).
  static PyObject* kept = nullptr;
  if (!kept) kept = Ref::check(PyDict_New()).release();
  Ref s = Ref::check(PyUnicode_InternFromString(utf8));
  PyObject* held = PyDict_SetDefault(kept, s.get(), s.get());
  if (!held) throw_error();
  return held;
}

Ref getattr(Borrowed o, Borrowed name) {
  return Ref::check(PyObject_GetAttr(o, name));
}
Ref getattr(Borrowed o, const char* name) {
  return Ref::check(PyObject_GetAttrString(o, name));
}

Ref attribute_or_null(PyObject* result) {
  if (!result) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
    PyErr_Clear();
  }
  return Ref::steal(result);
}

Ref getattr_opt(Borrowed o, Borrowed name) {
  return attribute_or_null(PyObject_GetAttr(o, name));
}

void setattr(Borrowed o, Borrowed name, Borrowed value) {
  check(PyObject_SetAttr(o, name, value));
}
void setattr(Borrowed o, const char* name, Borrowed value) {
  check(PyObject_SetAttrString(o, name, value));
}

Ref weak_target(Borrowed ref) {
#if PY_VERSION_HEX >= 0x030D0000
  PyObject* o = nullptr;
  if (PyWeakref_GetRef(ref, &o) < 0) throw_error();
  return Ref::steal(o);
#else
  PyObject* o = PyWeakref_GetObject(ref);
  if (!o) throw_error();
  return o == Py_None ? Ref() : Ref::borrow(o);
#endif
}

Ref call(Borrowed f) {
  return Ref::check(PyObject_CallNoArgs(f));
}

Ref call(Borrowed f, std::initializer_list<PyObject*> args) {
  return Ref::check(
      PyObject_Vectorcall(f, const_cast<PyObject**>(args.begin()), args.size(), nullptr));
}

Ref call_kw(Borrowed f, std::initializer_list<PyObject*> args, Borrowed kwnames) {
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames.get()) : 0;
  return Ref::check(PyObject_Vectorcall(f, const_cast<PyObject**>(args.begin()),
                                        Py_ssize_t(args.size()) - nkw, kwnames));
}

Ref call_method(Borrowed o, Borrowed name, std::initializer_list<PyObject*> args) {
  // PyObject_VectorcallMethod wants the receiver in slot 0.
  PyObject* stack[8];
  if (args.size() > 7) throw std::length_error("call_method: too many arguments");
  stack[0] = o;
  size_t i = 1;
  for (PyObject* a : args) stack[i++] = a;
  return Ref::check(
      PyObject_VectorcallMethod(name, stack, i | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref call_method_kw(Borrowed o, Borrowed name, std::initializer_list<PyObject*> args,
                   Borrowed kwnames) {
  PyObject* stack[12];
  if (args.size() > 11) throw std::length_error("call_method_kw: too many arguments");
  stack[0] = o;
  size_t i = 1;
  for (PyObject* a : args) stack[i++] = a;
  size_t npos = i - size_t(PyTuple_GET_SIZE(kwnames.get()));
  return Ref::check(
      PyObject_VectorcallMethod(name, stack, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

Ref names_tuple(std::initializer_list<const char*> names) {
  Ref t = Ref::check(PyTuple_New(Py_ssize_t(names.size())));
  Py_ssize_t i = 0;
  for (const char* n : names) PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(intern(n)));
  return t;
}

Ref call_kwargs(Borrowed f, std::initializer_list<PyObject*> args, std::initializer_list<Kw> kw) {
  Ref kwnames = Ref::check(PyTuple_New(Py_ssize_t(kw.size())));
  std::vector<PyObject*> stack(args.begin(), args.end());
  Py_ssize_t i = 0;
  for (const Kw& k : kw) {
    PyTuple_SET_ITEM(kwnames.get(), i++, Py_NewRef(intern(k.name)));
    stack.push_back(k.value);
  }
  return Ref::check(
      PyObject_Vectorcall(f, stack.data(), args.size(), kw.size() ? kwnames.get() : nullptr));
}

Ref import(const char* module) {
  return Ref::check(PyImport_ImportModule(module));
}

Ref import_attr(const char* module, const char* name) {
  Ref m = import(module);
  return getattr(m, name);
}

bool truthy(Borrowed o) {
  return check(PyObject_IsTrue(o)) != 0;
}

Ref tuple(std::initializer_list<PyObject*> items) {
  Ref t = Ref::check(PyTuple_New(Py_ssize_t(items.size())));
  Py_ssize_t i = 0;
  for (PyObject* it : items) {
    Py_INCREF(it);
    PyTuple_SET_ITEM(t.get(), i++, it);
  }
  return t;
}

Ref new_list(Py_ssize_t n) {
  return Ref::check(PyList_New(n));
}
Ref new_dict() {
  return Ref::check(PyDict_New());
}
void list_append(Borrowed list, Borrowed item) {
  check(PyList_Append(list, item));
}
void dict_set(Borrowed d, Borrowed key, Borrowed value) {
  check(PyDict_SetItem(d, key, value));
}
void dict_set(Borrowed d, const char* key, Borrowed value) {
  check(PyDict_SetItemString(d, key, value));
}

Borrowed dict_get(Borrowed d, Borrowed key) {
  PyObject* v = PyDict_GetItemWithError(d, key);
  if (!v && PyErr_Occurred()) throw_error();
  return v;
}

Ref dict_get_ref(Borrowed d, Borrowed key) {
#if PY_VERSION_HEX >= 0x030D0000
  PyObject* v = nullptr;
  check(PyDict_GetItemRef(d, key, &v));
  return Ref::steal(v);
#else
  // The key's __eq__ may run code, but the value is taken before anything
  // else can: the reference is added right after the lookup returns.
  PyObject* v = PyDict_GetItemWithError(d, key);
  if (!v && PyErr_Occurred()) throw_error();
  return Ref::borrow(v);
#endif
}

Ref concat(std::initializer_list<PyObject*> parts) {
  Ref sep = Ref::check(PyUnicode_New(0, 0));
  Ref t = tuple(parts);
  return Ref::check(PyUnicode_Join(sep.get(), t.get()));
}

std::string_view utf8(Borrowed s) {
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(s, &n);
  if (!p) throw_error();
  return std::string_view(p, size_t(n));
}

void raise(PyObject* exc_type, const char* msg) {
  PyErr_SetString(exc_type, msg);
  throw PyError{};
}

void raise(PyObject* exc_type, Borrowed msg) {
  PyErr_SetObject(exc_type, msg);
  throw PyError{};
}

void raise_format(PyObject* exc_type, const char* fmt, ...) {
  va_list va;
  va_start(va, fmt);
  PyErr_FormatV(exc_type, fmt, va);
  va_end(va);
  throw PyError{};
}

Ref fetch_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return Ref::steal(PyErr_GetRaisedException());
#else
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  if (!type) return Ref();
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return Ref::steal(value);
#endif
}

void restore_exception(Ref exc) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc.release());
#else
  PyObject* value = exc.release();
  PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value)));
  PyObject* tb = PyException_GetTraceback(value);
  PyErr_Restore(type, value, tb);
#endif
}

HandlingScope::HandlingScope(Borrowed exc) : saved_(PyErr_GetHandledException()) {
  PyErr_SetHandledException(exc);
}

HandlingScope::~HandlingScope() {
  PyErr_SetHandledException(saved_);
  Py_XDECREF(saved_);
}

void chain_context(Borrowed raised, Borrowed exc) {
  if (!raised || !exc || raised.get() == exc.get()) return;
  Ref existing = Ref::steal(PyException_GetContext(raised));
  if (existing) return;
  // Break a loop: if `raised` is already in exc's context chain, cut it
  // out there (the chain is walked with a second, slower pointer so that a
  // loop made elsewhere cannot hang us).
  Ref o = Ref::borrow(exc.get());
  Ref slow = o;
  bool advance_slow = false;
  for (;;) {
    Ref ctx = Ref::steal(PyException_GetContext(o.get()));
    if (!ctx) break;
    if (ctx.get() == raised.get()) {
      PyException_SetContext(o.get(), nullptr);
      break;
    }
    o = std::move(ctx);
    if (o.get() == slow.get()) break;
    if (advance_slow) slow = Ref::steal(PyException_GetContext(slow.get()));
    advance_slow = !advance_slow;
  }
  PyException_SetContext(raised, Py_NewRef(exc.get()));
}

void add_note_to_current(Borrowed note) {
  Ref exc = fetch_exception();
  if (!exc) return;
  PyObject* add_note = intern("add_note");
  PyObject* args[2] = {exc.get(), note.get()};
  PyObject* r =
      PyObject_VectorcallMethod(add_note, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
  if (!r) {
    // Keep the original exception rather than the failure to annotate it.
    PyErr_Clear();
  }
  Py_XDECREF(r);
  restore_exception(std::move(exc));
}

void expect_exact(Borrowed value, PyTypeObject* type) {
  if (value.get() == Py_None || Py_TYPE(value.get()) == type) return;
  raise_format(PyExc_TypeError, "Expected %s, got %.200s", type->tp_name,
               Py_TYPE(value.get())->tp_name);
}

ModuleInSys::ModuleInSys(Borrowed module) {
  name_ = Ref::check(PyModule_GetNameObject(module));
  check(PyDict_SetItem(PyImport_GetModuleDict(), name_.get(), module));
}

ModuleInSys::~ModuleInSys() {
  if (keep_) return;
  // Runs while an exception propagates: keep it, whatever removal does.
  Ref exc = fetch_exception();
  if (PyDict_DelItem(PyImport_GetModuleDict(), name_.get()) < 0) PyErr_Clear();
  if (exc) restore_exception(std::move(exc));
}

void translate_exception() noexcept {
  try {
    throw;
  } catch (const PyError&) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "wisp: error return without exception set");
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "wisp: unknown C++ exception");
  }
}

}  // namespace wisp
