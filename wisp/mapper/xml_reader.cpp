// wisp.mapper.xml_reader: mapper XML files, dynamic SQL rendering and
// prepared statements.
//
// Rendering appends into one growing code-point buffer: a statement is walked
// element by element, every piece of text goes straight into the buffer, and
// one str is made at the end, after placeholders are rewritten and whitespace
// is collapsed in a single streaming pass. Test and collection expressions
// are compiled once per distinct text and evaluated from the cached code.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "wisp/classes.h"
#include "wisp/lru.h"

using namespace wisp;

namespace {

struct Names {
  PyObject* et = intern("et");
  PyObject* text = intern("text");
  PyObject* get_type_from_string = intern("get_type_from_string");
  PyObject* is_container_type_by_str = intern("is_container_type_by_str");
  PyObject* sql_id_type_list = intern("sql_id_type_list");
  PyObject* param_pattern = intern("param_pattern");
  PyObject* replace_pattern = intern("replace_pattern");
  PyObject* ParseMapper = intern("ParseMapper");
  PyObject* dict = intern("dict");
  // ElementTree
  PyObject* parse = intern("parse");
  PyObject* getroot = intern("getroot");
  PyObject* iter = intern("iter");
  PyObject* get = intern("get");
  PyObject* tag = intern("tag");
  PyObject* tail = intern("tail");
  PyObject* attrib = intern("attrib");
  // str and re methods
  PyObject* findall = intern("findall");
  PyObject* replace = intern("replace");
  PyObject* startswith = intern("startswith");
  PyObject* endswith = intern("endswith");
  PyObject* strip = intern("strip");
  PyObject* split = intern("split");
  PyObject* keys = intern("keys");
  PyObject* bar = intern("|");
  PyObject* comma = intern(",");
  PyObject* blank = intern(" ");
  PyObject* returning = intern(" RETURNING ");
  // instance attributes
  PyObject* id_2_element_map = intern("id_2_element_map");
  PyObject* result_type_map = intern("result_type_map");
  PyObject* sql_type_map = intern("sql_type_map");
  PyObject* namespace_ = intern("namespace");
  // methods reached through the instance or the class
  PyObject* parse_element = intern("parse_element");
  PyObject* to_prepared_statement = intern("to_prepared_statement");
  PyObject* format_sql = intern("_format_sql");
  PyObject* trim_prefix = intern("_trim_prefix");
  PyObject* trim_suffix = intern("_trim_suffix");
  // tags and attributes of the mapper format
  PyObject* mapper = intern("mapper");
  PyObject* sql = intern("sql");
  PyObject* select = intern("select");
  PyObject* insert = intern("insert");
  PyObject* update = intern("update");
  PyObject* delete_ = intern("delete");
  PyObject* id = intern("id");
  PyObject* resultType = intern("resultType");
  PyObject* include = intern("include");
  PyObject* if_ = intern("if");
  PyObject* where = intern("where");
  PyObject* trim = intern("trim");
  PyObject* set = intern("set");
  PyObject* choose = intern("choose");
  PyObject* when = intern("when");
  PyObject* otherwise = intern("otherwise");
  PyObject* foreach = intern("foreach");
  // The dynamic elements, in the order of enum Tag.
  PyObject* const tags[10] = {include, sql,    if_,  where,     trim,
                              set,     choose, when, otherwise, foreach};
  PyObject* refid = intern("refid");
  PyObject* test = intern("test");
  PyObject* item = intern("item");
  PyObject* collection = intern("collection");
  PyObject* open = intern("open");
  PyObject* close = intern("close");
  PyObject* separator = intern("separator");
  PyObject* prefix = intern("prefix");
  PyObject* suffix = intern("suffix");
  PyObject* prefixOverrides = intern("prefixOverrides");
  PyObject* suffixOverrides = intern("suffixOverrides");
  // rendering namespaces
  PyObject* params = intern("params");
  PyObject* builtins_key = intern("__builtins__");
  PyObject* empty = intern("");
};
const Names* N;

// Module state, made once at import and kept for the life of the process.
struct State {
  PyObject* tags;        // tag text -> Tag, for exact str tags
  PyObject* code_cache;  // expression text -> code object
  PyObject* loop_cache;  // foreach collection text -> (list test, list copy)
  PyObject* paths;       // ParseMapper object -> mapper file (weak keys)
  PyObject* builtin_eval;
  // Our own functions, held so their identity stays theirs: a call through
  // the instance or the class that reaches one of them runs it directly.
  PyObject* parse_element;
  PyObject* to_prepared_statement;
  PyObject* format_sql;
  PyObject* trim_prefix;
  PyObject* trim_suffix;
  PyObject* select;
  PyObject* update;
  PyObject* delete_;
  // Text clauses of finished statements seen before.
  ClauseCache* clauses;
  // Statement text -> what finishing makes of it, for statements without
  // child elements (prepare_static).
  LruCache* finished;
  PyObject* element_type;  // et.Element
};
State S;

// Expression caches are cleared when they reach this many entries: mapper
// files have far fewer distinct expressions, so only generated ones hit it.
constexpr Py_ssize_t kCacheLimit = 4096;

// ---------------------------------------------------------------------------
// Text buffer: code points, appended to and turned into one str at the end.

// Growing a buffer leaves the new code points unset rather than zeroing
// them: they are written at once.
template <class T>
struct NoInit : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = NoInit<U>;
  };
  NoInit() = default;
  template <class U>
  NoInit(const NoInit<U>&) noexcept {}  // NOLINT: allocator conversion
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... A>
  void construct(U* p, A&&... a) {
    ::new (static_cast<void*>(p)) U(std::forward<A>(a)...);
  }
};

using Chars = std::vector<Py_UCS4, NoInit<Py_UCS4>>;

// A buffer lent by a small per-thread pool and given back when it goes out
// of scope, so that rendering large statements reuses memory instead of
// mapping and faulting in fresh pages on every call.
class Scratch {
 public:
  Scratch() {
    std::vector<Chars>& p = pool();
    if (!p.empty()) {
      buf_ = std::move(p.back());
      p.pop_back();
    }
  }
  ~Scratch() {
    std::vector<Chars>& p = pool();
    if (buf_.capacity() > kKeepChars || p.size() >= kKeepBuffers) return;
    buf_.clear();
    p.push_back(std::move(buf_));  // within the reserved capacity: no allocation
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  Chars& operator*() { return buf_; }

 private:
  static constexpr size_t kKeepChars = size_t(1) << 18;
  static constexpr size_t kKeepBuffers = 4;
  static std::vector<Chars>& pool() {
    static thread_local std::vector<Chars> p = [] {
      std::vector<Chars> v;
      v.reserve(kKeepBuffers);
      return v;
    }();
    return p;
  }
  Chars buf_;
};

void append(Chars& out, PyObject* s) {
#if PY_VERSION_HEX < 0x030C0000
  if (PyUnicode_READY(s) < 0) throw_error();
#endif
  const size_t n = size_t(PyUnicode_GET_LENGTH(s));
  if (n == 0) return;
  const size_t at = out.size();
  out.resize(at + n);
  Py_UCS4* dst = out.data() + at;
  const void* data = PyUnicode_DATA(s);
  switch (PyUnicode_KIND(s)) {
    case PyUnicode_1BYTE_KIND: {
      const auto* p = static_cast<const Py_UCS1*>(data);
      std::copy(p, p + n, dst);
      break;
    }
    case PyUnicode_2BYTE_KIND: {
      const auto* p = static_cast<const Py_UCS2*>(data);
      std::copy(p, p + n, dst);
      break;
    }
    default:
      std::memcpy(dst, data, n * sizeof(Py_UCS4));
  }
}

void append_ascii(Chars& out, const char* s) {
  while (*s) out.push_back(Py_UCS4(static_cast<unsigned char>(*s++)));
}

Chars& load(Chars& into, PyObject* s) {
  into.clear();
  append(into, s);
  return into;
}

Ref to_str(const Py_UCS4* p, size_t n) {
  return Ref::check(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, p, Py_ssize_t(n)));
}
Ref to_str(const Chars& c) {
  return to_str(c.data(), c.size());
}

[[noreturn]] void raise_concat(PyObject* v) {
  raise_format(PyExc_TypeError, "can only concatenate str (not \"%.200s\") to str",
               Py_TYPE(v)->tp_name);
}

// ret += v
void append_concat(Chars& out, PyObject* v) {
  if (!PyUnicode_Check(v)) raise_concat(v);
  append(out, v);
}

// ret += v, an absent text or tail (None) counting as the empty string
void append_opt(Chars& out, PyObject* v) {
  if (v != Py_None) append_concat(out, v);
}

bool is_space(Py_UCS4 c) {
  return Py_UNICODE_ISSPACE(c);
}

bool name_char(Py_UCS4 c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-';
}

// ---------------------------------------------------------------------------
// Scanners

// Each "<lead>{name}" with a name of ASCII letters, digits, "_" and "-", left
// to right and without overlap: what findall of the placeholder patterns
// gives. `on_name` gets the bounds of the name.
template <class F>
void scan_names(const Py_UCS4* p, size_t n, Py_UCS4 lead, F&& on_name) {
  size_t i = 0;
  while (i + 3 < n) {
    if (p[i] != lead || p[i + 1] != '{') {
      ++i;
      continue;
    }
    size_t j = i + 2;
    while (j < n && name_char(p[j])) ++j;
    if (j > i + 2 && j < n && p[j] == '}') {
      on_name(i + 2, j);
      i = j + 1;
    } else {
      // Nothing between i and j can start a match.
      i = j;
    }
  }
}

// Collapses whitespace as it is fed: runs of whitespace become one blank
// between words, none at either end. Inside a single-quoted SQL literal
// every character is kept as written; a doubled quote inside a literal
// closes and reopens it, which keeps it whole. A quote that is never closed
// keeps what follows it, except whitespace at the very end (finish()).
template <class Out>
class Collapser {
 public:
  explicit Collapser(Out& out) : out_(out), start_(out.size()) {}
  void put(Py_UCS4 c) {
    if (quoted_) {
      out_.push_back(c);
      if (c == '\'') quoted_ = false;
      return;
    }
    if (is_space(c)) {
      gap_ = started_;
      return;
    }
    if (gap_) {
      out_.push_back(' ');
      gap_ = false;
    }
    out_.push_back(c);
    started_ = true;
    if (c == '\'') quoted_ = true;
  }
  void finish() {
    if (!quoted_) return;
    while (out_.size() > start_ && is_space(out_.back())) out_.pop_back();
  }

 private:
  Out& out_;
  const size_t start_;
  bool quoted_ = false;
  bool gap_ = false;
  bool started_ = false;
};

// Writes into the buffer being read, never ahead of the reader: collapsing
// writes at most one code point per code point read (a blank stands for
// the first of a run of whitespace that wrote nothing).
class InPlace {
 public:
  InPlace(Chars& s, size_t at) : s_(s), w_(at) {}
  size_t size() const { return w_; }
  void push_back(Py_UCS4 c) { s_[w_++] = c; }
  Py_UCS4 back() const { return s_[w_ - 1]; }
  void pop_back() { --w_; }

 private:
  Chars& s_;
  size_t w_;
};

// Collapses s[from, end) in place.
void collapse_tail(Chars& s, size_t from) {
  InPlace dst(s, from);
  Collapser<InPlace> c(dst);
  for (size_t i = from, n = s.size(); i < n; ++i) c.put(s[i]);
  c.finish();
  s.resize(dst.size());
}

// Appends without change, for a _format_sql that is not our own.
class Verbatim {
 public:
  explicit Verbatim(Chars& out) : out_(out) {}
  void put(Py_UCS4 c) { out_.push_back(c); }

 private:
  Chars& out_;
};

// Rewrites every "#{content}" into ":content", as re.sub of the pattern
// "#\{([^}]+)\}" with ":\1" does, feeding the result to `sink`.
template <class Sink>
void rewrite_placeholders(const Py_UCS4* p, size_t n, Sink& sink) {
  size_t i = 0;
  while (i < n) {
    if (p[i] == '#' && i + 1 < n && p[i + 1] == '{') {
      size_t j = i + 2;
      while (j < n && p[j] != '}') ++j;
      if (j == n) break;  // no closing brace left: no later match either
      if (j > i + 2) {
        sink.put(':');
        for (size_t k = i + 2; k < j; ++k) sink.put(p[k]);
        i = j + 1;
        continue;
      }
    }
    sink.put(p[i++]);
  }
  for (; i < n; ++i) sink.put(p[i]);
}

void strip_bounds(const Chars& s, size_t& b, size_t& e) {
  while (b < e && is_space(s[b])) ++b;
  while (e > b && is_space(s[e - 1])) --e;
}

bool same(const Py_UCS4* p, const Chars& word) {
  return std::equal(word.begin(), word.end(), p);
}

// ---------------------------------------------------------------------------
// Trimming of prefixes and suffixes

// One entry of a prefix or suffix set: its length, and its code points when
// it is a str. Anything else is matched through startswith/endswith.
struct Piece {
  Ref obj;
  size_t len;
  bool text;
  Chars chars;
};

Piece text_piece(Ref s) {
  Piece p{std::move(s), 0, true, Chars()};
  append(p.chars, p.obj.get());
  p.len = p.chars.size();
  return p;
}

// Longest first; equal lengths keep their order.
void order_pieces(std::vector<Piece>& pieces) {
  std::stable_sort(pieces.begin(), pieces.end(),
                   [](const Piece& a, const Piece& b) { return a.len > b.len; });
}

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
// Small helpers on Python objects

[[noreturn]] void raise_key_error(Borrowed key) {
  PyErr_SetObject(PyExc_KeyError, tuple({key.get()}).get());
  throw PyError{};
}

bool contains(Borrowed m, Borrowed key) {
  if (PyDict_CheckExact(m.get())) return check(PyDict_Contains(m, key)) != 0;
  return check(PySequence_Contains(m, key)) != 0;
}

Ref getitem(Borrowed m, Borrowed key) {
  if (PyDict_CheckExact(m.get())) {
    Borrowed v = dict_get(m, key);
    if (!v) raise_key_error(key);
    return Ref::borrow(v);
  }
  return Ref::check(PyObject_GetItem(m, key));
}

// m.get(key, default)
Ref map_get(Borrowed m, Borrowed key, Borrowed dflt) {
  if (PyDict_CheckExact(m.get())) {
    Borrowed v = dict_get(m, key);
    return Ref::borrow(v ? v : dflt);
  }
  return call_method(m, N->get, {key.get(), dflt.get()});
}

bool equals(Borrowed a, PyObject* b) {
  return check(PyObject_RichCompareBool(a, b, Py_EQ)) != 0;
}

// element.attrib[name]
Ref attr(Borrowed el, PyObject* name) {
  return getitem(getattr(el, N->attrib), name);
}

// element.attrib.get(name, dflt)
Ref attr_or(Borrowed el, PyObject* name, PyObject* dflt) {
  return map_get(getattr(el, N->attrib), name, dflt);
}

template <class F>
void for_each(Borrowed iterable, F&& fn) {
  Ref it = Ref::check(PyObject_GetIter(iterable));
  while (Ref x = Ref::steal(PyIter_Next(it.get()))) fn(x);
  if (PyErr_Occurred()) throw_error();
}

// a, b = value
std::pair<Ref, Ref> unpack2(Borrowed value) {
  if (PyTuple_CheckExact(value.get()) && PyTuple_GET_SIZE(value.get()) == 2) {
    return {Ref::borrow(PyTuple_GET_ITEM(value.get(), 0)),
            Ref::borrow(PyTuple_GET_ITEM(value.get(), 1))};
  }
  Ref it = Ref::steal(PyObject_GetIter(value));
  if (!it) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_error();
    PyErr_Clear();
    raise_format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                 Py_TYPE(value.get())->tp_name);
  }
  Ref items[2];
  for (Py_ssize_t i = 0; i < 2; ++i) {
    items[i] = Ref::steal(PyIter_Next(it.get()));
    if (!items[i]) {
      if (PyErr_Occurred()) throw_error();
      raise_format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", i);
    }
  }
  Ref extra = Ref::steal(PyIter_Next(it.get()));
  if (extra) raise(PyExc_ValueError, "too many values to unpack (expected 2)");
  if (PyErr_Occurred()) throw_error();
  return {std::move(items[0]), std::move(items[1])};
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
  static PyObject* is_list_head = intern("isinstance(");
  static PyObject* is_list_tail = intern(",list)");
  static PyObject* copy_head = intern("[item for item in ");
  static PyObject* copy_tail = intern("]");
  Ref is_list = concat({is_list_head, collection.get(), is_list_tail});
  Ref copy = concat({copy_head, collection.get(), copy_tail});
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

// One rendering: the object rendered for, and what went wrong, for the note
// a failure carries.
struct Render {
  PyObject* globals;  // the module namespace
  PyObject* self;
  Ref expr;                         // the expression that failed
  const char* what = "expression";  // or the "collection" that is no list
  Ref tag;                          // the tag of an element that renders no text
};

// Bounds the nesting of rendered elements. The interpreter's recursion
// limit counts each level; so does a limit of our own, since a raised
// interpreter limit must not let a deep document exhaust the C stack.
class Depth {
 public:
  Depth() {
    if (level_ >= kMaxNesting) {
      raise(PyExc_RecursionError,
            "maximum recursion depth exceeded while rendering a mapper element");
    }
    if (Py_EnterRecursiveCall(" while rendering a mapper element")) throw PyError{};
    ++level_;
  }
  ~Depth() {
    --level_;
    Py_LeaveRecursiveCall();
  }
  Depth(const Depth&) = delete;
  Depth& operator=(const Depth&) = delete;

 private:
  static constexpr int kMaxNesting = 1000;
  static thread_local int level_;
};
thread_local int Depth::level_ = 0;

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

// The element's text, then each child rendered and followed by its tail.
void render_body(Render& r, Borrowed el, Borrowed param, Chars& out) {
  append_opt(out, getattr(el, N->text).get());
  for_each(el, [&](Borrowed child) {
    render_child(r, child, param, out);
    append_opt(out, getattr(child, N->tail).get());
  });
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

const std::vector<Piece>& comma_pieces() {
  static const std::vector<Piece>* pieces = [] {
    auto* v = new std::vector<Piece>();
    v->push_back(text_piece(Ref::borrow(N->comma)));
    return v;
  }();
  return *pieces;
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
  trim_via_class(r, out, mark, N->trim_prefix, S.trim_prefix, comma_pieces(), false);
  // A comma after the last assignment is removed too: the usual form, each
  // `if` body ending in a comma, would otherwise leave "a = :a, WHERE".
  trim_via_class(r, out, mark, N->trim_suffix, S.trim_suffix, comma_pieces(), true);
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

// ---------------------------------------------------------------------------
// Prepared statements

// A str of ASCII code points (placeholder names are).
Ref ascii_str(const Py_UCS4* p, size_t n) {
  Ref s = Ref::check(PyUnicode_New(Py_ssize_t(n), 127));
  std::copy(p, p + n, PyUnicode_1BYTE_DATA(s.get()));
  return s;
}

// int(text) for the position written by a foreach: plain decimal digits are
// read here, anything else goes through int().
Ref position(const Py_UCS4* p, size_t n) {
  if (n > 0 && n <= 18 && std::all_of(p, p + n, [](Py_UCS4 c) { return c >= '0' && c <= '9'; })) {
    long long v = 0;
    for (size_t i = 0; i < n; ++i) v = v * 10 + (p[i] - '0');
    return Ref::check(PyLong_FromLongLong(v));
  }
  return Ref::check(PyLong_FromUnicodeObject(ascii_str(p, n).get(), 10));
}

// Values of placeholder names, from the caller's parameters. A foreach
// writes runs of names on one container; when the parameters are a plain
// dict and the container a plain list, nothing can change between two
// lookups, so the container found for one name serves the next ones.
class Binder {
 public:
  explicit Binder(Borrowed param) : param_(param) {}

  Ref value(PyObject* name, const Py_UCS4* p, size_t n) {
    static const char marker[] = "_for_index_";
    const size_t m = sizeof marker - 1;
    for (size_t i = 0; i + m <= n; ++i) {
      if (!std::equal(marker, marker + m, p + i)) continue;
      Ref values = container(p, i);
      Ref index = position(p + i + m, n - i - m);
      if (PyList_CheckExact(values.get()) && PyLong_CheckExact(index.get())) {
        Py_ssize_t k = PyLong_AsSsize_t(index.get());
        if (k == -1 && PyErr_Occurred()) PyErr_Clear();
        if (k >= 0 && k < PyList_GET_SIZE(values.get())) {
          return Ref::borrow(PyList_GET_ITEM(values.get(), k));
        }
      }
      return Ref::check(PyObject_GetItem(values.get(), index.get()));
    }
    if (contains(param_, name)) return getitem(param_, name);
    return none();
  }

 private:
  Ref container(const Py_UCS4* p, size_t n) {
    if (last_ && n == last_name_.size() && std::equal(p, p + n, last_name_.begin())) return last_;
    Ref values = getitem(param_, ascii_str(p, n));
    last_.reset();
    if (PyDict_CheckExact(param_.get()) && PyList_CheckExact(values.get())) {
      last_name_.assign(p, p + n);
      last_ = values;
    }
    return values;
  }

  Borrowed param_;
  Chars last_name_;
  Ref last_;
};

// ParseMapper.to_prepared_statement on rendered text.
Ref prepare(PyObject* globals, const Chars& sql, Borrowed param) {
  Ref binds = new_dict();
  Binder binder(param);
  scan_names(sql.data(), sql.size(), '#', [&](size_t b, size_t e) {
    Ref name = ascii_str(sql.data() + b, e - b);
    dict_set(binds, name, binder.value(name.get(), sql.data() + b, e - b));
  });
  Ref fmt = getattr(global(globals, N->ParseMapper), N->format_sql);
  Scratch scratch;
  Chars& out = *scratch;
  out.reserve(sql.size());
  Ref finished;
  if (fmt.get() == S.format_sql) {
    Collapser<Chars> sink(out);
    rewrite_placeholders(sql.data(), sql.size(), sink);
    sink.finish();
    finished = to_str(out);
  } else {
    Verbatim sink(out);
    rewrite_placeholders(sql.data(), sql.size(), sink);
    finished = call(fmt, {to_str(out).get()});
  }
  // The same text gives the same clause: while `text` is SQLAlchemy's own, the
  // one made for an earlier call is shared; the bind values are this call's.
  Ref clause = S.clauses->text(global(globals, N->text), finished);
  return tuple({clause.get(), binds.get()});
}

// self.to_prepared_statement(ret, params), unpacked.
std::pair<Ref, Ref> prepare_via_self(Render& r, const Chars& ret, Borrowed params) {
  Ref m = getattr(r.self, N->to_prepared_statement);
  Ref result = m.get() == S.to_prepared_statement ? prepare(r.globals, ret, params)
                                                  : call(m, {to_str(ret).get(), params.get()});
  return unpack2(result);
}

// Whether finishing is all our own: the instance's to_prepared_statement and
// the class's _format_sql.
bool own_finishing(const Render& r) {
  Ref m = getattr(r.self, N->to_prepared_statement);
  if (m.get() != S.to_prepared_statement) return false;
  Ref fmt = getattr(global(r.globals, N->ParseMapper), N->format_sql);
  return fmt.get() == S.format_sql;
}

// What finishing makes of a text, whatever the parameters: the finished SQL,
// its clause made by `text_fn` and the clause's text as made (for the check
// that it is still the same), then the placeholder names in order of first
// occurrence. None when a name is a foreach position, whose value finishing
// has to work out.
Ref finish_once(Borrowed text_fn, Borrowed text) {
  Scratch in;
  const Chars& sql = load(*in, text.get());
  Ref names = new_dict();
  bool positional = false;
  scan_names(sql.data(), sql.size(), '#', [&](size_t b, size_t e) {
    static const char marker[] = "_for_index_";
    positional = positional || std::search(sql.data() + b, sql.data() + e, marker,
                                           marker + sizeof marker - 1) != sql.data() + e;
    dict_set(names, ascii_str(sql.data() + b, e - b), Py_None);
  });
  if (positional) return none();
  Scratch scratch;
  Chars& out = *scratch;
  out.reserve(sql.size());
  Collapser<Chars> sink(out);
  rewrite_placeholders(sql.data(), sql.size(), sink);
  sink.finish();
  Ref finished = to_str(out);
  Ref clause = S.clauses->text(text_fn, finished);
  Ref made = getattr_opt(clause, N->text);
  if (!made) return none();
  Ref memo = Ref::check(PyTuple_New(PyDict_GET_SIZE(names.get()) + 3));
  PyTuple_SET_ITEM(memo.get(), 0, finished.release());
  PyTuple_SET_ITEM(memo.get(), 1, clause.release());
  PyTuple_SET_ITEM(memo.get(), 2, made.release());
  Py_ssize_t pos = 0, i = 3;
  PyObject *name, *unused;
  while (PyDict_Next(names.get(), &pos, &name, &unused)) {
    PyTuple_SET_ITEM(memo.get(), i++, Py_NewRef(name));
  }
  return memo;
}

// A statement without child elements renders to its own text on every call,
// so while finishing is our own and `text` is SQLAlchemy's, what finishing
// makes of that text is kept, keyed by the text, and a call only looks the
// values up. Null when the statement is to be rendered and finished as
// usual.
Ref prepare_static(Render& r, Borrowed element, Borrowed head, Borrowed params) {
  if (reinterpret_cast<PyObject*>(Py_TYPE(element.get())) != S.element_type ||
      !PyUnicode_CheckExact(head.get()) || !PyDict_CheckExact(params.get())) {
    return Ref();
  }
  const Py_ssize_t children = PyObject_Size(element);
  if (children < 0) throw_error();
  if (children > 0 || !own_finishing(r)) return Ref();
  Ref text_fn = Ref::borrow(global(r.globals, N->text));
  if (!S.clauses->serves(text_fn)) return Ref();
  Ref memo = S.finished->get(head);
  if (!memo) {
    memo = finish_once(text_fn, head);
    S.finished->put(head, memo);
  }
  if (!PyTuple_Check(memo.get())) return Ref();
  Ref binds = new_dict();
  for (Py_ssize_t i = 3, n = PyTuple_GET_SIZE(memo.get()); i < n; ++i) {
    PyObject* name = PyTuple_GET_ITEM(memo.get(), i);
    Borrowed value = dict_get(params, name);
    dict_set(binds, name, value ? value : Borrowed(Py_None));
  }
  // A clause whose text a caller has reassigned is not handed out again.
  Ref clause = Ref::borrow(PyTuple_GET_ITEM(memo.get(), 1));
  if (getattr_opt(clause, N->text).get() != PyTuple_GET_ITEM(memo.get(), 2)) {
    clause = S.clauses->text(text_fn, PyTuple_GET_ITEM(memo.get(), 0));
  }
  return tuple({clause.get(), binds.get()});
}

// ---------------------------------------------------------------------------
// Notes on failures

Ref mapper_file(Borrowed self) {
  PyObject* path = PyObject_GetItem(S.paths, self);
  if (!path) PyErr_Clear();
  return Ref::steal(path);
}

// Whether `exc` carries `note` already. The same exception object can pass
// here many times (one a test expression keeps and raises again, or one
// coming out of a get_sql called from a test at each level); it gets each
// note once. Reading __notes__ can run Python code; if that fails, the
// answer is no.
bool has_note(Borrowed exc, Borrowed note) {
  static PyObject* notes_name = intern("__notes__");
  Ref notes = Ref::steal(PyObject_GetAttr(exc, notes_name));
  if (!notes) {
    PyErr_Clear();
    return false;
  }
  if (!PyList_CheckExact(notes.get())) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(notes.get()); ++i) {
    PyObject* n = PyList_GET_ITEM(notes.get(), i);
    if (PyUnicode_CheckExact(n) && PyUnicode_Compare(n, note) == 0) return true;
  }
  return false;
}

// Adds to the exception being raised a note saying where it happened: the
// mapper file and the statement when `id` is given, and what failed inside
// (an expression, a collection that is no list, an element of unknown tag).
// The note is built with the exception set aside; if building it fails, the
// exception goes on without it.
void note_failure(const Render& r, Borrowed self, Borrowed id) {
  Ref exc = fetch_exception();
  auto quiet = [](PyObject* made) {
    if (!made) PyErr_Clear();
    return Ref::steal(made);
  };
  Ref where, what;
  if (id) {
    Ref path = mapper_file(self);
    where = quiet(path ? PyUnicode_FromFormat("mapper file %R, statement %R", path.get(), id.get())
                       : PyUnicode_FromFormat("statement %R", id.get()));
  }
  if (r.expr) {
    what = quiet(PyUnicode_FromFormat("%s %R", r.what, r.expr.get()));
  } else if (r.tag) {
    what = quiet(PyUnicode_FromFormat("unexpected element %R", r.tag.get()));
  }
  Ref note = where && what ? quiet(PyUnicode_FromFormat("%U, %U", where.get(), what.get()))
                           : (where ? where : what);
  if (note && exc && has_note(exc, note)) note.reset();
  restore_exception(std::move(exc));
  if (note) add_note_to_current(note);
}

// ---------------------------------------------------------------------------
// ParseMapper

// def __init__(self, xml_path: str = None)
Ref init(FunctionObject* f, Ref* a) {
  Borrowed self = a[0], xml_path = a[1];
  Ref id_map = new_dict();
  Ref result_types = new_dict();
  Ref sql_types = new_dict();
  setattr(self, N->id_2_element_map, id_map);
  setattr(self, N->result_type_map, result_types);
  setattr(self, N->sql_type_map, sql_types);

  Ref tree = call_method(global(f, N->et), N->parse, {xml_path.get()});
  Ref root = call_method(tree, N->getroot, {});
  Ref walk = call_method(root, N->iter, {});
  Ref it = Ref::check(PyObject_GetIter(walk.get()));
  while (Ref el = Ref::steal(PyIter_Next(it.get()))) {
    if (!equals(getattr(el, N->tag), N->mapper)) continue;
    Ref attrib = getattr(el, N->attrib);
    if (contains(attrib, N->namespace_))
      setattr(self, N->namespace_, getitem(attrib, N->namespace_));
    root = std::move(el);
    break;
  }
  if (PyErr_Occurred()) throw_error();

  for_each(root, [&](Borrowed child) {
    Ref tag = getattr(child, N->tag);
    if (!contains(global(f, N->sql_id_type_list), tag)) return;
    Ref sql_id = call_method(child, N->get, {N->id});
    Ref result_type = none();
    if (equals(tag, N->select)) result_type = call_method(child, N->get, {N->resultType});
    if (result_type.get() == Py_None) {
      result_type = Ref::borrow(global(f, N->dict));
    } else {
      Ref temp_type = call(global(f, N->get_type_from_string), {result_type.get()});
      if (truthy(call(global(f, N->is_container_type_by_str), {result_type.get()})) &&
          temp_type.get() != global(f, N->dict).get()) {
        static PyObject* refused = intern("please check result_type: can`t set type: ");
        raise(PyExc_TypeError, concat({refused, result_type.get()}));
      }
      result_type = std::move(temp_type);
    }
    if (sql_id.get() == Py_None) raise(PyExc_Exception, "Missing id");
    check(PyObject_SetItem(id_map.get(), sql_id.get(), child.get()));
    check(PyObject_SetItem(result_types.get(), sql_id.get(), result_type.get()));
    check(PyObject_SetItem(sql_types.get(), sql_id.get(), tag.get()));
  });

  // Remembered for the notes on rendering failures; an object that cannot
  // be a weak key simply goes without.
  if (PyObject_SetItem(S.paths, self, xml_path) < 0) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_error();
    PyErr_Clear();
  }
  return none();
}

// self.<method>(sql_id, params). Our own select, update or delete, bound to
// this instance, runs directly when the arguments are of the exact types its
// checks let through unchanged.
Ref run_statement(Borrowed self, PyObject* method, Borrowed sql_id, Borrowed params) {
  Ref m = getattr(self, method);
  if (PyMethod_Check(m.get()) && PyMethod_GET_SELF(m.get()) == self.get() &&
      PyUnicode_CheckExact(sql_id.get()) && PyDict_CheckExact(params.get())) {
    PyObject* fn = PyMethod_GET_FUNCTION(m.get());
    if (fn == S.select || fn == S.update || fn == S.delete_) {
      auto* own = reinterpret_cast<FunctionObject*>(fn);
      Ref args[3] = {Ref::borrow(self), Ref::borrow(sql_id), Ref::borrow(params)};
      return own->code->impl(own, args);
    }
  }
  return call(m, {sql_id.get(), params.get()});
}

// def get_sql(self, sql_id: str, params: dict = None) -> tuple
Ref get_sql(FunctionObject*, Ref* a) {
  Borrowed self = a[0], sql_id = a[1], params = a[2];
  Ref result_type = map_get(getattr(self, N->result_type_map), sql_id, Py_None);
  Ref sql_type = map_get(getattr(self, N->sql_type_map), sql_id, Py_None);
  PyObject* method = N->delete_;
  if (equals(sql_type, N->select)) {
    method = N->select;
  } else if (equals(sql_type, N->insert)) {
    method = N->insert;
  } else if (equals(sql_type, N->update)) {
    method = N->update;
  }
  Ref result = run_statement(self, method, sql_id, params);
  auto [clause, binds] = unpack2(result);
  return tuple({clause.get(), binds.get(), sql_type.get(), result_type.get()});
}

// def list_statement(self)
Ref list_statement(FunctionObject*, Ref* a) {
  return call_method(getattr(a[0], N->id_2_element_map), N->keys, {});
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

Ref trim(Ref* a, bool at_end) {
  std::vector<Piece> pieces = pieces_of(a[1]);
  Scratch scratch;
  Chars& s = load(*scratch, a[0].get());
  cut_pieces(s, 0, pieces, at_end);
  return to_str(s);
}

// @staticmethod def _trim_prefix(s: str, prefixes: set[str])
Ref trim_prefix(FunctionObject*, Ref* a) {
  return trim(a, false);
}

// @staticmethod def _trim_suffix(s: str, suffixes: set[str])
Ref trim_suffix(FunctionObject*, Ref* a) {
  return trim(a, true);
}

// def parse_element(self, element: "et.Element", param: dict)
Ref parse_element(FunctionObject* f, Ref* a) {
  Render r{f->globals, a[0].get()};
  Scratch scratch;
  Chars& out = *scratch;
  try {
    Ref res = render(r, a[1], a[2], out);
    if (res) return res;
  } catch (const PyError&) {
    note_failure(r, Borrowed(), Borrowed());
    throw;
  }
  return to_str(out);
}

// @staticmethod def _format_sql(sql)
Ref format_sql(FunctionObject*, Ref* a) {
  Borrowed sql = a[0];
  if (!PyUnicode_Check(sql.get())) {
    Ref words = call_method(call_method(sql, N->strip, {}), N->split, {});
    return Ref::check(PyUnicode_Join(N->blank, words.get()));
  }
  Scratch scratch;
  Chars& s = load(*scratch, sql.get());
  collapse_tail(s, 0);
  return to_str(s);
}

[[noreturn]] void raise_not_text(FunctionObject* f, PyObject* pattern, Borrowed value) {
  // The pattern reports what it cannot scan.
  call_method(global(f, pattern), N->findall, {value.get()});
  raise_format(PyExc_TypeError, "expected string or bytes-like object, got '%.200s'",
               Py_TYPE(value.get())->tp_name);
}

// @staticmethod def to_prepared_statement(ret, param) -> tuple[TextClause, dict]
Ref to_prepared_statement(FunctionObject* f, Ref* a) {
  if (!PyUnicode_Check(a[0].get())) raise_not_text(f, N->param_pattern, a[0]);
  Scratch scratch;
  return prepare(f->globals, load(*scratch, a[0].get()), a[1]);
}

// @staticmethod def to_replace(ret, param) -> str
Ref to_replace(FunctionObject* f, Ref* a) {
  Ref ret = a[0];
  Borrowed param = a[1];
  if (!PyUnicode_Check(ret.get())) raise_not_text(f, N->replace_pattern, ret);
  std::vector<Ref> names;
  Scratch scratch;
  const Chars& text = load(*scratch, ret.get());
  scan_names(text.data(), text.size(), '$',
             [&](size_t b, size_t e) { names.push_back(ascii_str(text.data() + b, e - b)); });
  static PyObject* open = intern("${");
  static PyObject* close = intern("}");
  for (const Ref& name : names) {
    Ref value = contains(param, name) ? getitem(param, name) : Ref::borrow(N->empty);
    Ref old = concat({open, name.get(), close});
    if (PyUnicode_Check(ret.get()) && PyUnicode_Check(value.get())) {
      ret = Ref::check(PyUnicode_Replace(ret.get(), old.get(), value.get(), -1));
    } else {
      ret = call_method(ret, N->replace, {old.get(), value.get()});
    }
  }
  return ret;
}

// select, update, delete and insert: render the statement with this id.
Ref statement(FunctionObject* f, Ref* a, PyObject* kind, const char* wrong_kind) {
  Borrowed self = a[0], id = a[1], params = a[2];
  Ref id_map = getattr(self, N->id_2_element_map);
  if (!contains(id_map, id)) raise(PyExc_Exception, "Missing id");
  Ref element = getitem(id_map, id);
  if (!equals(getattr(element, N->tag), kind)) raise(PyExc_Exception, wrong_kind);
  Render r{f->globals, self.get()};
  try {
    Ref head = getattr(element, N->text);
    if (Ref done = prepare_static(r, element, head, params)) return done;
    Scratch scratch;
    Chars& ret = *scratch;
    append_opt(ret, head.get());
    Ref param0 = new_dict();
    dict_set(param0, N->params, params);
    for_each(element, [&](Borrowed child) {
      render_child(r, child, param0, ret);
      append_opt(ret, getattr(child, N->tail).get());
    });
    auto [clause, binds] = prepare_via_self(r, ret, params);
    return tuple({clause.get(), binds.get()});
  } catch (const PyError&) {
    note_failure(r, self, id);
    throw;
  }
}

// def select(self, id: str, params: dict) -> tuple[TextClause, dict]
Ref select(FunctionObject* f, Ref* a) {
  return statement(f, a, N->select, "Not a select");
}

// def update(self, id: str, params: dict) -> tuple[TextClause, dict]
Ref update(FunctionObject* f, Ref* a) {
  return statement(f, a, N->update, "Not an update");
}

// def delete(self, id: str, params: dict) -> tuple[TextClause, dict]
Ref delete_(FunctionObject* f, Ref* a) {
  return statement(f, a, N->delete_, "Not a delete");
}

// def insert(self, id: str, params: dict, primary_key: str = None) -> tuple[TextClause, dict]
Ref insert(FunctionObject* f, Ref* a) {
  Ref result = statement(f, a, N->insert, "Not an insert");
  Borrowed primary_key = a[3];
  if (primary_key.get() == Py_None || !truthy(primary_key)) return result;
  Ref sql = getattr(PyTuple_GET_ITEM(result.get(), 0), N->text);
  sql = Ref::check(PyNumber_Add(sql.get(), N->returning));
  sql = Ref::check(PyNumber_Add(sql.get(), primary_key));
  Ref clause = S.clauses->text(global(f, N->text), sql);
  return tuple({clause.get(), PyTuple_GET_ITEM(result.get(), 1)});
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "xml_reader", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_xml_reader() {
  return init_module(&module_def, [](Borrowed g) {
    N = new Names();
    PyObject* str_t = reinterpret_cast<PyObject*>(&PyUnicode_Type);
    PyObject* dict_t = reinterpret_cast<PyObject*>(&PyDict_Type);
    PyObject* tuple_t = reinterpret_cast<PyObject*>(&PyTuple_Type);
    PyObject* set_t = reinterpret_cast<PyObject*>(&PySet_Type);

    Ref re = import("re");
    dict_set(g, "re", re);
    dict_set(g, "et", import("xml.etree.ElementTree"));
    Ref text_fn = import_attr("sqlalchemy", "text");
    dict_set(g, "text", text_fn);
    Ref text_clause = import_attr("sqlalchemy", "TextClause");
    dict_set(g, "TextClause", text_clause);
    dict_set(g, "get_type_from_string",
             import_attr("wisp.utils.class_probe", "get_type_from_string"));
    dict_set(g, "is_container_type_by_str",
             import_attr("wisp.utils.class_probe", "is_container_type_by_str"));
    Ref kinds = new_list();
    for (PyObject* k : {N->sql, N->select, N->insert, N->update, N->delete_}) list_append(kinds, k);
    dict_set(g, "sql_id_type_list", kinds);
    Ref compile = getattr(re, "compile");
    dict_set(g, "param_pattern", call(compile, {str("#{([a-zA-Z0-9_\\-]+)}").get()}));
    dict_set(g, "replace_pattern", call(compile, {str("\\${([a-zA-Z0-9_\\-]+)}").get()}));

    S.tags = new_dict().release();
    for (long i = 0; i < 10; ++i) dict_set(S.tags, N->tags[i], Ref::check(PyLong_FromLong(i)));
    S.code_cache = new_dict().release();
    S.loop_cache = new_dict().release();
    S.paths = call(import_attr("weakref", "WeakKeyDictionary")).release();
    S.builtin_eval = import_attr("builtins", "eval").release();
    S.clauses = new ClauseCache(text_fn);
    S.finished = new LruCache();
    S.element_type = import_attr("xml.etree.ElementTree", "Element").release();

    Ref set_of_str = Ref::check(PyObject_GetItem(set_t, str_t));
    Ref prepared = Ref::check(PyObject_GetItem(tuple_t, tuple({text_clause.get(), dict_t}).get()));

    ClassBuilder cls("ParseMapper", g);
    Def init_def("__init__", init);
    init_def.param("self").param("xml_path").annotate(str_t).def(Py_None);
    cls.method(init_def);
    Def get_sql_def("get_sql", get_sql);
    get_sql_def
        .doc(
            "\n"
            "        Get SQL Statement By sql_id\n"
            "        Formatting of SQL Statements\n"
            "        :return:\n"
            "        ")
        .param("self")
        .param("sql_id")
        .annotate(str_t)
        .param("params")
        .annotate(dict_t)
        .def(Py_None)
        .returns(tuple_t);
    cls.method(get_sql_def);
    Def list_def("list_statement", list_statement);
    list_def.param("self");
    cls.method(list_def);
    Def prefix_def("_trim_prefix", trim_prefix);
    prefix_def.param("s").annotate(str_t).param("prefixes").annotate(set_of_str, Check::Set);
    S.trim_prefix = cls.staticmethod(prefix_def).release();
    Def suffix_def("_trim_suffix", trim_suffix);
    suffix_def.param("s").annotate(str_t).param("suffixes").annotate(set_of_str, Check::Set);
    S.trim_suffix = cls.staticmethod(suffix_def).release();
    Def parse_def("parse_element", parse_element);
    parse_def.param("self").param("element").annotate("et.Element").param("param").annotate(dict_t);
    S.parse_element = cls.method(parse_def).release();
    Def format_def("_format_sql", format_sql);
    format_def.param("sql");
    S.format_sql = cls.staticmethod(format_def).release();
    Def prepare_def("to_prepared_statement", to_prepared_statement);
    prepare_def.param("ret").param("param").returns(prepared);
    S.to_prepared_statement = cls.staticmethod(prepare_def).release();
    Def replace_def("to_replace", to_replace);
    replace_def.param("ret").param("param").returns(str_t);
    cls.staticmethod(replace_def);
    Def select_def("select", select);
    select_def.param("self").param("id").annotate(str_t).param("params").annotate(dict_t).returns(
        prepared);
    S.select = cls.method(select_def).release();
    Def update_def("update", update);
    update_def.param("self").param("id").annotate(str_t).param("params").annotate(dict_t).returns(
        prepared);
    S.update = cls.method(update_def).release();
    Def delete_def("delete", delete_);
    delete_def.param("self").param("id").annotate(str_t).param("params").annotate(dict_t).returns(
        prepared);
    S.delete_ = cls.method(delete_def).release();
    Def insert_def("insert", insert);
    insert_def.param("self")
        .param("id")
        .annotate(str_t)
        .param("params")
        .annotate(dict_t)
        .param("primary_key")
        .annotate(str_t)
        .def(Py_None)
        .returns(prepared);
    cls.method(insert_def);
    dict_set(g, "ParseMapper", cls.make());
  });
}
