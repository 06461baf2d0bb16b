// wisp.mapper.xml_reader: rendering of a statement's elements. A statement
// is walked element by element; every piece of text goes straight into one
// growing code-point buffer, and dynamic elements (if, choose, where, set,
// trim, foreach, include) decide what of their content goes in. Test and
// collection expressions are compiled once per distinct text and evaluated
// from the cached code.
#include <cstdio>

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
        hit = truthy(call_method(cur, at_end ? N->endswith : N->startswith, {p.obj.get()}));
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

// ---------------------------------------------------------------------------
// Expressions: eval semantics from cached code objects

// The code object eval would compile for `text`; null when eval should be
// left to report the problem itself (a NUL in the text).
Ref compiled(Borrowed text) {
  Borrowed hit = dict_get(S.code_cache, text);
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
  if (PyDict_GET_SIZE(S.code_cache) >= kCacheLimit) PyDict_Clear(S.code_cache);
  dict_set(S.code_cache, text, code);
  return code;
}

// eval(text, ns). A namespace of None stands for the module's own, as for a
// call of eval made in this module.
Ref eval_text(PyObject* module_globals, Borrowed text, Borrowed ns) {
  PyObject* g = ns.get() == Py_None ? module_globals : ns.get();
  Ref code;
  if (PyUnicode_CheckExact(text.get()) && PyDict_Check(g)) code = compiled(text);
  if (!code) return call(S.builtin_eval, {text.get(), g});
  if (!check(PyDict_Contains(g, N->builtins_key))) {
    check(PyDict_SetItem(g, N->builtins_key, PyEval_GetBuiltins()));
  }
  return Ref::check(PyEval_EvalCode(code.get(), g, g));
}

// ("isinstance(" + collection + ",list)", "[item for item in " + collection + "]")
Ref loop_exprs(Borrowed collection) {
  if (!PyUnicode_Check(collection.get())) raise_concat(collection);
  if (PyUnicode_CheckExact(collection.get())) {
    Borrowed hit = dict_get(S.loop_cache, collection);
    if (hit) return Ref::borrow(hit);
  }
  Ref is_list = concat({N->is_list_head, collection.get(), N->is_list_tail});
  Ref copy = concat({N->copy_head, collection.get(), N->copy_tail});
  Ref pair = tuple({is_list.get(), copy.get()});
  if (PyUnicode_CheckExact(collection.get())) {
    if (PyDict_GET_SIZE(S.loop_cache) >= kCacheLimit) PyDict_Clear(S.loop_cache);
    dict_set(S.loop_cache, collection, pair);
  }
  return pair;
}

// ---------------------------------------------------------------------------
// Rendering

enum class Tag { Include, Sql, If, Where, Trim, Set, Choose, When, Otherwise, Foreach, Other };

Tag classify(Borrowed tag) {
  if (PyUnicode_CheckExact(tag.get())) {
    Borrowed v = dict_get(S.tags, tag);
    return v ? Tag(PyLong_AsLong(v)) : Tag::Other;
  }
  for (int i = 0; i < 10; ++i) {
    if (equals(tag, N->tags[i])) return Tag(i);
  }
  return Tag::Other;
}

// Bounds the nesting of rendered elements.
struct Rendering {
  static constexpr const char* what = " while rendering a mapper element";
};
using Depth = CappedRecursion<Rendering>;

Ref render(Render& r, Borrowed el, Borrowed param, Chars& out);

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
Ref parse_via_self(Render& r, Borrowed el, Borrowed param, Chars& out) {
  Ref m = getattr(r.self, N->parse_element);
  if (PyMethod_Check(m.get()) && PyMethod_GET_FUNCTION(m.get()) == S.parse_element &&
      PyMethod_GET_SELF(m.get()) == r.self) {
    return render(r, el, param, out);
  }
  return call(m, {el.get(), param.get()});
}

// ret += self.parse_element(child, param)
void render_child(Render& r, Borrowed child, Borrowed param, Chars& out) {
  Ref res = parse_via_self(r, child, param, out);
  if (res) append_concat(out, res.get());
}

}  // namespace

void render_children(Render& r, Borrowed el, Borrowed param, Chars& out) {
  for_each(el, [&](Borrowed child) {
    render_child(r, child, param, out);
    append_opt(out, getattr(child, N->tail).get());
  });
}

namespace {

// The element's text, then each child rendered and followed by its tail.
void render_body(Render& r, Borrowed el, Borrowed param, Chars& out) {
  append_opt(out, getattr(el, N->text).get());
  render_children(r, el, param, out);
}

// Replaces out[from, end) by ParseMapper.<name>(out[from, end), pieces),
// through the module-level class.
void trim_via_class(Render& r, Chars& out, size_t from, PyObject* name, PyObject* own,
                    const std::vector<Piece>& pieces, bool at_end) {
  Ref fn = getattr(global(r.globals, N->ParseMapper), name);
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
  Ref parts = PyUnicode_Check(value.get()) ? Ref::check(PyUnicode_Split(value, N->bar, -1))
                                           : call_method(value, N->split, {N->bar});
  for_each(parts, [&](Borrowed part) {
    Ref piece = call_method(part, N->strip, {});
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
  Ref prefix = attr_or(el, N->prefix, N->empty);
  Ref suffix = attr_or(el, N->suffix, N->empty);
  std::vector<Piece> prefixes = overrides(attr_or(el, N->prefixOverrides, Py_None));
  std::vector<Piece> suffixes = overrides(attr_or(el, N->suffixOverrides, Py_None));
  const size_t mark = out.size();
  render_body(r, el, param, out);
  if (!prefixes.empty()) {
    trim_via_class(r, out, mark, N->trim_prefix, S.trim_prefix, prefixes, false);
  }
  if (!suffixes.empty()) {
    trim_via_class(r, out, mark, N->trim_suffix, S.trim_suffix, suffixes, true);
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
  trim_via_class(r, out, mark, N->trim_prefix, S.trim_prefix, *S.comma, false);
  // A comma after the last assignment is removed too: the usual form, each
  // `if` body ending in a comma, would otherwise leave "a = :a, WHERE".
  trim_via_class(r, out, mark, N->trim_suffix, S.trim_suffix, *S.comma, true);
  insert_ascii(out, mark, "SET ");
}

Ref render_choose(Render& r, Borrowed el, Borrowed param, Chars& out) {
  std::vector<Ref> children;
  for_each(el, [&](Borrowed child) { children.push_back(Ref::borrow(child)); });
  for (const Ref& child : children) {
    if (!equals(getattr(child, N->tag), N->when)) continue;
    Ref test = attr(child, N->test);
    if (truthy(evaluate(r, test, param))) {
      render_child(r, child, param, out);
      return Ref();
    }
  }
  for (const Ref& child : children) {
    if (equals(getattr(child, N->tag), N->otherwise)) return parse_via_self(r, child, param, out);
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

void render_foreach(Render& r, Borrowed el, Borrowed param, Chars& out) {
  Ref item = attr(el, N->item);
  Ref collection = attr(el, N->collection);
  Ref open = attr(el, N->open);
  Ref close = attr(el, N->close);
  Ref separator = attr(el, N->separator);
  Ref ns = getitem(param, N->params);
  Ref exprs = loop_exprs(collection);
  if (!truthy(evaluate(r, PyTuple_GET_ITEM(exprs.get(), 0), ns))) {
    if (!r.expr) {
      r.expr = collection;
      r.what = "collection";
    }
    raise(PyExc_Exception, "Collection must be a list");
  }
  Ref copy = evaluate(r, PyTuple_GET_ITEM(exprs.get(), 1), ns);
  const Py_ssize_t count =
      PyList_CheckExact(copy.get()) ? PyList_GET_SIZE(copy.get()) : PyObject_Length(copy.get());
  if (count < 0) throw_error();

  // "#{item}" becomes "#{collection_for_index_N}".
  if (!PyUnicode_Check(item.get())) raise_concat(item.get());
  Chars old;
  append_ascii(old, "#{");
  append(old, item.get());
  old.push_back('}');
  Chars fresh;
  append_ascii(fresh, "#{");
  append(fresh, collection.get());
  append_ascii(fresh, "_for_index_");

  std::vector<Ref> children;
  for_each(el, [&](Borrowed child) { children.push_back(Ref::borrow(child)); });
  Ref body_text = getattr(el, N->text);
  Scratch scratch;
  Chars& body = *scratch;
  std::vector<size_t> hits;
  const bool fixed = children.empty();
  if (fixed) {
    append_opt(body, body_text.get());
    hits = occurrences(body, old);
  }

  append_concat(out, open.get());
  char digits[24];
  for (Py_ssize_t index = 0; index < count; ++index) {
    // A long list is no reason to hold up Ctrl-C: look for pending signals
    // every few thousand items (a handler's exception ends the rendering).
    if ((index & 0xFFF) == 0xFFF && PyErr_CheckSignals() < 0) throw PyError{};
    if (!fixed) {
      body.clear();
      append_opt(body, body_text.get());
      for (const Ref& child : children) {
        render_child(r, child, param, body);
        append_opt(body, getattr(child, N->tail).get());
      }
      hits = occurrences(body, old);
    }
    if (index > 0) append_concat(out, separator.get());
    std::snprintf(digits, sizeof digits, "%zd", index);
    size_t from = 0;
    for (size_t at : hits) {
      out.insert(out.end(), body.begin() + Py_ssize_t(from), body.begin() + Py_ssize_t(at));
      out.insert(out.end(), fresh.begin(), fresh.end());
      append_ascii(out, digits);
      out.push_back('}');
      from = at + old.size();
    }
    out.insert(out.end(), body.begin() + Py_ssize_t(from), body.end());
  }
  append_concat(out, close.get());
}

Ref render(Render& r, Borrowed el, Borrowed param, Chars& out) {
  Depth depth;
  Ref tag = getattr(el, N->tag);
  switch (classify(tag)) {
    case Tag::Include: {
      Ref refid = attr(el, N->refid);
      Ref ref = getitem(getattr(r.self, N->id_2_element_map), refid);
      return parse_via_self(r, ref, param, out);
    }
    case Tag::Sql:
    case Tag::When:
    case Tag::Otherwise:
      render_body(r, el, param, out);
      return Ref();
    case Tag::If: {
      Ref test = attr(el, N->test);
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
  S.trim_prefix = trim_def(Def::of<trim<false>>("_trim_prefix"), "prefixes");
  S.trim_suffix = trim_def(Def::of<trim<true>>("_trim_suffix"), "suffixes");

  Def parse_def = Def::of<parse_element>("parse_element");
  parse_def.param("self", &ParseElementArgs::self)
      .param("element", &ParseElementArgs::element)
      .annotate("et.Element")
      .param("param", &ParseElementArgs::param)
      .annotate(&PyDict_Type);
  S.parse_element = cls.method(parse_def).release();
}

}  // namespace wisp::xml
