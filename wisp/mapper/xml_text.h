// wisp.mapper.xml_reader: the code-point buffer rendering writes into, and
// the scanners that run over it (placeholder names, whitespace collapsing,
// placeholder rewriting). Nothing here runs Python code.
#pragma once

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "wisp/rt.h"

namespace wisp::xml {

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

inline void append(Chars& out, PyObject* s) {
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

inline void append_ascii(Chars& out, const char* s) {
  while (*s) out.push_back(Py_UCS4(static_cast<unsigned char>(*s++)));
}

inline Chars& load(Chars& into, PyObject* s) {
  into.clear();
  append(into, s);
  return into;
}

inline Ref to_str(const Py_UCS4* p, size_t n) {
  return Ref::check(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, p, Py_ssize_t(n)));
}
inline Ref to_str(const Chars& c) {
  return to_str(c.data(), c.size());
}

[[noreturn]] inline void raise_concat(PyObject* v) {
  raise_format(PyExc_TypeError, "can only concatenate str (not \"%.200s\") to str",
               Py_TYPE(v)->tp_name);
}

// ret += v
inline void append_concat(Chars& out, PyObject* v) {
  if (!PyUnicode_Check(v)) raise_concat(v);
  append(out, v);
}

// ret += v, an absent text or tail (None) counting as the empty string
inline void append_opt(Chars& out, PyObject* v) {
  if (v != Py_None) append_concat(out, v);
}

inline bool is_space(Py_UCS4 c) {
  return Py_UNICODE_ISSPACE(c);
}

inline bool word_char(Py_UCS4 c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// A character of a placeholder name: a word character or "-".
inline bool name_char(Py_UCS4 c) {
  return word_char(c) || c == '-';
}

// What a foreach writes into the placeholder name of an element it leaves
// to finishing: "#{<collection>_for_index_<position>}".
inline constexpr char kForIndex[] = "_for_index_";
inline constexpr size_t kForIndexLen = sizeof kForIndex - 1;

// Where the marker starts in the name p[0, n); n when it has none.
inline size_t for_index_at(const Py_UCS4* p, size_t n) {
  return size_t(std::search(p, p + n, kForIndex, kForIndex + kForIndexLen) - p);
}

// ---------------------------------------------------------------------------
// Scanners

// Each "<lead>{name}" with a name of ASCII letters, digits, "_" and "-", left
// to right and without overlap: what findall of the placeholder patterns
// gives. `on_name` gets the bounds of the name.
template <class F>
inline void scan_names(const Py_UCS4* p, size_t n, Py_UCS4 lead, F&& on_name) {
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
inline void collapse_tail(Chars& s, size_t from) {
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
//
// A PostgreSQL cast written right after a placeholder, "#{day}::date",
// would read ":day::date", which SQLAlchemy's text() does not take for a
// bind parameter (a name followed by a colon is none). Its two colons are
// written escaped, ":day\:\:date", which text() takes for the bind
// parameter `day` followed by the literal "::date".
template <class Sink>
inline void rewrite_placeholders(const Py_UCS4* p, size_t n, Sink& sink) {
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
        if (i + 1 < n && p[i] == ':' && p[i + 1] == ':') {
          for (Py_UCS4 c : {'\\', ':', '\\', ':'}) sink.put(c);
          i += 2;
        }
        continue;
      }
    }
    sink.put(p[i++]);
  }
  for (; i < n; ++i) sink.put(p[i]);
}

inline void strip_bounds(const Chars& s, size_t& b, size_t& e) {
  while (b < e && is_space(s[b])) ++b;
  while (e > b && is_space(s[e - 1])) --e;
}

inline bool same(const Py_UCS4* p, const Chars& word) {
  return std::equal(word.begin(), word.end(), p);
}

// ---------------------------------------------------------------------------
// Pieces cut off a text by trimming

// One entry of a prefix or suffix set: its length, and its code points when
// it is a str. Anything else is matched through startswith/endswith.
struct Piece {
  Ref obj;
  size_t len;
  bool text;
  Chars chars;
};

inline Piece text_piece(Ref s) {
  Piece p{std::move(s), 0, true, Chars()};
  append(p.chars, p.obj.get());
  p.len = p.chars.size();
  return p;
}

// Longest first; equal lengths keep their order.
inline void order_pieces(std::vector<Piece>& pieces) {
  std::stable_sort(pieces.begin(), pieces.end(),
                   [](const Piece& a, const Piece& b) { return a.len > b.len; });
}

}  // namespace wisp::xml
