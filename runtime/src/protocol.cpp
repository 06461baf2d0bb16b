#include "wisp/protocol.h"

#include <array>
#include <cstdint>

#include "wisp/function.h"

namespace wisp {

namespace {

// `name` in the namespace of the class `base` itself, or null.
Ref own_attribute(PyTypeObject* base, Borrowed name) {
#if PY_VERSION_HEX >= 0x030C0000
  Ref dict = Ref::check(PyType_GetDict(base));
#else
  Ref dict = Ref::borrow(base->tp_dict);
#endif
  return dict ? dict_get_ref(dict, name) : Ref();
}

// The type's attribute `name`, found along its MRO after position `skip`
// (nothing skipped for -1), as the interpreter looks up special methods:
// instance dicts and the metaclass play no part.
Ref lookup_on_type(PyTypeObject* type, Borrowed name, Py_ssize_t skip = -1) {
  Ref mro = Ref::borrow(type->tp_mro);
  Py_ssize_t n = mro ? PyTuple_GET_SIZE(mro.get()) : 0;
  for (Py_ssize_t i = skip + 1; i < n; ++i) {
    auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.get(), i));
    if (Ref found = own_attribute(base, name)) return found;
  }
  return Ref();
}

// Whether a special method found on the type is called with the object as
// its first argument (a plain function), rather than bound first.
bool binds_like_function(Borrowed attr) {
  return PyFunction_Check(attr.get()) || is_function(attr) ||
         (Py_TYPE(attr.get())->tp_flags & Py_TPFLAGS_METHOD_DESCRIPTOR);
}

Ref bind(Borrowed attr, Borrowed obj) {
  descrgetfunc get = Py_TYPE(attr.get())->tp_descr_get;
  if (!get) return Ref::borrow(attr.get());
  return Ref::check(get(attr, obj, reinterpret_cast<PyObject*>(Py_TYPE(obj.get()))));
}

[[noreturn]] void not_a_context_manager(Borrowed mgr, bool missed_exit) {
  PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol%s",
               Py_TYPE(mgr.get())->tp_name, missed_exit ? " (missed __exit__ method)" : "");
  throw PyError{};
}

}  // namespace

// ---------------------------------------------------------------------------
// with

With::With(Borrowed mgr) : mgr_(Ref::borrow(mgr.get())) {
  PyTypeObject* type = Py_TYPE(mgr.get());
  Ref enter = lookup_on_type(type, intern("__enter__"));
  if (!enter) not_a_context_manager(mgr, false);
  exit_ = lookup_on_type(type, intern("__exit__"));
  if (!exit_) not_a_context_manager(mgr, true);
  exit_unbound_ = binds_like_function(exit_);
  if (!exit_unbound_) exit_ = bind(exit_, mgr_);
  value_ = binds_like_function(enter) ? call(enter, {mgr_.get()}) : call(bind(enter, mgr_));
}

Ref With::call_exit(PyObject* type, PyObject* value, PyObject* tb) {
  if (exit_unbound_) return call(exit_, {mgr_.get(), type, value, tb});
  return call(exit_, {type, value, tb});
}

int With::traverse(visitproc visit, void* arg) const {
  Py_VISIT(mgr_.get());
  Py_VISIT(exit_.get());
  Py_VISIT(value_.get());
  return 0;
}

void With::exit() {
  call_exit(Py_None, Py_None, Py_None);
}

bool With::exit(Ref& exc) {
  bool suppressed = false;
  bool failed = false;
  {
    // __exit__ runs while the exception is being handled: what it raises
    // gets `exc` as its context, and sys.exc_info() shows it.
    HandlingScope handling(exc);
    try {
      Ref tb = Ref::steal(PyException_GetTraceback(exc.get()));
      PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc.get()));
      Ref r = call_exit(type, exc.get(), tb ? tb.get() : Py_None);
      suppressed = truthy(r);
    } catch (...) {
      translate_exception();
      failed = true;
    }
  }
  if (failed) {
    Ref raised = fetch_exception();
    chain_context(raised, exc);
    exc = std::move(raised);
    return false;
  }
  return suppressed;
}

// ---------------------------------------------------------------------------
// Context variables

Ref contextvar_get(Borrowed var) {
  if (PyContextVar_CheckExact(var.get())) {
    PyObject* value = nullptr;
    check(PyContextVar_Get(var, nullptr, &value));
    if (!value) {
      PyErr_SetObject(PyExc_LookupError, var);
      throw PyError{};
    }
    return Ref::steal(value);
  }
  return call_method(var, intern("get"), {});
}

Ref contextvar_get(Borrowed var, Borrowed default_value) {
  if (PyContextVar_CheckExact(var.get())) {
    PyObject* value = nullptr;
    check(PyContextVar_Get(var, default_value, &value));
    return Ref::steal(value);
  }
  return call_method(var, intern("get"), {default_value.get()});
}

Ref contextvar_set(Borrowed var, Borrowed value) {
  if (PyContextVar_CheckExact(var.get())) return Ref::check(PyContextVar_Set(var, value));
  return call_method(var, intern("set"), {value.get()});
}

void contextvar_reset(Borrowed var, Borrowed token) {
  if (PyContextVar_CheckExact(var.get())) {
    check(PyContextVar_Reset(var, token));
    return;
  }
  call_method(var, intern("reset"), {token.get()});
}

// ---------------------------------------------------------------------------
// Attributes

namespace {

LazyRef s_object_getattribute;

Borrowed object_getattribute_slot() {
  return s_object_getattribute.get(
      [] { return lookup_on_type(&PyBaseObject_Type, intern("__getattribute__")); });
}

}  // namespace

Ref super_object(Borrowed cls, Borrowed obj) {
  return call(reinterpret_cast<PyObject*>(&PySuper_Type), {cls.get(), obj.get()});
}

namespace {

PyObject* name_getattribute() {
  // Made once: interning costs a string and a lookup per call otherwise.
  static PyObject* s = nullptr;
  if (!s) s = intern("__getattribute__");
  return s;
}

// The __getattribute__ that super(cls, self) reaches: the first one after
// `cls` along type(self).__mro__. Null when that is object's own (the
// generic lookup); `*other` is false when super() itself must answer (cls
// not in the MRO, or a __getattribute__ that does not bind like a function).
Ref next_getattribute(Borrowed cls, Borrowed mro, bool* other) {
  *other = true;
  Py_ssize_t n = mro && PyType_Check(cls.get()) ? PyTuple_GET_SIZE(mro.get()) : 0;
  Py_ssize_t at = 0;
  while (at < n && PyTuple_GET_ITEM(mro.get(), at) != cls.get()) ++at;
  // `cls` is in the MRO, so self is an instance of it. object's namespace
  // cannot change: reaching object means its own.
  for (Py_ssize_t i = at + 1; i < n; ++i) {
    auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.get(), i));
    if (base == &PyBaseObject_Type) break;
    Ref found = own_attribute(base, name_getattribute());
    if (!found) continue;
    if (found.get() == object_getattribute_slot().get()) break;
    if (!binds_like_function(found)) return Ref();
    *other = false;
    return found;
  }
  *other = at >= n;
  return Ref();
}

// What super_getattribute and super_finds_method work out from the type
// alone, kept per (type, cls, name) for as long as the type keeps its
// version tag: the interpreter drops a type's tag, and its subclasses', on
// any change of their namespaces or bases, and never gives a tag twice, so a
// kept answer is never read for a type that changed or for another type at
// the same address. A few entries, indexed by the pointers; cls and name are
// held.
class TypeOnlyAnswers {
 public:
  // 1 or 0 when known, -1 otherwise.
  int find(PyTypeObject* type, PyObject* cls, PyObject* name) const {
    unsigned tag = 0;
    if (!version_of(type, &tag)) return -1;
    const Entry& e = entries_[slot(type, name)];
    if (e.type != type || e.tag != tag || e.cls.get() != cls || e.name.get() != name) return -1;
    return e.answer;
  }
  // The type's tag now, 0 when it has none.
  static unsigned tag_of(PyTypeObject* type) {
    unsigned tag = 0;
    return version_of(type, &tag) ? tag : 0;
  }
  // Keeps an answer worked out while the type had the tag `tag` (code run
  // meanwhile may have changed it, and then nothing is kept).
  void keep(PyTypeObject* type, unsigned tag, PyObject* cls, PyObject* name, bool answer) {
    if (tag == 0 || tag_of(type) != tag) return;
    Entry& e = entries_[slot(type, name)];
    Ref old_cls = std::move(e.cls), old_name = std::move(e.name);  // released after the update
    e = Entry{type, tag, Ref::borrow(cls), Ref::borrow(name), answer};
  }

 private:
  struct Entry {
    PyTypeObject* type = nullptr;
    unsigned tag = 0;
    Ref cls, name;
    bool answer = false;
  };
  static bool version_of(PyTypeObject* type, unsigned* tag) {
#ifdef Py_GIL_DISABLED
    (void)type, (void)tag;
    return false;
#else
#if PY_VERSION_HEX < 0x030D0000
    // Before 3.13 a flag says whether the tag is valid; from 3.13 on a tag is
    // valid when it is not 0.
    if (!(type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG)) return false;
#endif
    if (type->tp_version_tag == 0) return false;
    *tag = type->tp_version_tag;
    return true;
#endif
  }
  static size_t slot(PyTypeObject* type, PyObject* name) {
    auto h = reinterpret_cast<uintptr_t>(type) ^ (reinterpret_cast<uintptr_t>(name) >> 4);
    return (h ^ (h >> 9)) % kSize;
  }
  static constexpr size_t kSize = 64;
  std::array<Entry, kSize> entries_;
};

// Never destroyed: entries may hold references at interpreter exit.
TypeOnlyAnswers& type_only_answers() {
  static auto* answers = new TypeOnlyAnswers();
  return *answers;
}

// Whether the __getattribute__ that super(cls, self) reaches is the generic
// lookup, kept per (type, cls).
TypeOnlyAnswers& generic_lookup_answers() {
  static auto* answers = new TypeOnlyAnswers();
  return *answers;
}

}  // namespace

Ref super_getattribute(Borrowed cls, Borrowed self, Borrowed name) {
  PyTypeObject* type = Py_TYPE(self.get());
  if (generic_lookup_answers().find(type, cls, name_getattribute()) == 1) {
    return Ref::check(PyObject_GenericGetAttr(self, name));
  }
  Ref held = Ref::borrow(reinterpret_cast<PyObject*>(type));
  unsigned tag = TypeOnlyAnswers::tag_of(type);
  Ref mro = Ref::borrow(type->tp_mro);
  bool other = false;
  Ref next = next_getattribute(cls, mro, &other);
  generic_lookup_answers().keep(type, tag, cls, name_getattribute(), !next && !other);
  if (next) return call(next, {self.get(), name.get()});
  if (!other) return Ref::check(PyObject_GenericGetAttr(self, name));
  // Everything else exactly as super() does it, errors included.
  return call_method(super_object(cls, self), name_getattribute(), {name.get()});
}

namespace {

// Whether the generic lookup is what super(cls, self) reaches and finds a
// plain function for `name` on the type.
bool type_gives_method(Borrowed cls, PyTypeObject* type, Borrowed name) {
  Ref mro = Ref::borrow(type->tp_mro);
  bool other = false;
  if (next_getattribute(cls, mro, &other) || other) return false;
  // What the generic lookup finds on the type, without its cache: the first
  // class along the MRO that holds the name.
  Ref found = lookup_on_type(type, name);
  // A plain function binds to self with no other effect.
  return found && (PyFunction_Check(found.get()) || is_function(found));
}

}  // namespace

bool super_finds_method(Borrowed cls, Borrowed self, Borrowed name) {
  if (!PyUnicode_CheckExact(name.get())) return false;
  PyTypeObject* type = Py_TYPE(self.get());
  int known = type_only_answers().find(type, cls, name);
  if (known < 0) {
    Ref held = Ref::borrow(reinterpret_cast<PyObject*>(type));
    unsigned tag = TypeOnlyAnswers::tag_of(type);
    bool answer = type_gives_method(cls, type, name);
    type_only_answers().keep(type, tag, cls, name, answer);
    known = answer;
  }
  if (!known) return false;
  // The plain function is what the lookup returns unless the instance's own
  // __dict__ holds the name.
  Ref dict = attribute_or_null(PyObject_GenericGetDict(self, nullptr));
  if (!dict || !PyDict_Check(dict.get())) return false;
  return !dict_get_ref(dict, name);
}

Ref object_getattribute(Borrowed self, Borrowed name) {
  return Ref::check(PyObject_GenericGetAttr(self, name));
}

Ref object_getattribute_opt(Borrowed self, Borrowed name) {
  return attribute_or_null(PyObject_GenericGetAttr(self, name));
}

void object_setattr(Borrowed self, Borrowed name, Borrowed value) {
  check(PyObject_GenericSetAttr(self, name, value));
}

// ---------------------------------------------------------------------------
// Iteration

Ref iterate(Borrowed iterable) {
  return Ref::check(PyObject_GetIter(iterable));
}

Ref iter_next(Borrowed iterator) {
  PyObject* item = PyIter_Next(iterator);
  if (!item && PyErr_Occurred()) throw_error();
  return Ref::steal(item);
}

Ref call_spread(Borrowed fn, Borrowed mapping) {
  Ref no_args = Ref::check(PyTuple_New(0));
  if (PyDict_CheckExact(mapping.get())) {
    return Ref::check(PyObject_Call(fn, no_args.get(), mapping));
  }
  Ref kwargs = new_dict();
  if (PyDict_Merge(kwargs.get(), mapping, 1) < 0) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "%.200s argument after ** must be a mapping, not %.200s",
                   Py_TYPE(fn.get())->tp_name, Py_TYPE(mapping.get())->tp_name);
    }
    throw PyError{};
  }
  return Ref::check(PyObject_Call(fn, no_args.get(), kwargs.get()));
}

Ref first_value(Borrowed mapping) {
  Ref value;
  if (PyDict_CheckExact(mapping.get())) {
    Py_ssize_t pos = 0;
    PyObject *key, *item;
    if (PyDict_Next(mapping.get(), &pos, &key, &item)) value = Ref::borrow(item);
  } else {
    value = iter_next(iterate(call_method(mapping, intern("values"), {})));
  }
  if (!value) {
    PyErr_SetNone(PyExc_StopIteration);
    throw PyError{};
  }
  return value;
}

void unpack(Borrowed value, Ref* out, Py_ssize_t n) {
  Ref held = Ref::borrow(value.get());
  if ((PyTuple_CheckExact(held.get()) || PyList_CheckExact(held.get())) &&
      Py_SIZE(held.get()) == n) {
    bool is_tuple = PyTuple_CheckExact(held.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
      out[i] =
          Ref::borrow(is_tuple ? PyTuple_GET_ITEM(held.get(), i) : PyList_GET_ITEM(held.get(), i));
    }
    return;
  }
  Ref it = Ref::steal(PyObject_GetIter(held.get()));
  if (!it) {
    PyTypeObject* type = Py_TYPE(held.get());
    if (PyErr_ExceptionMatches(PyExc_TypeError) && !type->tp_iter &&
        !PySequence_Check(held.get())) {
      PyErr_Clear();
      raise_format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", type->tp_name);
    }
    throw_error();
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    out[i] = iter_next(it);
    if (!out[i]) {
      raise_format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)", n, i);
    }
  }
  if (!iter_next(it)) return;
#if PY_VERSION_HEX >= 0x030E0000
  if (PyList_CheckExact(held.get()) || PyTuple_CheckExact(held.get()) ||
      PyDict_CheckExact(held.get())) {
    Py_ssize_t len =
        PyDict_CheckExact(held.get()) ? PyDict_GET_SIZE(held.get()) : Py_SIZE(held.get());
    if (len > n) {
      raise_format(PyExc_ValueError, "too many values to unpack (expected %zd, got %zd)", n, len);
    }
  }
#endif
  raise_format(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
}

// ---------------------------------------------------------------------------
// Items and comparisons

Ref getitem(Borrowed container, Borrowed key) {
  if (PyDict_CheckExact(container.get())) {
    Ref value = dict_get_ref(container, key);
    if (value) return value;
    // As the dict words it: a tuple key stays one argument.
    PyErr_SetObject(PyExc_KeyError, tuple({key.get()}).get());
    throw PyError{};
  }
  return Ref::check(PyObject_GetItem(container, key));
}

Ref mapping_get(Borrowed mapping, Borrowed key, Borrowed default_value) {
  if (PyDict_CheckExact(mapping.get())) {
    Ref value = dict_get_ref(mapping, key);
    return value ? value : Ref::borrow(default_value.get());
  }
  return call_method(mapping, intern("get"), {key.get(), default_value.get()});
}

namespace {

bool str_or_class(PyObject* o) {
  return PyUnicode_CheckExact(o) || PyType_CheckExact(o);
}

// The answer to `a == b` when it is known without a call: 1 or 0, else -1.
int known_equal(PyObject* a, PyObject* b) {
  if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) {
    return a == b || PyUnicode_Compare(a, b) == 0 ? 1 : 0;
  }
  if (str_or_class(a) && str_or_class(b)) return a == b ? 1 : 0;
  return -1;
}

bool compare(Borrowed a, Borrowed b, int op) {
  Ref left = Ref::borrow(a.get()), right = Ref::borrow(b.get());  // held: __eq__ runs code
  return truthy(Ref::check(PyObject_RichCompare(left.get(), right.get(), op)));
}

}  // namespace

bool equals(Borrowed a, Borrowed b) {
  int known = known_equal(a, b);
  return known >= 0 ? known == 1 : compare(a, b, Py_EQ);
}

bool not_equals(Borrowed a, Borrowed b) {
  int known = known_equal(a, b);
  return known >= 0 ? known == 0 : compare(a, b, Py_NE);
}

// ---------------------------------------------------------------------------
// Functions

namespace {

LazyRef s_get_instructions;

// The instructions that carry no work of the body: the frame set-up every
// function starts with, and padding.
bool set_up_only(std::string_view op) {
  return op == "RESUME" || op == "NOP" || op == "CACHE" || op == "COPY_FREE_VARS" ||
         op == "MAKE_CELL" || op == "EXTENDED_ARG";
}

}  // namespace

bool declared_by_signature_only(Borrowed func, bool coroutine) {
  Ref fn = Ref::borrow(func.get());
  if (PyMethod_Check(fn.get())) {
    fn = Ref::borrow(PyMethod_GET_FUNCTION(fn.get()));
  } else if (Py_IS_TYPE(fn.get(), &PyStaticMethod_Type) ||
             Py_IS_TYPE(fn.get(), &PyClassMethod_Type)) {
    fn = getattr(fn, "__func__");
  }
  if (!PyFunction_Check(fn.get())) return false;
  Ref code = Ref::borrow(PyFunction_GET_CODE(fn.get()));
  const int flags = reinterpret_cast<PyCodeObject*>(code.get())->co_flags;
  const bool is_coroutine = (flags & CO_COROUTINE) != 0;
  if ((flags & (CO_GENERATOR | CO_ASYNC_GENERATOR | CO_ITERABLE_COROUTINE)) ||
      (is_coroutine && !coroutine)) {
    return false;
  }
  // A body that names anything (a global, an attribute, a module) does
  // something: known without listing the instructions.
  Ref names_used = getattr(code, intern("co_names"));
  if (!PyTuple_Check(names_used.get()) || PyTuple_GET_SIZE(names_used.get()) > 0) return false;
  // What is left after the set-up is either RETURN_CONST None (3.12, 3.13)
  // or LOAD_CONST None, RETURN_VALUE (3.11, 3.14).
  Borrowed get_instructions =
      s_get_instructions.get([] { return import_attr("dis", "get_instructions"); });
  Ref it = iterate(call(get_instructions, {code.get()}));
  PyObject* opname = intern("opname");
  PyObject* argval = intern("argval");
  // 0: nothing yet, 1: None loaded, 2: None returned; a coroutine's code
  // then holds the handler that turns a StopIteration into RuntimeError
  // (3: its first instruction seen, 4: all of it).
  int step = 0;
  while (Ref ins = iter_next(it)) {
    Ref name = getattr(ins, opname);
    if (!PyUnicode_Check(name.get())) return false;
    std::string_view op = utf8(name);
    if (set_up_only(op)) continue;
    if (is_coroutine && step == 0 && (op == "RETURN_GENERATOR" || op == "POP_TOP")) continue;
    if (is_coroutine && step == 2 && op == "CALL_INTRINSIC_1") {
      step = 3;
    } else if (is_coroutine && step == 3 && op == "RERAISE") {
      step = 4;
    } else if (step == 0 && (op == "RETURN_CONST" || op == "LOAD_CONST")) {
      if (getattr(ins, argval).get() != Py_None) return false;
      step = op == "RETURN_CONST" ? 2 : 1;
    } else if (step == 1 && op == "RETURN_VALUE") {
      step = 2;
    } else {
      return false;
    }
  }
  return step == 2 || step == 4;
}

}  // namespace wisp
