#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "wisp/function.h"

namespace wisp {

namespace {

// ---------------------------------------------------------------------------
// Argument checks

// The checks that stand for one builtin type, each with its type.
const std::pair<Check, PyTypeObject*> kCheckedTypes[] = {
    {Check::Str, &PyUnicode_Type}, {Check::Dict, &PyDict_Type}, {Check::List, &PyList_Type},
    {Check::Set, &PySet_Type},     {Check::Type, &PyType_Type}, {Check::Int, &PyLong_Type},
    {Check::Bool, &PyBool_Type}};

PyTypeObject* check_type(Check c) {
  for (auto [check, type] : kCheckedTypes) {
    if (check == c) return type;
  }
  return nullptr;
}

Check check_from_type(PyObject* ann) {
  for (auto [check, type] : kCheckedTypes) {
    if (ann == reinterpret_cast<PyObject*>(type)) return check;
  }
  return Check::Any;
}

// Reads a string annotation such as "str", "str | None" or "Optional[dict]".
Check check_from_text(std::string_view text, bool* nullable) {
  auto trim = [](std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
  };
  text = trim(text);
  if (text.size() > 10 && text.substr(0, 9) == "Optional[" && text.back() == ']') {
    *nullable = true;
    text = trim(text.substr(9, text.size() - 10));
  } else {
    size_t bar = text.find('|');
    if (bar != std::string_view::npos) {
      std::string_view a = trim(text.substr(0, bar)), b = trim(text.substr(bar + 1));
      if (b.find('|') != std::string_view::npos) return Check::Any;
      if (a == "None") std::swap(a, b);
      if (b != "None") return Check::Any;
      *nullable = true;
      text = a;
    }
  }
  if (text == "str") return Check::Str;
  if (text == "dict") return Check::Dict;
  if (text == "list") return Check::List;
  if (text == "set") return Check::Set;
  if (text == "type") return Check::Type;
  if (text == "int") return Check::Int;
  if (text == "bool") return Check::Bool;
  return Check::Any;
}

Check resolve_check(Check given, PyObject* ann, bool* nullable) {
  if (given != Check::Auto) return given;
  if (!ann) return Check::Any;
  if (PyUnicode_Check(ann)) return check_from_text(utf8(ann), nullable);
  // `X | None` written with real types.
  if (PyObject_TypeCheck(ann, &PyType_Type)) return check_from_type(ann);
  return Check::Any;
}

PyObject* s_note() {
  return intern(
      "wisp checks builtin argument types exactly: an instance of a subclass is refused, "
      "pass an instance of the builtin type itself");
}

}  // namespace

void raise_arg_type(Borrowed param_name, PyTypeObject* expected, Borrowed given) {
  PyErr_Format(PyExc_TypeError,
               "Argument '%.200U' has incorrect type (expected %.200s, got %.200s)",
               param_name.get(), expected->tp_name, Py_TYPE(given.get())->tp_name);
  if (PyObject_TypeCheck(given.get(), expected)) add_note_to_current(s_note());
  throw PyError{};
}

void raise_too_many_positional(Borrowed qualname, Py_ssize_t argcount, Py_ssize_t defcount,
                               Py_ssize_t given, Py_ssize_t kwonly_given) {
  Ref sig;
  bool plural;
  if (defcount) {
    plural = true;
    sig = Ref::check(PyUnicode_FromFormat("from %zd to %zd", argcount - defcount, argcount));
  } else {
    plural = argcount != 1;
    sig = Ref::check(PyUnicode_FromFormat("%zd", argcount));
  }
  Ref kwonly_sig;
  if (kwonly_given) {
    kwonly_sig = Ref::check(
        PyUnicode_FromFormat(" positional argument%s (and %zd keyword-only argument%s)",
                             given != 1 ? "s" : "", kwonly_given, kwonly_given != 1 ? "s" : ""));
  } else {
    kwonly_sig = str("");
  }
  PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd%U %s given",
               qualname.get(), sig.get(), plural ? "s" : "", given, kwonly_sig.get(),
               given == 1 && !kwonly_given ? "was" : "were");
  throw PyError{};
}

void raise_unexpected_keyword(Borrowed qualname, Borrowed key) {
  PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", qualname.get(),
               key.get());
  throw PyError{};
}

Ref check_arg(Borrowed name, Check check, bool nullable, Ref value) {
  switch (check) {
    case Check::Auto:
    case Check::Any:
      return value;
    case Check::Bool:
      return boolean(truthy(value));
    case Check::Int: {
      if (PyLong_CheckExact(value.get())) return value;
      if (value.get() == Py_None && nullable) return value;
      PyNumberMethods* nb = Py_TYPE(value.get())->tp_as_number;
      if (nb && (nb->nb_index || nb->nb_int)) return Ref::check(PyNumber_Long(value.get()));
      raise_arg_type(name, &PyLong_Type, value);
    }
    default: {
      PyTypeObject* t = check_type(check);
      if (Py_TYPE(value.get()) == t) return value;
      if (value.get() == Py_None && nullable) return value;
      raise_arg_type(name, t, value);
    }
  }
}

// ---------------------------------------------------------------------------
// Def: the builder

Def::Def(const char* name, Impl impl) : name_(name), impl_(impl) {}

Def& Def::doc(const char* text) {
  doc_ = text;
  return *this;
}

Def& Def::generator() {
  generator_ = true;
  return *this;
}

Def& Def::coroutine() {
  coroutine_ = true;
  return *this;
}

Def& Def::param(const char* name, Kind kind) {
  params_.push_back(P{name, kind, Ref(), Check::Auto, Ref()});
  return *this;
}

Def& Def::annotate(Borrowed annotation, Check c) {
  params_.back().annotation = Ref::borrow(annotation);
  params_.back().check = c;
  return *this;
}

Def& Def::annotate(const char* text, Check c) {
  return annotate(str(text), c);
}

Def& Def::def(Borrowed value) {
  params_.back().default_value = Ref::borrow(value);
  return *this;
}

Def& Def::returns(Borrowed annotation, Check c) {
  ret_annotation_ = Ref::borrow(annotation);
  ret_check_ = c;
  return *this;
}

Def& Def::returns(const char* text, Check c) {
  return returns(str(text), c);
}

Def& Def::qualname(const char* q) {
  qualname_ = q ? q : "";
  return *this;
}

Def& Def::qualname(std::string q) {
  qualname_ = std::move(q);
  return *this;
}

void Def::wrong_view(const char* param_name) {
  throw std::logic_error(std::string("wisp: parameter '") + param_name + "' of " + name_ +
                         "() names a member of another struct than its body reads");
}

namespace {

PyObject* entry_with_slots(PyObject* self, PyObject* const* args, size_t nargsf,
                           PyObject* kwnames) noexcept;

// A named view must hold exactly the parameters: every member a parameter,
// no two parameters in one member.
void check_view(const char* name, const std::vector<ParamInfo>& params, size_t frame_size) {
  std::vector<bool> used(frame_size / sizeof(Ref), false);
  bool ok = params.size() == used.size();
  for (const ParamInfo& p : params) {
    size_t i = p.offset / sizeof(Ref);
    if (!ok || p.offset % sizeof(Ref) != 0 || i >= used.size() || used[i]) {
      ok = false;
      break;
    }
    used[i] = true;
  }
  if (!ok) {
    throw std::logic_error(std::string("wisp: the argument struct of ") + name +
                           "() must hold exactly its parameters, one Ref each");
  }
}

}  // namespace

const Code* Def::code() {
  if (code_) return code_;
  auto owned = std::make_unique<Code>();
  Code* c = owned.get();
  c->name = intern(name_);
  c->qualname = Py_NewRef(qualname_.empty() ? c->name : intern(qualname_.c_str()));
  c->impl = impl_;
  c->entry = entry_ ? entry_ : entry_with_slots;
  c->doc = doc_;
  c->generator = generator_;
  c->coroutine = coroutine_;
  for (size_t i = 0; i < params_.size(); ++i) {
    P& p = params_[i];
    bool nullable = p.default_value.get() == Py_None;
    Check ck = resolve_check(p.check, p.annotation.get(), &nullable);
    if (entry_ && p.offset < 0) {
      throw std::logic_error(std::string("wisp: parameter '") + p.name + "' of " + name_ +
                             "() has no member in its body's argument struct");
    }
    auto offset = std::uint32_t(entry_ ? size_t(p.offset) : i * sizeof(Ref));
    c->params.push_back(ParamInfo{intern(p.name), p.kind, ck, nullable, offset});
    switch (p.kind) {
      case Kind::PosOnly:
        ++c->n_posonly;
        ++c->n_positional;
        break;
      case Kind::PosOrKw:
        ++c->n_positional;
        break;
      case Kind::KwOnly:
        ++c->n_kwonly;
        break;
      case Kind::VarPos:
        c->var_pos = Py_ssize_t(i);
        break;
      case Kind::VarKw:
        c->var_kw = Py_ssize_t(i);
        break;
    }
  }
  bool ret_nullable = true;
  Check rc = resolve_check(ret_check_, ret_annotation_.get(), &ret_nullable);
  // Only the exact-type builtins are enforced on return.
  c->ret_check = (rc == Check::Int || rc == Check::Bool) ? Check::Any : rc;
  if (entry_) check_view(name_, c->params, frame_size_);
  code_ = owned.release();  // shared by every function made from this Def, never freed
  return c;
}

Ref Def::build(Borrowed globals, Borrowed closure, Borrowed qualname) {
  const Code* c = code();
  // Defaults of positional parameters form __defaults__, keyword-only ones
  // __kwdefaults__, as the interpreter stores them.
  Ref defaults, kwdefaults;
  std::vector<PyObject*> pos_defaults;
  for (const P& p : params_) {
    if (!p.default_value) continue;
    if (p.kind == Kind::KwOnly) {
      if (!kwdefaults) kwdefaults = new_dict();
      dict_set(kwdefaults, p.name, p.default_value);
    } else {
      pos_defaults.push_back(p.default_value.get());
    }
  }
  if (!pos_defaults.empty()) {
    defaults = Ref::check(PyTuple_New(Py_ssize_t(pos_defaults.size())));
    for (size_t i = 0; i < pos_defaults.size(); ++i) {
      PyTuple_SET_ITEM(defaults.get(), Py_ssize_t(i), Py_NewRef(pos_defaults[i]));
    }
  }
  Ref annotations = new_dict();
  for (const P& p : params_) {
    if (p.annotation) dict_set(annotations, p.name, p.annotation);
  }
  if (ret_annotation_) dict_set(annotations, "return", ret_annotation_);
  Ref qn = qualname ? Ref::borrow(qualname) : Ref::borrow(c->qualname);
  return new_function(c, globals, qn, closure, defaults, kwdefaults, annotations);
}

Ref Def::nested(FunctionObject* outer) {
  if (!code_ && qualname_.empty()) {
    // Named once, after the definition that encloses it, as the compiler
    // names a nested def (a later change to outer's __qualname__ does not
    // rename it).
    qualname_ = std::string(utf8(outer->code->qualname)) + ".<locals>." + name_;
  }
  return build(outer->globals);
}

void Def::attach(Ref& f, void* values, const CaptureLayout* layout) {
  auto* fo = reinterpret_cast<FunctionObject*>(f.get());
  fo->captured = values;
  fo->captured_layout = layout;
}

Ref apply_wraps(Borrowed wraps, Borrowed wrapped, Borrowed wrapper) {
  Ref decorator = call(wraps, {wrapped.get()});
  return call(decorator, {wrapper.get()});
}

void detail::wrong_captures(FunctionObject* f) {
  PyErr_Format(PyExc_SystemError, "wisp: %U() reads captured values it was not made with",
               f->qualname);
  throw PyError{};
}

Ref Def::bind(Borrowed ns, Borrowed globals) {
  Ref f = build(globals);
  check(PyDict_SetItem(ns, code()->name, f.get()));
  return f;
}

// ---------------------------------------------------------------------------
// Name lookup as a function body does it

GlobalRef global(Borrowed globals, Borrowed name) {
  Ref v = dict_get_ref(globals, name);
  if (!v) v = dict_get_ref(PyEval_GetBuiltins(), name);
  if (v) return GlobalRef(std::move(v));
  PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
  throw PyError{};
}

GlobalRef global(FunctionObject* f, Borrowed name) {
  return global(f->globals, name);
}

bool global_is(FunctionObject* f, Borrowed name, Borrowed original) {
  Ref v = dict_get_ref(f->globals, name);
  if (!v) v = dict_get_ref(PyEval_GetBuiltins(), name);
  return v.get() == original.get();
}

void OriginalGlobals::watch(Borrowed globals, PyObject* name) {
  Ref value = dict_get_ref(globals, name);
  if (!value) value = dict_get_ref(PyEval_GetBuiltins(), name);
  if (!value) throw_error();
  watched_.push_back(Watched{Py_NewRef(globals.get()), name, value.release()});
}

bool OriginalGlobals::hold() const {
  PyObject* builtins = PyEval_GetBuiltins();
  for (const Watched& w : watched_) {
    PyObject* v = PyDict_GetItemWithError(w.globals, w.name);
    if (!v && !PyErr_Occurred()) v = PyDict_GetItemWithError(builtins, w.name);
    if (!v && PyErr_Occurred()) {
      PyErr_Clear();
      return false;
    }
    if (v != w.original) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Binding a call to the parameters

namespace {

Ref format_names(const std::vector<PyObject*>& names) {
  // 'a'  /  'a' and 'b'  /  'a', 'b', and 'c'  (the interpreter's wording)
  std::string out;
  size_t n = names.size();
  for (size_t i = 0; i < n; ++i) {
    if (i > 0) {
      if (n == 2) {
        out += " and ";
      } else if (i == n - 1) {
        out += ", and ";
      } else {
        out += ", ";
      }
    }
    out += "'";
    out += utf8(names[i]);
    out += "'";
  }
  return str(out);
}

[[noreturn]] void raise_missing(FunctionObject* f, const std::vector<PyObject*>& names,
                                const char* kind) {
  Ref list = format_names(names);
  PyErr_Format(PyExc_TypeError, "%U() missing %i required %s argument%s: %U", f->qualname,
               int(names.size()), kind, names.size() == 1 ? "" : "s", list.get());
  throw PyError{};
}

[[noreturn]] void raise_too_many(FunctionObject* f, Py_ssize_t given, Py_ssize_t kwonly_given) {
  Py_ssize_t defcount = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
  raise_too_many_positional(f->qualname, f->code->n_positional, defcount, given, kwonly_given);
}

Py_ssize_t find_param(const Code* c, PyObject* key) {
  const Py_ssize_t n = Py_ssize_t(c->params.size());
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (c->params[size_t(i)].name == key) return i;
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    int eq = PyObject_RichCompareBool(c->params[size_t(i)].name, key, Py_EQ);
    if (eq < 0) throw_error();
    if (eq) return i;
  }
  return -1;
}

constexpr size_t kInlineSlots = 12;

struct Slots {
  Ref inline_[kInlineSlots];
  std::vector<Ref> heap_;
  Ref* data;
  explicit Slots(size_t n) {
    if (n <= kInlineSlots) {
      data = inline_;
    } else {
      heap_.resize(n);
      data = heap_.data();
    }
  }
};

// The frame is the storage of the arguments: an array of Refs for array
// bodies, the body's argument struct for named views. Each parameter knows
// the offset of its Ref.
struct Frame {
  unsigned char* base;
  const Code* c;
  Ref& operator[](Py_ssize_t i) const {
    return *reinterpret_cast<Ref*>(base + c->params[size_t(i)].offset);
  }
};

// The argument checks, once every parameter is bound.
void check_arguments(const Code* c, const Frame& a) {
  const Py_ssize_t nparams = Py_ssize_t(c->params.size());
  for (Py_ssize_t i = 0; i < nparams; ++i) {
    const ParamInfo& p = c->params[size_t(i)];
    if (p.check == Check::Any || p.check == Check::Auto) continue;
    if (p.kind == Kind::VarPos || p.kind == Kind::VarKw) continue;
    a[i] = check_arg(p.name, p.check, p.nullable, std::move(a[i]));
  }
}

PyObject* entry_with_slots(PyObject* self, PyObject* const* args, size_t nargsf,
                           PyObject* kwnames) noexcept {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  return guard([&] {
    RecursionLevel level;
    Slots slots{f->code->params.size()};
    detail::bind_arguments(f, reinterpret_cast<unsigned char*>(slots.data), args, nargsf, kwnames);
    return detail::check_return(f, f->code->impl(f, slots.data));
  });
}

// A coroutine twin's call: the arguments bound as the target binds them,
// then handed on, as a call of the target would pass them, to the twin's
// start.
PyObject* twin_entry(PyObject* self, PyObject* const* args, size_t nargsf,
                     PyObject* kwnames) noexcept {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  return guard([&] {
    RecursionLevel level;
    const Code* c = f->code;
    Slots slots{c->params.size()};
    auto* base = reinterpret_cast<unsigned char*>(slots.data);
    detail::bind_arguments(f, base, args, nargsf, kwnames);
    auto slot = [&](const ParamInfo& p) -> Ref& { return *reinterpret_cast<Ref*>(base + p.offset); };
    Ref positional = new_list();
    Ref keywords = new_dict();
    for (const ParamInfo& p : c->params) {
      switch (p.kind) {
        case Kind::PosOnly:
        case Kind::PosOrKw:
          list_append(positional, slot(p));
          break;
        case Kind::VarPos:
          for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(slot(p).get()); ++i) {
            list_append(positional, PyTuple_GET_ITEM(slot(p).get(), i));
          }
          break;
        case Kind::KwOnly:
          dict_set(keywords, p.name, slot(p));
          break;
        case Kind::VarKw:
          check(PyDict_Update(keywords.get(), slot(p).get()));
          break;
      }
    }
    Ref call_args = Ref::check(PyList_AsTuple(positional.get()));
    Ref target = Ref::borrow(f->closure);  // held: the start runs Python code
    if (!target) raise(PyExc_SystemError, "wisp: a coroutine twin without its target");
    return c->start(f, target, call_args, keywords);
  });
}

}  // namespace

void detail::bind_arguments(FunctionObject* f, unsigned char* base, PyObject* const* args,
                            size_t nargsf, PyObject* kwnames) {
  const Code* c = f->code;
  const Py_ssize_t nparams = Py_ssize_t(c->params.size());
  const Py_ssize_t npos = PyVectorcall_NARGS(nargsf);
  Frame a{base, c};

  // The common call: every parameter given by position, nothing else.
  if (!kwnames && npos == nparams && c->n_positional == nparams) {
    for (Py_ssize_t i = 0; i < npos; ++i) a[i] = Ref::borrow(args[i]);
    check_arguments(c, a);
    return;
  }

  // Positional arguments.
  Py_ssize_t take = npos < c->n_positional ? npos : c->n_positional;
  for (Py_ssize_t i = 0; i < take; ++i) a[i] = Ref::borrow(args[i]);
  if (c->var_pos >= 0) {
    Py_ssize_t extra = npos - take;
    Ref t = Ref::check(PyTuple_New(extra));
    for (Py_ssize_t i = 0; i < extra; ++i) PyTuple_SET_ITEM(t.get(), i, Py_NewRef(args[take + i]));
    a[c->var_pos] = std::move(t);
  }
  if (c->var_kw >= 0) a[c->var_kw] = new_dict();

  // Keyword arguments.
  std::vector<PyObject*> posonly_as_kw;
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    PyObject* value = args[npos + k];
    if (!PyUnicode_Check(key))
      raise_format(PyExc_TypeError, "%U() keywords must be strings", f->qualname);
    Py_ssize_t i = find_param(c, key);
    Kind kind = i >= 0 ? c->params[size_t(i)].kind : Kind::VarKw;
    if (i < 0 || kind == Kind::VarPos || kind == Kind::VarKw || kind == Kind::PosOnly) {
      if (c->var_kw >= 0) {
        dict_set(a[c->var_kw], key, value);
        continue;
      }
      if (i >= 0 && kind == Kind::PosOnly) {
        posonly_as_kw.push_back(key);
        continue;
      }
      raise_unexpected_keyword(f->qualname, key);
    }
    if (a[i]) {
      PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", f->qualname, key);
      throw PyError{};
    }
    a[i] = Ref::borrow(value);
  }
  if (!posonly_as_kw.empty()) {
    Ref sep = str(", ");
    Ref lst = new_list();
    for (PyObject* k : posonly_as_kw) list_append(lst, k);
    Ref joined = Ref::check(PyUnicode_Join(sep.get(), lst.get()));
    PyErr_Format(PyExc_TypeError,
                 "%U() got some positional-only arguments passed as keyword arguments: '%U'",
                 f->qualname, joined.get());
    throw PyError{};
  }

  if (npos > c->n_positional && c->var_pos < 0) {
    Py_ssize_t kwonly_given = 0;
    for (Py_ssize_t i = 0; i < nparams; ++i) {
      if (c->params[size_t(i)].kind == Kind::KwOnly && a[i]) ++kwonly_given;
    }
    raise_too_many(f, npos, kwonly_given);
  }

  // Defaults, then the missing ones. The defaults tuple is held: an
  // argument check below may run code that replaces __defaults__.
  Ref defaults = Ref::borrow(f->defaults);
  Py_ssize_t ndef = defaults ? PyTuple_GET_SIZE(defaults.get()) : 0;
  Py_ssize_t first_def = c->n_positional - ndef;
  std::vector<PyObject*> missing;
  for (Py_ssize_t i = 0, pi = 0; i < nparams; ++i) {
    const ParamInfo& p = c->params[size_t(i)];
    if (p.kind != Kind::PosOnly && p.kind != Kind::PosOrKw) continue;
    if (!a[i]) {
      if (pi >= first_def) {
        a[i] = Ref::borrow(PyTuple_GET_ITEM(defaults.get(), pi - first_def));
      } else {
        missing.push_back(p.name);
      }
    }
    ++pi;
  }
  if (!missing.empty()) raise_missing(f, missing, "positional");
  Ref kwdefaults = Ref::borrow(f->kwdefaults);
  for (Py_ssize_t i = 0; i < nparams; ++i) {
    const ParamInfo& p = c->params[size_t(i)];
    if (p.kind != Kind::KwOnly || a[i]) continue;
    Ref d = kwdefaults ? dict_get_ref(kwdefaults, p.name) : Ref();
    if (d) {
      a[i] = std::move(d);
    } else {
      missing.push_back(p.name);
    }
  }
  if (!missing.empty()) raise_missing(f, missing, "keyword-only");

  check_arguments(c, a);
}

Ref detail::check_return(FunctionObject* f, Ref result) {
  const Code* c = f->code;
  if (c->ret_check != Check::Any && c->ret_check != Check::Auto) {
    expect_exact(result, check_type(c->ret_check));
  }
  return result;
}

namespace {

// ---------------------------------------------------------------------------
// Type slots and attributes

int function_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  Py_VISIT(f->globals);
  Py_VISIT(f->name);
  Py_VISIT(f->qualname);
  Py_VISIT(f->module);
  Py_VISIT(f->doc);
  Py_VISIT(f->dict);
  Py_VISIT(f->defaults);
  Py_VISIT(f->kwdefaults);
  Py_VISIT(f->annotations);
  Py_VISIT(f->closure);
  Py_VISIT(f->code_obj);
  Py_VISIT(f->type_params);
  if (f->captured) {
    auto* base = static_cast<unsigned char*>(f->captured);
    for (size_t off : f->captured_layout->offsets) {
      Py_VISIT(reinterpret_cast<Ref*>(base + off)->get());
    }
  }
  return 0;
}

int function_clear(PyObject* self) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  Py_CLEAR(f->globals);
  Py_CLEAR(f->module);
  Py_CLEAR(f->doc);
  Py_CLEAR(f->dict);
  Py_CLEAR(f->defaults);
  Py_CLEAR(f->kwdefaults);
  Py_CLEAR(f->annotations);
  Py_CLEAR(f->closure);
  Py_CLEAR(f->code_obj);
  Py_CLEAR(f->type_params);
  if (f->captured) {
    auto* base = static_cast<unsigned char*>(f->captured);
    for (size_t off : f->captured_layout->offsets) reinterpret_cast<Ref*>(base + off)->reset();
  }
  return 0;
}

void function_dealloc(PyObject* self) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  PyObject_GC_UnTrack(self);
  if (f->weakreflist) PyObject_ClearWeakRefs(self);
  function_clear(self);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  if (f->captured) {
    void* values = f->captured;
    f->captured = nullptr;
    f->captured_layout->destroy(values);
  }
  PyObject_GC_Del(self);
}

PyObject* function_repr(PyObject* self) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject* /*type*/) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

// The plain attributes: a field, the rule for what may be stored in it, and
// the name its error messages use. A missing value reads as None.
struct Attr {
  PyObject* FunctionObject::* field;
  const char* name;
  enum Rule : std::uint8_t { Str, Any, TupleOrNone, DictOrNone } rule;
};

const Attr a_name{&FunctionObject::name, "__name__", Attr::Str};
const Attr a_qualname{&FunctionObject::qualname, "__qualname__", Attr::Str};
const Attr a_doc{&FunctionObject::doc, "__doc__", Attr::Any};
const Attr a_module{&FunctionObject::module, "__module__", Attr::Any};
const Attr a_defaults{&FunctionObject::defaults, "__defaults__", Attr::TupleOrNone};
const Attr a_kwdefaults{&FunctionObject::kwdefaults, "__kwdefaults__", Attr::DictOrNone};
const Attr a_globals{&FunctionObject::globals, "__globals__", Attr::Any};

void* closure_of(const Attr& a) {
  return const_cast<Attr*>(&a);
}

PyObject* get_attr(PyObject* self, void* closure) {
  const Attr& a = *static_cast<const Attr*>(closure);
  PyObject* v = reinterpret_cast<FunctionObject*>(self)->*a.field;
  return Py_NewRef(v ? v : Py_None);
}

int set_attr(PyObject* self, PyObject* value, void* closure) {
  const Attr& a = *static_cast<const Attr*>(closure);
  auto* f = reinterpret_cast<FunctionObject*>(self);
  switch (a.rule) {
    case Attr::Str:
      if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", a.name);
        return -1;
      }
      break;
    case Attr::Any:
      if (!value) value = Py_None;
      break;
    case Attr::TupleOrNone:
    case Attr::DictOrNone: {
      if (value == Py_None) value = nullptr;
      bool tuple_rule = a.rule == Attr::TupleOrNone;
      if (value && !(tuple_rule ? PyTuple_Check(value) : PyDict_Check(value))) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a %s object", a.name,
                     tuple_rule ? "tuple" : "dict");
        return -1;
      }
      if (value && a.field == &FunctionObject::defaults &&
          PyTuple_GET_SIZE(value) > f->code->n_positional) {
        PyErr_SetString(PyExc_ValueError, "__defaults__ has more items than positional parameters");
        return -1;
      }
      break;
    }
  }
  Py_XSETREF(f->*a.field, Py_XNewRef(value));
  return 0;
}

PyObject* get_annotations(PyObject* self, void*) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  if (!f->annotations) {
    f->annotations = PyDict_New();
    if (!f->annotations) return nullptr;
  }
  return Py_NewRef(f->annotations);
}

int set_annotations(PyObject* self, PyObject* value, void*) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  if (value == Py_None) value = nullptr;
  if (value && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
    return -1;
  }
  Py_XSETREF(f->annotations, Py_XNewRef(value));
  return 0;
}

PyObject* get_type_params(PyObject* self, void*) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  if (f->type_params) return Py_NewRef(f->type_params);
  return PyTuple_New(0);
}

int set_type_params(PyObject* self, PyObject* value, void*) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  if (value == nullptr || !PyTuple_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__type_params__ must be set to a tuple");
    return -1;
  }
  Py_XSETREF(f->type_params, Py_NewRef(value));
  return 0;
}

PyObject* get_closure(PyObject*, void*) {
  Py_RETURN_NONE;
}

// A code object describing the parameters, so that introspection tools that
// read `__code__` (inspect.signature among them) see the real signature.
Ref build_code(FunctionObject* f) {
  const Code* c = f->code;
  // Names are set as str objects through replace(): a __module__ or
  // __qualname__ that is not valid UTF-8 (lone surrogates) must not matter.
  Ref filename = Ref::check(
      PyUnicode_FromFormat("<%U>", f->module && PyUnicode_Check(f->module) ? f->module : c->name));
  Ref empty = Ref::check(reinterpret_cast<PyObject*>(PyCode_NewEmpty("<wisp>", "<wisp>", 1)));
  // co_varnames: positional, keyword-only, *args, **kwargs.
  Ref names = new_list();
  for (const ParamInfo& p : c->params) {
    if (p.kind == Kind::PosOnly || p.kind == Kind::PosOrKw) list_append(names, p.name);
  }
  for (const ParamInfo& p : c->params) {
    if (p.kind == Kind::KwOnly) list_append(names, p.name);
  }
  int flags = CO_OPTIMIZED | CO_NEWLOCALS | (c->generator ? CO_GENERATOR : 0) |
              (c->coroutine ? CO_COROUTINE : 0);
  if (c->var_pos >= 0) {
    list_append(names, c->params[size_t(c->var_pos)].name);
    flags |= CO_VARARGS;
  }
  if (c->var_kw >= 0) {
    list_append(names, c->params[size_t(c->var_kw)].name);
    flags |= CO_VARKEYWORDS;
  }
  Ref varnames = Ref::check(PyList_AsTuple(names.get()));
  Ref replace = getattr(empty, "replace");
  Ref kw = new_dict();
  dict_set(kw, "co_argcount", Ref::check(PyLong_FromSsize_t(c->n_positional)));
  dict_set(kw, "co_posonlyargcount", Ref::check(PyLong_FromSsize_t(c->n_posonly)));
  dict_set(kw, "co_kwonlyargcount", Ref::check(PyLong_FromSsize_t(c->n_kwonly)));
  dict_set(kw, "co_nlocals", Ref::check(PyLong_FromSsize_t(PyTuple_GET_SIZE(varnames.get()))));
  dict_set(kw, "co_varnames", varnames);
  dict_set(kw, "co_flags", Ref::check(PyLong_FromLong(flags)));
  dict_set(kw, "co_filename", filename);
  dict_set(kw, "co_name", c->name);
  dict_set(kw, "co_qualname", f->qualname);
  Ref noargs = Ref::check(PyTuple_New(0));
  return Ref::check(PyObject_Call(replace.get(), noargs.get(), kw.get()));
}

PyObject* get_code(PyObject* self, void*) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  if (!f->code_obj) {
    PyObject* r = guard([&] { return build_code(f); });
    if (!r) return nullptr;
    Py_XSETREF(f->code_obj, r);
  }
  return Py_NewRef(f->code_obj);
}

PyObject* function_reduce(PyObject* self, PyObject*) {
  // Pickled by reference, like any module-level function.
  return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->qualname);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_attr, set_attr, nullptr, closure_of(a_name)},
    {"__qualname__", get_attr, set_attr, nullptr, closure_of(a_qualname)},
    {"__doc__", get_attr, set_attr, nullptr, closure_of(a_doc)},
    {"__module__", get_attr, set_attr, nullptr, closure_of(a_module)},
    {"__defaults__", get_attr, set_attr, nullptr, closure_of(a_defaults)},
    {"__kwdefaults__", get_attr, set_attr, nullptr, closure_of(a_kwdefaults)},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__type_params__", get_type_params, set_type_params, nullptr, nullptr},
    {"__globals__", get_attr, nullptr, nullptr, closure_of(a_globals)},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject make_function_type() {
  PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
  t.tp_name = "wisp.function";
  t.tp_basicsize = sizeof(FunctionObject);
  t.tp_dealloc = function_dealloc;
  t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
  t.tp_repr = function_repr;
  t.tp_call = PyVectorcall_Call;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
               Py_TPFLAGS_METHOD_DESCRIPTOR;
  t.tp_traverse = function_traverse;
  t.tp_clear = function_clear;
  t.tp_weaklistoffset = offsetof(FunctionObject, weakreflist);
  t.tp_methods = function_methods;
  t.tp_getset = function_getset;
  t.tp_descr_get = function_descr_get;
  t.tp_dictoffset = offsetof(FunctionObject, dict);
  return t;
}

}  // namespace

PyTypeObject FunctionType = make_function_type();

Ref coroutine_twin(Borrowed target, Borrowed qualname, TwinStart start) {
  if (!is_function(target)) {
    raise(PyExc_TypeError, "coroutine_twin: the target is no function of this runtime");
  }
  auto* t = reinterpret_cast<FunctionObject*>(target.get());
  // One Code per target Code and start, made on first use and kept (as
  // every Code is) for the life of the process.
  static std::vector<std::pair<std::pair<const Code*, TwinStart>, const Code*>> made;
  const Code* code = nullptr;
  for (const auto& entry : made) {
    if (entry.first.first == t->code && entry.first.second == start) code = entry.second;
  }
  if (!code) {
    auto twin = std::make_unique<Code>(*t->code);
    Py_INCREF(twin->qualname);
    twin->impl = nullptr;
    twin->entry = twin_entry;
    twin->generator = false;
    twin->coroutine = true;
    twin->ret_check = Check::Any;
    twin->start = start;
    code = twin.release();
    made.push_back({{t->code, start}, code});
  }
  Ref annotations = t->annotations ? Ref::check(PyDict_Copy(t->annotations)) : Ref();
  Ref f = new_function(code, t->globals, qualname, target, t->defaults, t->kwdefaults,
                       annotations);
  auto* fo = reinterpret_cast<FunctionObject*>(f.get());
  Py_XSETREF(fo->doc, Py_XNewRef(t->doc));
  return f;
}

Borrowed twin_target(Borrowed func) {
  if (!is_function(func)) return Borrowed();
  auto* f = reinterpret_cast<FunctionObject*>(func.get());
  return f->code->start ? Borrowed(f->closure) : Borrowed();
}

Ref new_function(const Code* code, Borrowed globals, Borrowed qualname, Borrowed closure,
                 Borrowed defaults, Borrowed kwdefaults, Borrowed annotations) {
  if (!(FunctionType.tp_flags & Py_TPFLAGS_READY)) check(PyType_Ready(&FunctionType));
  auto* f = PyObject_GC_New(FunctionObject, &FunctionType);
  if (!f) throw_error();
  f->vectorcall = code->entry;
  f->code = code;
  f->globals = Py_NewRef(globals.get());
  f->name = Py_NewRef(code->name);
  f->qualname = Py_NewRef(qualname ? qualname.get() : code->name);
  f->module = nullptr;
  f->doc = nullptr;
  f->dict = nullptr;
  f->defaults = Py_XNewRef(defaults.get());
  f->kwdefaults = Py_XNewRef(kwdefaults.get());
  f->annotations = Py_XNewRef(annotations.get());
  f->closure = Py_XNewRef(closure.get());
  f->code_obj = nullptr;
  f->type_params = nullptr;
  f->weakreflist = nullptr;
  f->captured = nullptr;
  f->captured_layout = nullptr;
  Ref self = Ref::steal(reinterpret_cast<PyObject*>(f));
  PyObject_GC_Track(self.get());
  f->module = dict_get_ref(globals, intern("__name__")).release();
  if (code->doc) f->doc = str(code->doc).release();
  return self;
}

}  // namespace wisp
