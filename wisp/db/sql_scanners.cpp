// Scanners over SQL text for the count and page statements of a page.
#include "sql_scanners.h"

#include <string>
#include <vector>

namespace wisp::db {

namespace {

// The count form is decided by two patterns, applied here by hand with the
// semantics Python's `re` gives them on a str:
//   ^\s*SELECT\s+(.*?)\s+FROM\s+              IGNORECASE | DOTALL
//   \b(distinct|group\s+by|having|union)\b    IGNORECASE
// \s is Py_UNICODE_ISSPACE, a word character is Py_UNICODE_ISALNUM or "_",
// and IGNORECASE also lets U+017F match "s" and U+0130, U+0131 match "i".

// A str with its canonical representation in place.
PyObject* ready(Borrowed s) {
#if PY_VERSION_HEX < 0x030C0000
  if (PyUnicode_READY(s.get()) < 0) throw_error();
#endif
  return s.get();
}

// A str read by code point; reads past the end give 0.
class Chars {
 public:
  explicit Chars(Borrowed s)
      : kind_(PyUnicode_KIND(ready(s))),
        data_(PyUnicode_DATA(s.get())),
        n_(PyUnicode_GET_LENGTH(s.get())) {}
  Py_UCS4 operator[](Py_ssize_t i) const {
    return i >= 0 && i < n_ ? PyUnicode_READ(kind_, data_, i) : 0;
  }
  Py_ssize_t size() const { return n_; }

 private:
  int kind_;
  const void* data_;
  Py_ssize_t n_;
};

bool is_space(Py_UCS4 c) {
  return c != 0 && Py_UNICODE_ISSPACE(c);
}
bool is_word(Py_UCS4 c) {
  return c != 0 && (c == '_' || Py_UNICODE_ISALNUM(c));
}

// `c` matches the lower-case ASCII letter `lower` under IGNORECASE.
bool folds_to(Py_UCS4 c, char lower) {
  if (c < 128) return c == Py_UCS4(lower) || c == Py_UCS4(lower - 'a' + 'A');
  if (lower == 's') return c == 0x17F;
  if (lower == 'i') return c == 0x130 || c == 0x131;
  return false;
}

bool word_at(const Chars& t, Py_ssize_t i, const char* word) {
  for (; *word; ++word, ++i) {
    if (i >= t.size() || !folds_to(t[i], *word)) return false;
  }
  return true;
}

Py_ssize_t skip_spaces(const Chars& t, Py_ssize_t i) {
  while (i < t.size() && is_space(t[i])) ++i;
  return i;
}

// "FROM" at `r` with a blank after it.
bool from_at(const Chars& t, Py_ssize_t r) {
  return word_at(t, r, "from") && is_space(t[r + 4]);
}

struct SelectMatch {
  bool found = false;
  Py_ssize_t list_end = 0;  // end of group 1, where the blanks before FROM start
  Py_ssize_t end = 0;       // end of the match, after the blanks following FROM
};

// ^\s*SELECT\s+(.*?)\s+FROM\s+ as re.search finds it.
SelectMatch match_select_from(const Chars& t) {
  SelectMatch m;
  Py_ssize_t s = skip_spaces(t, 0);
  if (!word_at(t, s, "select")) return m;
  s += 6;
  if (!is_space(t[s])) return m;
  const Py_ssize_t q = skip_spaces(t, s);  // SELECT\s+ takes every blank first
  Py_ssize_t r = -1, p = 0;
  for (Py_ssize_t i = q + 1; i + 4 < t.size(); ++i) {
    if (is_space(t[i - 1]) && from_at(t, i)) {
      r = i;
      p = i - 1;
      while (p > q && is_space(t[p - 1])) --p;
      break;
    }
  }
  if (r < 0) {
    // Backtracking into SELECT's blanks: FROM right after them, when they
    // are at least two, one for each \s+.
    if (q - s < 2 || !from_at(t, q)) return m;
    r = q;
    p = q - 1;
  }
  m.found = true;
  m.list_end = p;
  m.end = skip_spaces(t, r + 4);
  return m;
}

// \b(distinct|group\s+by|having|union)\b anywhere in the text.
bool has_wrap_keyword(const Chars& t) {
  const Py_ssize_t n = t.size();
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (is_word(t[i - 1])) continue;
    Py_ssize_t e = -1;
    if (word_at(t, i, "distinct")) {
      e = i + 8;
    } else if (word_at(t, i, "having")) {
      e = i + 6;
    } else if (word_at(t, i, "union")) {
      e = i + 5;
    } else if (word_at(t, i, "group") && is_space(t[i + 5])) {
      Py_ssize_t b = skip_spaces(t, i + 5);
      if (word_at(t, b, "by")) e = b + 2;
    }
    if (e >= 0 && !is_word(t[e])) return true;
  }
  return false;
}

// Follows the statement far enough to tell whether a position lies at its
// top level: outside parentheses, quoted text and comments.
class SqlScanner {
 public:
  SqlScanner(const Chars& t, const Syntax& syntax) : t_(t), syntax_(syntax) {}

  Py_ssize_t pos() const { return pos_; }
  bool top_level() const { return state_ == kCode && depth_ == 0 && !broken_; }
  bool in_code() const { return state_ == kCode; }

  void advance_to(Py_ssize_t target) {
    while (pos_ < target) step();
  }
  void skip_to(Py_ssize_t target) { pos_ = target; }

  void step() {
    Py_UCS4 c = t_[pos_], next = t_[pos_ + 1];
    Py_ssize_t width = 1;
    switch (state_) {
      case kCode:
        if (c == '(') {
          ++depth_;
        } else if (c == ')') {
          if (--depth_ < 0) broken_ = true;
        } else if (c == '\'' || c == '"' || c == '`') {
          state_ = kQuote;
          quote_ = c;
          escapes_ = c != '`' && (syntax_.backslash_escapes || escape_string_at(pos_));
        } else if ((c == '-' && next == '-') || (c == '#' && syntax_.hash_comments)) {
          state_ = kLineComment;
        } else if (c == '/' && next == '*') {
          state_ = kBlockComment;
          width = 2;
        } else if (c == '$' && syntax_.dollar_quotes) {
          Py_ssize_t tag = dollar_tag_at(pos_);
          if (tag > 0) {
            state_ = kDollarQuote;
            tag_start_ = pos_;
            tag_length_ = tag;
            width = tag;
          }
        }
        break;
      case kDollarQuote:
        if (c == '$' && same_tag_at(pos_)) {
          state_ = kCode;
          width = tag_length_;
        }
        break;
      case kQuote:
        if (c == '\\' && escapes_) {
          width = 2;
        } else if (c == quote_) {
          if (next == quote_) {
            width = 2;
          } else {
            state_ = kCode;
          }
        }
        break;
      case kLineComment:
        if (c == '\n') state_ = kCode;
        break;
      case kBlockComment:
        if (c == '*' && next == '/') {
          state_ = kCode;
          width = 2;
        }
        break;
    }
    pos_ += width;
  }

 private:
  enum State { kCode, kQuote, kLineComment, kBlockComment, kDollarQuote };

  // Whether the quote at `i` opens an E'...' string, in which a backslash
  // escapes: an E (either case) that does not end a longer word.
  bool escape_string_at(Py_ssize_t i) const {
    return t_[i] == '\'' && (t_[i - 1] == 'e' || t_[i - 1] == 'E') && !is_word(t_[i - 2]) &&
           t_[i - 2] != '$';
  }

  // The length of the dollar-quote tag ("$$", "$name$") that starts at `i`,
  // or 0: the "$" ends no identifier, and the tag is an identifier without
  // "$" (so "$1", a positional parameter, is none).
  Py_ssize_t dollar_tag_at(Py_ssize_t i) const {
    if (is_word(t_[i - 1]) || t_[i - 1] == '$') return 0;
    Py_ssize_t j = i + 1;
    if (t_[j] != '$') {
      if (!is_word(t_[j]) || Py_UNICODE_ISDIGIT(t_[j])) return 0;
      while (is_word(t_[j])) ++j;
      if (t_[j] != '$') return 0;
    }
    return j + 1 - i;
  }

  // Whether the tag that opened the current dollar quote stands again at `i`.
  bool same_tag_at(Py_ssize_t i) const {
    for (Py_ssize_t k = 0; k < tag_length_; ++k) {
      if (t_[i + k] != t_[tag_start_ + k]) return false;
    }
    return true;
  }

  const Chars& t_;
  const Syntax& syntax_;
  Py_ssize_t pos_ = 0;
  int depth_ = 0;
  bool broken_ = false;
  State state_ = kCode;
  Py_UCS4 quote_ = 0;
  bool escapes_ = true;
  Py_ssize_t tag_start_ = 0;
  Py_ssize_t tag_length_ = 0;
};

// Where the count form may cut the text: after the first "\s+FROM\s+" that
// stands at the top level. The first FROM after SELECT (the match) is taken
// when it is at the top level; a FROM inside a parenthesised subquery, a
// function call such as EXTRACT(YEAR FROM d), a quoted string or a comment
// is passed over, since cutting there gives invalid SQL. -1 when there is
// none.
Py_ssize_t top_level_cut(const Chars& t, const SelectMatch& m, const Syntax& syntax) {
  SqlScanner sc(t, syntax);
  sc.advance_to(m.list_end);
  if (sc.top_level()) return m.end;
  const Py_ssize_t n = t.size();
  while (sc.pos() < n) {
    Py_ssize_t p = sc.pos();
    if (sc.top_level() && is_space(t[p])) {
      Py_ssize_t r = skip_spaces(t, p);
      if (from_at(t, r)) return skip_spaces(t, r + 4);
      sc.skip_to(r);  // blanks change nothing
      continue;
    }
    sc.step();
  }
  return -1;
}

// Aggregate functions of MariaDB, MySQL and SQLite. Called without GROUP BY
// in the select list, one of them folds every row into one.
constexpr const char* kAggregates[] = {"count",
                                       "sum",
                                       "avg",
                                       "min",
                                       "max",
                                       "group_concat",
                                       "json_arrayagg",
                                       "json_objectagg",
                                       "bit_and",
                                       "bit_or",
                                       "bit_xor",
                                       "std",
                                       "stddev",
                                       "stddev_pop",
                                       "stddev_samp",
                                       "var_pop",
                                       "var_samp",
                                       "variance",
                                       "total",
                                       "json_group_array",
                                       "json_group_object",
                                       "string_agg"};

// Whether an aggregate function is called at `i` ("max (" too).
bool aggregate_call_at(const Chars& t, Py_ssize_t i) {
  if (is_word(t[i - 1])) return false;
  for (const char* name : kAggregates) {
    const auto len = Py_ssize_t(std::char_traits<char>::length(name));
    if (word_at(t, i, name) && !is_word(t[i + len]) && t[skip_spaces(t, i + len)] == '(') {
      return true;
    }
  }
  return false;
}

// Whether the select list, the text before `end`, calls an aggregate
// function outside a nested SELECT: such a statement yields one row, not
// one per row of its FROM part, and only the subquery form counts it right
// (it is right for window functions and scalar calls alike).
bool calls_aggregate(const Chars& t, Py_ssize_t end, const Syntax& syntax) {
  SqlScanner sc(t, syntax);
  std::vector<bool> subquery;  // per open parenthesis: whether a SELECT starts in it
  size_t nested_selects = 0;
  while (sc.pos() < end) {
    const Py_ssize_t p = sc.pos();
    if (sc.in_code()) {
      if (t[p] == '(') {
        const Py_ssize_t w = skip_spaces(t, p + 1);
        const bool select = word_at(t, w, "select") && !is_word(t[w + 6]);
        subquery.push_back(select);
        nested_selects += select;
      } else if (t[p] == ')' && !subquery.empty()) {
        nested_selects -= subquery.back();
        subquery.pop_back();
      } else if (nested_selects == 0 && aggregate_call_at(t, p)) {
        return true;
      }
    }
    sc.step();
  }
  return false;
}

}  // namespace

Py_ssize_t count_cut(Borrowed text, const Syntax& syntax) {
  Chars t(text);
  SelectMatch m = match_select_from(t);
  if (!m.found || has_wrap_keyword(t)) return -1;
  const Py_ssize_t cut = top_level_cut(t, m, syntax);
  if (cut >= 0 && calls_aggregate(t, cut, syntax)) return -1;
  return cut;
}

namespace {

// `word` as a whole word at `i`.
bool whole_word_at(const Chars& t, Py_ssize_t i, const char* word) {
  const auto len = Py_ssize_t(std::char_traits<char>::length(word));
  return !is_word(t[i - 1]) && word_at(t, i, word) && !is_word(t[i + len]);
}

}  // namespace

bool has_top_level_word(Borrowed text, const char* word, const Syntax& syntax) {
  Chars t(text);
  SqlScanner sc(t, syntax);
  while (sc.pos() < t.size()) {
    if (sc.top_level() && whole_word_at(t, sc.pos(), word)) return true;
    sc.step();
  }
  return false;
}

OrderBy top_level_order_by(Borrowed text, Py_ssize_t from, const Syntax& syntax) {
  Chars t(text);
  SqlScanner sc(t, syntax);
  sc.advance_to(from);
  OrderBy found;
  auto word_ends = [&](Py_ssize_t i, const char* word) { return whole_word_at(t, i, word); };
  while (sc.pos() < t.size()) {
    const Py_ssize_t p = sc.pos();
    if (sc.top_level()) {
      if (found.start < 0 && word_ends(p, "order") && is_space(t[p + 5])) {
        const Py_ssize_t b = skip_spaces(t, p + 5);
        if (word_ends(b, "by")) {
          found.start = p;
          sc.skip_to(b + 2);
          continue;
        }
      } else if (found.start >= 0) {
        for (const char* clause : {"limit", "offset", "fetch", "for"}) {
          if (word_ends(p, clause)) {
            found.followed = true;
            return found;
          }
        }
      }
    }
    sc.step();
  }
  return found;
}

void count_bounds(Borrowed text, Py_ssize_t& begin, Py_ssize_t& end) {
  Chars t(text);
  begin = skip_spaces(t, 0);
  end = t.size();
  while (end > begin && is_space(t[end - 1])) --end;
  while (end > begin && t[end - 1] == ';') --end;
}

Py_ssize_t statement_end(Borrowed text) {
  Chars t(text);
  Py_ssize_t end = t.size();
  while (end > 0 && (t[end - 1] == ';' || is_space(t[end - 1]))) --end;
  return end;
}

bool ends_in_line_comment(Borrowed text) {
  if (!PyUnicode_Check(text.get())) return false;
  Chars t(text);
  for (Py_ssize_t i = t.size(); i > 0; --i) {
    Py_UCS4 c = t[i - 1];
    if (c == '\n' || c == '\r') return false;
    if (c == '#' || (c == '-' && i >= 2 && t[i - 2] == '-')) return true;
  }
  return false;
}

}  // namespace wisp::db
