// wisp.mapper.xml_reader: rendering of a statement's elements. A statement
// is walked element by element; every piece of text goes straight into one
// growing code-point buffer, and dynamic elements (if, choose, where, set,
// trim, foreach, include, bind) decide what of their content goes in. Test,
// collection and bind expressions are compiled once per distinct text and
// evaluated from the cached code.
#include <cstdio>
#include <optional>

#include "wisp/protocol.h"
#include "xml_reader.h"

namespace wisp::xml {

namespace {

// Expression caches are cleared when they reach this many entries: mapper
// files have far fewer distinct expressions, so only generated ones hit it.
constexpr Py_ssize_t kCacheLimit = 4096;

// ---------------------------------------------------------------------------
// Trimming of prefixes and suffixes

// s[from, end) with whitespace collapsed, then the pieces cut off its front
// (or end), longest first, rescanning after every cut until none matches;
// stripped. Empty pieces are ignored: they would match forever.
void cut_pieces(Chars& s, size_t from, const std::vector<Piece>& pieces, bool at_end) {
  collapse_tail(s, from);
  size_t b = from, e = s.size();
  bool cut = true;
  while (cut) {
    cut = false;
    for (const Piece& p : pieces) {
      if (p.len == 0) continue;
      bool hit;
      if (p.text) {
        hit = e - b >= p.len && same(at_end ? s.data() + e - p.len : s.data() + b, p.chars);
      } else {
        Ref cur = to_str(s.data() + b, e - b);
        hit = truthy(call_method(cur, at_end ? names->endswith : names->startswith, {p.obj.get()}));
      }
      if (!hit) continue;
      size_t m = std::min(p.len, e - b);
      if (at_end) {
        e -= m;
      } else {
        b += m;
      }
      strip_bounds(s, b, e);
      cut = true;
      break;
    }
  }
  strip_bounds(s, b, e);
  s.resize(e);
  s.erase(s.begin() + Py_ssize_t(from), s.begin() + Py_ssize_t(b));
}

}  // namespace

// ---------------------------------------------------------------------------
// Expressions: eval semantics from cached code objects

Ref compiled(Borrowed text) {
  Borrowed hit = dict_get(state.code_cache, text);
  if (hit) return Ref::borrow(hit);
  Py_ssize_t n = 0;
  const char* src = PyUnicode_AsUTF8AndSize(text, &n);
  if (!src) throw_error();
  if (std::memchr(src, 0, size_t(n))) return Ref();
  // eval skips leading blanks and tabs of a source string.
  while (*src == ' ' || *src == '\t') ++src;
  PyCompilerFlags flags;
  flags.cf_flags = PyCF_SOURCE_IS_UTF8 | PyCF_IGNORE_COOKIE;
  flags.cf_feature_version = PY_MINOR_VERSION;
  Ref code = Ref::check(Py_CompileStringExFlags(src, "<string>", Py_eval_input, &flags, -1));
  if (PyDict_GET_SIZE(state.code_cache) >= kCacheLimit) PyDict_Clear(state.code_cache);
  dict_set(state.code_cache, text, code);
  return code;
}

namespace {

// eval(text, ns). A namespace of None stands for the module's own, as for a
// call of eval made in this module.
Ref eval_text(PyObject* module_globals, Borrowed text, Borrowed ns) {
  PyObject* g = ns.get() == Py_None ? module_globals : ns.get();
  Ref code;
  if (PyUnicode_CheckExact(text.get()) && PyDict_Check(g)) code = compiled(text);
  if (!code) return call(state.builtin_eval, {text.get(), g});
  if (!check(PyDict_Contains(g, names->builtins_key))) {
    check(PyDict_SetItem(g, names->builtins_key, PyEval_GetBuiltins()));
  }
  return Ref::check(PyEval_EvalCode(code.get(), g, g));
}

}  // namespace

Ref loop_exprs(Borrowed collection) {
  if (!PyUnicode_Check(collection.get())) raise_concat(collection);
  if (PyUnicode_CheckExact(collection.get())) {
    Borrowed hit = dict_get(state.loop_cache, collection);
    if (hit) return Ref::borrow(hit);
  }
  Ref is_list = concat({names->is_list_head, collection.get(), names->is_list_tail});
  Ref copy = concat({names->copy_head, collection.get(), names->copy_tail});
  Ref pair = tuple({is_list.get(), copy.get()});
  if (PyUnicode_CheckExact(collection.get())) {
    if (PyDict_GET_SIZE(state.loop_cache) >= kCacheLimit) PyDict_Clear(state.loop_cache);
    dict_set(state.loop_cache, collection, pair);
  }
  return pair;
}

Tag classify(Borrowed tag) {
  if (PyUnicode_CheckExact(tag.get())) {
    Borrowed v = dict_get(state.tags, tag);
    return v ? Tag(PyLong_AsLong(v)) : Tag::Other;
  }
  for (int i = 0; i < kTagCount; ++i) {
    if (equals(tag, names->tags[i])) return Tag(i);
  }
  return Tag::Other;
}

bool ascii_identifier(Borrowed s) {
  if (!PyUnicode_Check(s.get())) return false;
#if PY_VERSION_HEX < 0x030C0000
  if (PyUnicode_READY(s.get()) < 0) throw_error();
#endif
  if (!PyUnicode_IS_ASCII(s.get())) return false;
  const Py_ssize_t n = PyUnicode_GET_LENGTH(s.get());
  const Py_UCS1* p = PyUnicode_1BYTE_DATA(s.get());
  if (n == 0 || (p[0] >= '0' && p[0] <= '9')) return false;
  return std::all_of(p, p + n, [](Py_UCS1 c) { return word_char(c); });
}

namespace {

// ---------------------------------------------------------------------------
// Names in scope: foreach items and indexes, <bind> names
//
// A statement renders in a namespace dict, {"params": <the caller's
// parameters>} as the statement methods make it. The names that foreach and
// bind bring into scope need two more entries, under keys no expression can
// name:
//   "#binds"  a pair of dicts: the values bound in this rendering, by the
//             placeholder name made for each, and per base name the number
//             the next such name takes;
//   "#vars"   a tuple of the names in scope, for collection expressions,
//             which are evaluated among the caller's parameters (a
//             parameter of the same name wins there).
// A foreach body, and what follows a <bind>, render in a copy of the
// namespace with the new names set (for test expressions; "params" and
// "__builtins__" keep their meaning). The pair under "#binds" is made in
// the namespace being copied before any copy is made, so every copy shares
// it and the statement finds it in its own namespace afterwards.

// ns["#binds"]; null when it is missing (or not such a pair).
Ref registry_in(Borrowed ns) {
  Ref reg = dict_get_ref(ns, names->binds_key);
  if (reg && PyTuple_CheckExact(reg.get()) && PyTuple_GET_SIZE(reg.get()) == 2 &&
      PyDict_CheckExact(PyTuple_GET_ITEM(reg.get(), 0)) &&
      PyDict_CheckExact(PyTuple_GET_ITEM(reg.get(), 1))) {
    return reg;
  }
  return Ref();
}

// ns["#binds"], made when missing.
Ref registry(Borrowed ns) {
  if (Ref reg = registry_in(ns)) return reg;
  Ref reg = tuple({new_dict().get(), new_dict().get()});
  dict_set(ns, names->binds_key, reg);
  return reg;
}

// The name as it goes into scope: null for "params" and "__builtins__",
// which keep their meaning.
PyObject* scope_name(PyObject* name) {
  return equals(name, names->params) || equals(name, names->builtins_key) ? nullptr : name;
}

// A copy of a namespace with names brought into scope (made by scope_name;
// a null one is none): `ns`, for what renders in the scope.
struct Scope {
  Ref ns;

  Scope(Borrowed outer, std::initializer_list<PyObject*> bound) {
    registry(outer);
    ns = Ref::check(PyDict_Copy(outer));
    Ref in_scope = new_list();
    Ref vars = dict_get_ref(outer, names->vars_key);
    if (vars && PyTuple_CheckExact(vars.get())) {
      for_each(vars, [&](Borrowed name) { list_append(in_scope, name); });
    }
    for (PyObject* name : bound) {
      if (name) list_append(in_scope, name);
    }
    dict_set(ns, names->vars_key, Ref::check(PyList_AsTuple(in_scope.get())));
  }

  // Sets (or sets again) one of the names.
  void set(PyObject* name, PyObject* value) {
    if (name) dict_set(ns, name, value);
  }
};

// What a collection expression is evaluated in: the caller's parameters, or,
// with names in scope, a dict of those names updated by the parameters.
Ref collection_namespace(Borrowed param, Borrowed caller) {
  Ref vars = dict_get_ref(param, names->vars_key);
  if (!vars || !PyTuple_CheckExact(vars.get()) || PyTuple_GET_SIZE(vars.get()) == 0) {
    return Ref::borrow(caller);
  }
  Ref ns = new_dict();
  for_each(vars, [&](Borrowed name) {
    if (Ref value = dict_get_ref(param, name)) dict_set(ns, name, value);
  });
  check(PyDict_Merge(ns.get(), caller, 1));
  return ns;
}

// Binds `value` in this rendering under a placeholder name of its own,
// "<base>_<n>", counting per base; a name the caller's parameters hold, or
// one that finishing would read as a foreach position, is skipped. Returns
// the name.
Ref bind_own(Borrowed ns, Borrowed base, Borrowed value) {
  Ref reg = registry(ns);
  PyObject* values = PyTuple_GET_ITEM(reg.get(), 0);
  PyObject* counts = PyTuple_GET_ITEM(reg.get(), 1);
  Ref caller = dict_get_ref(ns, names->params);
  Ref stem = Ref::borrow(base);
  for (;;) {
    Ref count = dict_get_ref(counts, stem);
    const Py_ssize_t n = count ? PyLong_AsSsize_t(count.get()) : 0;
    if (n < 0) throw_error();
    dict_set(counts, stem, Ref::check(PyLong_FromSsize_t(n + 1)));
    Ref name = Ref::check(PyUnicode_FromFormat("%U_%zd", stem.get(), n));
    const Py_ssize_t marker = PyUnicode_Find(name.get(), names->for_index, 0, PY_SSIZE_T_MAX, 1);
    if (marker == -2) throw_error();
    if (marker >= 0) {
      stem = Ref::borrow(names->bind_base);
      continue;
    }
    if (check(PyDict_Contains(values, name.get())) || (caller && contains(caller, name))) continue;
    dict_set(values, name, value);
    return name;
  }
}

// value.field.field...: a mapping's key, any other object's attribute, one
// field after the other; `path` is the text ".field.field".
Ref follow(Ref value, const Py_UCS4* path, size_t n) {
  size_t i = 0;
  while (i < n) {
    size_t j = i + 1;
    while (j < n && path[j] != '.') ++j;
    Ref field = to_str(path + i + 1, j - i - 1);
    if (PyDict_CheckExact(value.get())) {
      value = getitem(value, field);
    } else if (PyDict_Check(value.get()) ||
               check(PyObject_IsInstance(value.get(), state.mapping_type))) {
      value = Ref::check(PyObject_GetItem(value.get(), field.get()));
    } else {
      value = getattr(value, field);
    }
    i = j;
  }
  return value;
}

// The value the placeholder text[begin, end) stands for: `value`, or the
// field its path text[path, end - 1) names. A failure notes the placeholder.
Ref placeholder_value(Render& r, Ref value, const Chars& text, size_t begin, size_t path,
                      size_t end) {
  if (path + 1 == end) return value;
  try {
    return follow(std::move(value), text.data() + path, end - 1 - path);
  } catch (const PyError&) {
    if (!r.expr) {
      r.expr = to_str(text.data() + begin, end - begin);
      r.what = "placeholder";
    }
    throw;
  }
}

// A placeholder of a name in scope: "#{name}", or "#{name.field...}".
struct ScopeRef {
  size_t begin, end;  // the whole placeholder
  size_t var;         // which of the names
  size_t path;        // where ".field..." starts; end - 1 when there is none
  bool bare() const { return path + 1 == end; }
};

// The placeholders in text[from, to) of one of `vars` (ASCII identifiers),
// left to right, into `refs`.
void scope_refs(const Chars& text, size_t from, size_t to, const std::vector<Chars>& vars,
                std::vector<ScopeRef>& refs) {
  refs.clear();
  const Py_UCS4* p = text.data();
  size_t i = from;
  while (i + 3 < to) {
    if (p[i] != '#' || p[i + 1] != '{') {
      ++i;
      continue;
    }
    size_t j = i + 2;
    while (j < to && word_char(p[j])) ++j;
    if (j == i + 2) {
      i += 2;
      continue;
    }
    size_t var = 0;
    while (var < vars.size() &&
           !(vars[var].size() == j - i - 2 && same(p + i + 2, vars[var]))) {
      ++var;
    }
    size_t k = j;
    while (k < to && p[k] == '.') {
      size_t m = k + 1;
      while (m < to && word_char(p[m])) ++m;
      if (m == k + 1) break;
      k = m;
    }
    if (var < vars.size() && k < to && p[k] == '}') {
      refs.push_back(ScopeRef{i, k + 1, var, j});
      i = k + 1;
    } else {
      i = j;
    }
  }
}

// The base of the name a placeholder is bound under: its text with the dots
// made underscores ("u.name" gives "u_name").
Ref ref_base(const Chars& text, const ScopeRef& ref) {
  Chars base(text.begin() + Py_ssize_t(ref.begin + 2), text.begin() + Py_ssize_t(ref.end - 1));
  std::replace(base.begin(), base.end(), Py_UCS4('.'), Py_UCS4('_'));
  return to_str(base);
}

// Appends "#{name}".
void append_placeholder(Chars& out, Borrowed name) {
  out.push_back('#');
  out.push_back('{');
  append(out, name.get());
  out.push_back('}');
}

Chars chars_of(Borrowed s) {
  Chars c;
  append(c, s.get());
  return c;
}

// ---------------------------------------------------------------------------
// Rendering

// Bounds the nesting of rendered elements.
struct Rendering {
  static constexpr const char* what = " while rendering a mapper element";
};
using Depth = CappedRecursion<Rendering>;

Ref render(Render& r, Borrowed el, Borrowed param, Chars& out, Ref tag = Ref());

Ref evaluate(Render& r, Borrowed text, Borrowed ns) {
  try {
    return eval_text(r.globals, text, ns);
  } catch (const PyError&) {
    if (!r.expr) r.expr = Ref::borrow(text);
    throw;
  }
}

// self.parse_element(el, param): appended to `out` when it is text rendered
// by our own method (null result); otherwise the object the call returned.
// `tag` is the element's tag when the caller has read it.
Ref parse_via_self(Render& r, Borrowed el, Borrowed param, Chars& out, Ref tag = Ref()) {
  Ref m = getattr(r.self, names->parse_element);
  if (bound_to(m, state.parse_element, r.self)) {
    return render(r, el, param, out, std::move(tag));
  }
  return call(m, {el.get(), param.get()});
}

// ret += self.parse_element(child, param)
void render_child(Render& r, Borrowed child, Borrowed param, Chars& out, Ref tag = Ref()) {
  Ref res = parse_via_self(r, child, param, out, std::move(tag));
  if (res) append_concat(out, res.get());
}

// A <bind> met among the children of an element: its name, its value, and
// where in the text what follows it starts.
struct Binding {
  Ref name;
  Ref value;
  size_t mark;
};

// Replaces in out[b.mark, end) each placeholder of the bound name by one of
// its own, bound to the value (or to the field the placeholder names).
void rewrite_bound(Render& r, Chars& out, const Binding& b, Borrowed ns) {
  const std::vector<Chars> bound{chars_of(b.name)};
  std::vector<ScopeRef> refs;
  scope_refs(out, b.mark, out.size(), bound, refs);
  if (refs.empty()) return;
  Scratch scratch;
  Chars& tail = *scratch;
  size_t at = b.mark;
  for (const ScopeRef& ref : refs) {
    tail.insert(tail.end(), out.begin() + Py_ssize_t(at), out.begin() + Py_ssize_t(ref.begin));
    Ref value = placeholder_value(r, b.value, out, ref.begin, ref.path, ref.end);
    Ref base = ref.bare() ? b.name : ref_base(out, ref);
    append_placeholder(tail, bind_own(ns, base, value));
    at = ref.end;
  }
  tail.insert(tail.end(), out.begin() + Py_ssize_t(at), out.end());
  out.resize(b.mark);
  out.insert(out.end(), tail.begin(), tail.end());
}

// The children that `each` walks, each rendered and followed by its tail. A
// <bind> child renders nothing: what follows it renders with its name in
// scope, and its placeholders there are bound to its value.
template <class Each>
void render_sequence(Render& r, Each&& each, Borrowed param, Chars& out) {
  Ref ns = Ref::borrow(param);
  std::vector<Binding> binds;
  each([&](Borrowed child) {
    Ref tag = getattr(child, names->tag);
    if (classify(tag) == Tag::Bind) {
      Ref name = attr(child, names->name);
      Ref expr = attr(child, names->value);
      if (!ascii_identifier(name)) {
        raise_format(PyExc_ValueError, "bind name is not an identifier: %R", name.get());
      }
      Ref value = evaluate(r, expr, ns);
      PyObject* key = scope_name(name.get());
      Scope scope(ns, {key});
      scope.set(key, value.get());
      ns = scope.ns;
      binds.push_back(Binding{std::move(name), std::move(value), out.size()});
    } else {
      render_child(r, child, ns, out, std::move(tag));
    }
    append_opt(out, getattr(child, names->tail).get());
  });
  // The last first: an earlier bind of the same name ends where a later one
  // starts, and the later one's placeholders are no longer its name.
  for (auto b = binds.rbegin(); b != binds.rend(); ++b) rewrite_bound(r, out, *b, ns);
}

}  // namespace

Ref own_binds(Borrowed ns) {
  Ref reg = registry_in(ns);
  if (!reg || PyDict_GET_SIZE(PyTuple_GET_ITEM(reg.get(), 0)) == 0) return Ref();
  return Ref::borrow(PyTuple_GET_ITEM(reg.get(), 0));
}

void render_children(Render& r, Borrowed el, Borrowed param, Chars& out) {
  if (Py_TYPE(el.get()) != reinterpret_cast<PyTypeObject*>(state.element_type)) {
    render_sequence(r, [&](auto&& fn) { for_each(el, fn); }, param, out);
    return;
  }
  // ElementTree's own elements are walked by position, as their iterator
  // does, without the IndexError that ends it.
  render_sequence(
      r,
      [&](auto&& fn) {
        for (Py_ssize_t i = 0;; ++i) {
          const Py_ssize_t n = PySequence_Size(el);
          if (n < 0) throw_error();
          if (i >= n) break;
          Ref child = Ref::check(PySequence_GetItem(el, i));
          fn(Borrowed(child));
        }
      },
      param, out);
}

namespace {

// The element's text, then each child rendered and followed by its tail.
void render_body(Render& r, Borrowed el, Borrowed param, Chars& out) {
  append_opt(out, getattr(el, names->text).get());
  render_children(r, el, param, out);
}

// Replaces out[from, end) by ParseMapper.<name>(out[from, end), pieces),
// through the module-level class.
void trim_via_class(Render& r, Chars& out, size_t from, PyObject* name, PyObject* own,
                    const std::vector<Piece>& pieces, bool at_end) {
  Ref fn = getattr(global(r.globals, names->ParseMapper), name);
  if (fn.get() == own) {
    cut_pieces(out, from, pieces, at_end);
    return;
  }
  Ref set = Ref::check(PySet_New(nullptr));
  for (const Piece& p : pieces) check(PySet_Add(set.get(), p.obj.get()));
  Ref res = call(fn, {to_str(out.data() + from, out.size() - from).get(), set.get()});
  out.resize(from);
  append_concat(out, res.get());
}

void insert_ascii(Chars& out, size_t at, const char* s) {
  Chars head;
  append_ascii(head, s);
  out.insert(out.begin() + Py_ssize_t(at), head.begin(), head.end());
}

// The pieces of an overrides attribute split at "|", stripped, ordered
// longest first. Empty pieces are dropped.
std::vector<Piece> overrides(Borrowed value) {
  std::vector<Piece> pieces;
  if (value.get() == Py_None) return pieces;
  Ref parts = PyUnicode_Check(value.get()) ? Ref::check(PyUnicode_Split(value, names->bar, -1))
                                           : call_method(value, names->split, {names->bar});
  for_each(parts, [&](Borrowed part) {
    Ref piece = call_method(part, names->strip, {});
    if (!PyUnicode_Check(piece.get())) raise_concat(piece.get());
    if (PyUnicode_GET_LENGTH(piece.get()) == 0) return;
    pieces.push_back(text_piece(std::move(piece)));
  });
  order_pieces(pieces);
  return pieces;
}

void render_where(Render& r, Borrowed el, Borrowed param, Chars& out) {
  const size_t mark = out.size();
  render_body(r, el, param, out);
  collapse_tail(out, mark);
  // Leading words AND / OR, in any letter case, are dropped.
  const size_t end = out.size();
  auto word_is = [&](size_t at, const char* w, size_t len) {
    if (end - at < len) return false;
    for (size_t i = 0; i < len; ++i) {
      Py_UCS4 c = out[at + i];
      if (c >= 'a' && c <= 'z') c -= 'a' - 'A';
      if (c != Py_UCS4(w[i])) return false;
    }
    return at + len == end || out[at + len] == ' ';
  };
  size_t b = mark;
  while (b < end) {
    size_t len = word_is(b, "AND", 3) ? 3 : word_is(b, "OR", 2) ? 2 : 0;
    if (len == 0) break;
    b = std::min(b + len + 1, end);
  }
  out.erase(out.begin() + Py_ssize_t(mark), out.begin() + Py_ssize_t(b));
  if (out.size() > mark) insert_ascii(out, mark, "WHERE ");
}

void render_trim(Render& r, Borrowed el, Borrowed param, Chars& out) {
  Ref prefix = attr_or(el, names->prefix, names->empty);
  Ref suffix = attr_or(el, names->suffix, names->empty);
  std::vector<Piece> prefixes = overrides(attr_or(el, names->prefixOverrides, Py_None));
  std::vector<Piece> suffixes = overrides(attr_or(el, names->suffixOverrides, Py_None));
  const size_t mark = out.size();
  render_body(r, el, param, out);
  if (!prefixes.empty()) {
    trim_via_class(r, out, mark, names->trim_prefix, state.trim_prefix, prefixes, false);
  }
  if (!suffixes.empty()) {
    trim_via_class(r, out, mark, names->trim_suffix, state.trim_suffix, suffixes, true);
  }
  Chars head;
  append_concat(head, prefix.get());
  head.push_back(' ');
  out.insert(out.begin() + Py_ssize_t(mark), head.begin(), head.end());
  out.push_back(' ');
  append_concat(out, suffix.get());
}

void render_set(Render& r, Borrowed el, Borrowed param, Chars& out) {
  const size_t mark = out.size();
  render_body(r, el, param, out);
  trim_via_class(r, out, mark, names->trim_prefix, state.trim_prefix, *state.comma, false);
  // A comma after the last assignment is removed too: the usual form, each
  // `if` body ending in a comma, would otherwise leave "a = :a, WHERE".
  trim_via_class(r, out, mark, names->trim_suffix, state.trim_suffix, *state.comma, true);
  insert_ascii(out, mark, "SET ");
}

Ref render_choose(Render& r, Borrowed el, Borrowed param, Chars& out) {
  std::vector<Ref> children;
  for_each(el, [&](Borrowed child) { children.push_back(Ref::borrow(child)); });
  for (const Ref& child : children) {
    if (!equals(getattr(child, names->tag), names->when)) continue;
    Ref test = attr(child, names->test);
    if (truthy(evaluate(r, test, param))) {
      render_child(r, child, param, out);
      return Ref();
    }
  }
  for (const Ref& child : children) {
    if (equals(getattr(child, names->tag), names->otherwise))
      return parse_via_self(r, child, param, out);
  }
  raise(PyExc_Exception, "Missing otherwise element");
}

// Positions of `old` in `body`, left to right, without overlap.
std::vector<size_t> occurrences(const Chars& body, const Chars& old) {
  std::vector<size_t> at;
  const size_t m = old.size();
  for (size_t i = 0; i + m <= body.size();) {
    if (body[i] == old[0] && same(body.data() + i, old)) {
      at.push_back(i);
      i += m;
    } else {
      ++i;
    }
  }
  return at;
}

// The element at `index` of the copy a foreach made of its collection.
Ref element_at(Borrowed copy, Py_ssize_t index) {
  if (PyList_CheckExact(copy.get()) && index < PyList_GET_SIZE(copy.get())) {
    return Ref::borrow(PyList_GET_ITEM(copy.get(), index));
  }
  return Ref::check(PySequence_GetItem(copy, index));
}

// Whether `s` is a placeholder name ([A-Za-z0-9_-]+).
bool placeholder_name(Borrowed s) {
  Chars c = chars_of(s);
  return !c.empty() && std::all_of(c.begin(), c.end(), name_char);
}

// A placeholder in a foreach body of the item (bare or with fields) or of
// the index.
struct LoopRef {
  size_t begin, end;
  bool item;    // else the index
  size_t path;  // where ".field..." starts; end - 1 when there is none
  Ref base;     // the base of the name it is bound under, when it is
};

void render_foreach(Render& r, Borrowed el, Borrowed param, Chars& out) {
  Ref item = attr(el, names->item);
  Ref collection = attr(el, names->collection);
  Ref open = attr(el, names->open);
  Ref close = attr(el, names->close);
  Ref separator = attr(el, names->separator);
  Ref index_name = attr_or(el, names->index, Py_None);
  Ref caller = getitem(param, names->params);
  Ref exprs = loop_exprs(collection);
  Ref ns = collection_namespace(param, caller);
  if (!truthy(evaluate(r, PyTuple_GET_ITEM(exprs.get(), 0), ns))) {
    if (!r.expr) {
      r.expr = collection;
      r.what = "collection";
    }
    raise(PyExc_Exception, "Collection must be a list");
  }
  Ref copy = evaluate(r, PyTuple_GET_ITEM(exprs.get(), 1), ns);
  ns.reset();
  const Py_ssize_t count =
      PyList_CheckExact(copy.get()) ? PyList_GET_SIZE(copy.get()) : PyObject_Length(copy.get());
  if (count < 0) throw_error();
  const bool indexed = index_name.get() != Py_None;
  if (indexed && !ascii_identifier(index_name)) {
    raise_format(PyExc_ValueError, "foreach index is not an identifier: %R", index_name.get());
  }

  // "#{item}" becomes "#{collection_for_index_N}", which finishing binds to
  // the element, when the collection is a parameter by that name; otherwise
  // the element is bound here, as "#{item.field}" and "#{index}" always are.
  if (!PyUnicode_Check(item.get())) raise_concat(item.get());
  const bool positional = placeholder_name(collection) && contains(caller, collection);
  Chars old;
  append_ascii(old, "#{");
  append(old, item.get());
  old.push_back('}');
  Chars fresh;
  append_ascii(fresh, "#{");
  append(fresh, collection.get());
  append_ascii(fresh, kForIndex);
  const bool fields = ascii_identifier(item);
  std::vector<Chars> loop_names;
  if (fields) loop_names.push_back(chars_of(item));
  if (indexed) loop_names.push_back(chars_of(index_name));

  // The placeholders of the item and the index in a body, into `refs`.
  std::vector<size_t> bare;
  std::vector<ScopeRef> found;
  auto find_refs = [&](const Chars& body, std::vector<LoopRef>& refs) {
    refs.clear();
    if (!fields) bare = occurrences(body, old);
    size_t next_bare = 0;
    auto add_bare_before = [&](size_t at) {
      for (; next_bare < bare.size() && bare[next_bare] < at; ++next_bare) {
        size_t b = bare[next_bare];
        if (!refs.empty() && b < refs.back().end) continue;
        refs.push_back(LoopRef{b, b + old.size(), true, b + old.size() - 1, Ref()});
      }
    };
    if (!loop_names.empty()) {
      scope_refs(body, 0, body.size(), loop_names, found);
      for (const ScopeRef& ref : found) {
        add_bare_before(ref.begin);
        if (!refs.empty() && ref.begin < refs.back().end) continue;
        refs.push_back(LoopRef{ref.begin, ref.end, fields && ref.var == 0, ref.path, Ref()});
      }
    }
    add_bare_before(body.size());
    for (LoopRef& ref : refs) {
      const bool bare_item = ref.item && ref.path + 1 == ref.end;
      if (bare_item && positional) continue;
      if (!bare_item && ref.path + 1 != ref.end) {
        ref.base = ref_base(body, ScopeRef{ref.begin, ref.end, 0, ref.path});
      } else {
        ref.base = ref.item ? (fields ? item : Ref::borrow(names->item_base)) : index_name;
      }
    }
  };

  std::vector<Ref> children;
  for_each(el, [&](Borrowed child) { children.push_back(Ref::borrow(child)); });
  Ref body_text = getattr(el, names->text);
  Scratch scratch;
  Chars& body = *scratch;
  std::vector<LoopRef> refs;
  const bool fixed = children.empty();
  if (fixed) {
    append_opt(body, body_text.get());
    find_refs(body, refs);
  }
  auto binds_here = [&] {
    return std::any_of(refs.begin(), refs.end(), [](const LoopRef& ref) { return bool(ref.base); });
  };
  bool needs_element = !fixed || binds_here();
  // The body's children render in a namespace with the item and the index
  // in scope, set again for each element.
  PyObject* item_key = scope_name(item.get());
  PyObject* index_key = indexed ? scope_name(index_name.get()) : nullptr;
  std::optional<Scope> scope;
  if (!fixed) scope.emplace(param, std::initializer_list<PyObject*>{item_key, index_key});

  append_concat(out, open.get());
  char digits[24];
  for (Py_ssize_t index = 0; index < count; ++index) {
    // A long list is no reason to hold up Ctrl-C: look for pending signals
    // every few thousand items (a handler's exception ends the rendering).
    if ((index & 0xFFF) == 0xFFF && PyErr_CheckSignals() < 0) throw PyError{};
    try {
      Ref element, position;
      if (needs_element) element = element_at(copy, index);
      if (indexed && needs_element) position = Ref::check(PyLong_FromSsize_t(index));
      if (!fixed) {
        scope->set(item_key, element.get());
        scope->set(index_key, position.get());
        body.clear();
        append_opt(body, body_text.get());
        render_sequence(
            r, [&](auto&& fn) { for (const Ref& child : children) fn(Borrowed(child)); },
            scope->ns, body);
        find_refs(body, refs);
      }
      if (index > 0) append_concat(out, separator.get());
      std::snprintf(digits, sizeof digits, "%zd", index);
      size_t from = 0;
      for (const LoopRef& ref : refs) {
        out.insert(out.end(), body.begin() + Py_ssize_t(from),
                   body.begin() + Py_ssize_t(ref.begin));
        from = ref.end;
        if (!ref.base) {
          out.insert(out.end(), fresh.begin(), fresh.end());
          append_ascii(out, digits);
          out.push_back('}');
          continue;
        }
        Ref value =
            placeholder_value(r, ref.item ? element : position, body, ref.begin, ref.path, ref.end);
        append_placeholder(out, bind_own(param, ref.base, value));
      }
      out.insert(out.end(), body.begin() + Py_ssize_t(from), body.end());
    } catch (const PyError&) {
      if (!r.loop) {
        r.loop = collection;
        r.position = index;
      }
      throw;
    }
  }
  append_concat(out, close.get());
}

Ref render(Render& r, Borrowed el, Borrowed param, Chars& out, Ref tag) {
  Depth depth;
  if (!tag) tag = getattr(el, names->tag);
  switch (classify(tag)) {
    case Tag::Include: {
      Ref refid = attr(el, names->refid);
      Ref ref = getitem(getattr(r.self, names->id_2_element_map), refid);
      return parse_via_self(r, ref, param, out);
    }
    case Tag::Sql:
    case Tag::When:
    case Tag::Otherwise:
      render_body(r, el, param, out);
      return Ref();
    case Tag::If: {
      Ref test = attr(el, names->test);
      if (truthy(evaluate(r, test, param))) render_body(r, el, param, out);
      return Ref();
    }
    case Tag::Where:
      render_where(r, el, param, out);
      return Ref();
    case Tag::Trim:
      render_trim(r, el, param, out);
      return Ref();
    case Tag::Set:
      render_set(r, el, param, out);
      return Ref();
    case Tag::Choose:
      return render_choose(r, el, param, out);
    case Tag::Foreach:
      render_foreach(r, el, param, out);
      return Ref();
    case Tag::Bind:
      // Nothing: the element holding it binds the name for what follows.
      return Ref();
    case Tag::Other:
      break;
  }
  if (!r.tag) r.tag = std::move(tag);
  return none();
}

// Every element of `prefixes` with its length, longest first.
std::vector<Piece> pieces_of(Borrowed set) {
  std::vector<Piece> pieces;
  for_each(set, [&](Borrowed p) {
    if (PyUnicode_Check(p.get())) {
      pieces.push_back(text_piece(Ref::borrow(p)));
    } else {
      Py_ssize_t n = PyObject_Length(p);
      if (n < 0) throw_error();
      pieces.push_back(Piece{Ref::borrow(p), size_t(n), false, Chars()});
    }
  });
  order_pieces(pieces);
  return pieces;
}

// @staticmethod def _trim_prefix(s: str, prefixes: set[str])
// @staticmethod def _trim_suffix(s: str, suffixes: set[str])
struct TrimArgs {
  Ref s, pieces;
};
template <bool AtEnd>
Ref trim(FunctionObject*, TrimArgs& args) {
  std::vector<Piece> pieces = pieces_of(args.pieces);
  Scratch scratch;
  Chars& s = load(*scratch, args.s.get());
  cut_pieces(s, 0, pieces, AtEnd);
  return to_str(s);
}

// def parse_element(self, element: "et.Element", param: dict)
struct ParseElementArgs {
  Ref self, element, param;
};
Ref parse_element(FunctionObject* f, ParseElementArgs& args) {
  Render r{f->globals, args.self.get()};
  Scratch scratch;
  Chars& out = *scratch;
  try {
    Ref res = render(r, args.element, args.param, out);
    if (res) return res;
  } catch (const PyError&) {
    note_failure(r, Borrowed(), Borrowed());
    throw;
  }
  return to_str(out);
}

}  // namespace

void bind_rendering(ClassBuilder& cls) {
  Ref set_of_str = Ref::check(PyObject_GetItem(Borrowed(&PySet_Type), Borrowed(&PyUnicode_Type)));
  auto trim_def = [&](Def d, const char* pieces) {
    d.param("s", &TrimArgs::s)
        .annotate(&PyUnicode_Type)
        .param(pieces, &TrimArgs::pieces)
        .annotate(set_of_str, Check::Set);
    return cls.staticmethod(d).release();
  };
  state.trim_prefix = trim_def(Def::of<trim<false>>("_trim_prefix"), "prefixes");
  state.trim_suffix = trim_def(Def::of<trim<true>>("_trim_suffix"), "suffixes");

  Def parse_def = Def::of<parse_element>("parse_element");
  parse_def.param("self", &ParseElementArgs::self)
      .param("element", &ParseElementArgs::element)
      .annotate("et.Element")
      .param("param", &ParseElementArgs::param)
      .annotate(&PyDict_Type);
  state.parse_element = cls.method(parse_def).release();
}

}  // namespace wisp::xml
