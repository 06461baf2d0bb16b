// wisp.db.query_runner: runs one statement or ORM operation on an owned or a
// borrowed session, and pages text selects.
//
// Every operation is one action inside `get_session(con)`. When the class's
// own `get_session` is in force the scope is run inline, with exactly the
// steps of the context manager; an override is honoured through the `with`
// protocol.
#include <memory>

#include "wisp/classes.h"
#include "sessions.h"
#include "wisp/generator.h"
#include "wisp/lru.h"

using namespace wisp;

namespace {

struct Names {
  PyObject* strip = intern("strip");
  PyObject* rstrip = intern("rstrip");
  PyObject* semicolon = intern(";");
  PyObject* text = intern("text");
  PyObject* count_query = intern("count_query");
  PyObject* limit_query = intern("limit_query");
  PyObject* bindparams = intern("bindparams");
  PyObject* data_source = intern("data_source");
  PyObject* get_session = intern("get_session");
  PyObject* execute = intern("execute");
  PyObject* commit = intern("commit");
  PyObject* rollback = intern("rollback");
  PyObject* close = intern("close");
  PyObject* first = intern("first");
  PyObject* all = intern("all");
  PyObject* scalar = intern("scalar");
  PyObject* scalars = intern("scalars");
  PyObject* scalar_one_or_none = intern("scalar_one_or_none");
  PyObject* asdict = intern("_asdict");
  PyObject* lastrowid = intern("lastrowid");
  PyObject* rowcount = intern("rowcount");
  PyObject* add = intern("add");
  PyObject* add_all = intern("add_all");
  PyObject* flush = intern("flush");
  PyObject* bulk_update_mappings = intern("bulk_update_mappings");
  PyObject* update = intern("update");
  PyObject* update_orm2 = intern("update_orm2");
  PyObject* pageNum = intern("pageNum");
  PyObject* pageSize = intern("pageSize");
  PyObject* total = intern("total");
  PyObject* list = intern("list");
  PyObject* enter = intern("__enter__");
  PyObject* exit = intern("__exit__");
  PyObject* simple_count = intern("SELECT COUNT(*) as count FROM ");
  PyObject* wrap_open = intern("select count(*) from ( ");
  PyObject* wrap_close = intern(" ) temp");
  PyObject* limit_tail = intern(" limit :page_size offset :page_offset");
  PyObject* newline = intern("\n");
};
const Names* N;

// Objects captured at import that the fast paths compare against.
struct State {
  PyObject* get_session;  // the contextmanager stored as QueryRunner.get_session
  PyObject* count_query;  // the module's own count_query
  PyObject* limit_query;  // the module's own limit_query
  ClauseCache* clauses;   // text clauses of count and page statements seen before
  PyObject* one;          // 1
  PyObject* kw_page;      // ("page_size", "page_offset")
};
State S;
db::SessionFactory sessions;

// ---------------------------------------------------------------------------
// Sessions

// The scope of get_session: commit and close an owned session, roll back
// on an Exception, close an owned session in every case.
class SessionScope : public ContextBody {
 public:
  SessionScope(Ref self, Ref session, Ref globals)
      : self_(std::move(self)), session_(std::move(session)), globals_(std::move(globals)) {}

 protected:
  Ref enter() override {
    auto_close_ = true;
    if (truthy(session_)) {
      auto_close_ = false;
    } else {
      session_ = sessions.make(globals_, getattr(self_, N->data_source));
    }
    return session_;
  }
  void on_success() override {
    if (auto_close_) call_method(session_, N->commit, {});
  }
  void on_error(Borrowed) override { call_method(session_, N->rollback, {}); }
  void on_finally() override {
    if (auto_close_) call_method(session_, N->close, {});
  }
  int traverse(visitproc visit, void* arg) override {
    Py_VISIT(self_.get());
    Py_VISIT(session_.get());
    Py_VISIT(globals_.get());
    return 0;
  }

 private:
  Ref self_;
  Ref session_;
  Ref globals_;
  bool auto_close_ = true;
};

// `with self.get_session(con) as session: value = body(session)`; returns
// value once the scope has exited.
template <class F>
Ref in_session(FunctionObject* f, Borrowed self, Borrowed con, F&& body) {
  Ref gs = getattr(self, N->get_session);
  if (PyMethod_Check(gs.get()) && PyMethod_GET_FUNCTION(gs.get()) == S.get_session &&
      PyMethod_GET_SELF(gs.get()) == self.get()) {
    // The class's own scope, inline.
    gs.reset();
    SessionScope scope(Ref::borrow(self), Ref::borrow(con), Ref::borrow(f->globals));
    return scope.run_inline(std::forward<F>(body));
  }
  // An overriding get_session: the `with` protocol. (To be replaced by wisp::with.)
  Ref cm = call(gs, {con.get()});
  PyObject* cm_type = reinterpret_cast<PyObject*>(Py_TYPE(cm.get()));
  Ref enter = getattr(cm_type, N->enter);
  Ref exit = getattr(cm_type, N->exit);
  Ref session = call(enter, {cm.get()});
  Ref value;
  try {
    value = body(Borrowed(session));
  } catch (...) {
    translate_exception();
    Ref exc = fetch_exception();
    Ref tb = Ref::steal(PyException_GetTraceback(exc.get()));
    Ref suppress;
    while_handling(exc, [&] {
      PyObject* exc_type = reinterpret_cast<PyObject*>(Py_TYPE(exc.get()));
      suppress = call(exit, {cm.get(), exc_type, exc.get(), tb ? tb.get() : Py_None});
    });
    if (suppress && truthy(suppress)) return none();
    restore_exception(std::move(exc));
    throw PyError{};
  }
  call(exit, {cm.get(), Py_None, Py_None, Py_None});
  return value;
}

// [row._asdict() for row in rows]
Ref rows_as_dicts(Borrowed rows) {
  Ref out = new_list();
  if (PyList_CheckExact(rows.get())) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows.get()); ++i) {
      Ref row = Ref::borrow(PyList_GET_ITEM(rows.get(), i));
      list_append(out, call_method(row, N->asdict, {}));
    }
    return out;
  }
  Ref it = Ref::check(PyObject_GetIter(rows));
  while (PyObject* raw = PyIter_Next(it.get())) {
    Ref row = Ref::steal(raw);
    list_append(out, call_method(row, N->asdict, {}));
  }
  if (PyErr_Occurred()) throw_error();
  return out;
}

// ---------------------------------------------------------------------------
// get_session

// def get_session(self, session=None), wrapped by contextlib.contextmanager
Ref qr_get_session(FunctionObject* f, Ref* a) {
  auto body = std::make_unique<SessionScope>(a[0], a[1], Ref::borrow(f->globals));
  return new_generator(std::move(body), f->name, f->qualname);
}

// ---------------------------------------------------------------------------
// QueryRunner

// def __init__(self, data_source)
Ref qr_init(FunctionObject*, Ref* a) {
  setattr(a[0], N->data_source, a[1]);
  return none();
}

// def insert(self, sql: TextClause, con=None, args=None)
Ref qr_insert(FunctionObject* f, Ref* a) {
  return in_session(f, a[0], a[2], [&](Borrowed s) {
    Ref result = call_method(s, N->execute, {a[1].get(), a[3].get()});
    return getattr(result, N->lastrowid);
  });
}

// def insert_list(self, sql: TextClause, con=None, args=None)
Ref qr_insert_list(FunctionObject* f, Ref* a) {
  return in_session(f, a[0], a[2], [&](Borrowed s) {
    call_method(s, N->execute, {a[1].get(), a[3].get()});
    return none();
  });
}

// def insert_orm2(self, statement, data_list, con=None)
Ref qr_insert_orm2(FunctionObject* f, Ref* a) {
  return in_session(f, a[0], a[3], [&](Borrowed s) {
    return call_method(s, N->execute, {a[1].get(), a[2].get()});
  });
}

// def add(self, data: Any, con=None)
Ref qr_add(FunctionObject* f, Ref* a) {
  return in_session(f, a[0], a[2], [&](Borrowed s) {
    call_method(s, N->add, {a[1].get()});
    call_method(s, N->flush, {});
    return none();
  });
}

// def add_all(self, data: Any, con=None)
Ref qr_add_all(FunctionObject* f, Ref* a) {
  return in_session(f, a[0], a[2], [&](Borrowed s) {
    call_method(s, N->add_all, {a[1].get()});
    call_method(s, N->flush, {});
    return none();
  });
}

// def delete(self, sql: TextClause, con=None, args=None)
Ref qr_delete(FunctionObject*, Ref* a) {
  return call_method(a[0], N->update, {a[1].get(), a[2].get(), a[3].get()});
}

// def delete_orm2(self, statement, con=None, sql_param=None)
Ref qr_delete_orm2(FunctionObject*, Ref* a) {
  return call_method(a[0], N->update_orm2, {a[1].get(), a[2].get(), a[3].get()});
}

// def update_orm2(self, statement, con=None, sql_param=None)
Ref qr_update_orm2(FunctionObject* f, Ref* a) {
  return in_session(f, a[0], a[2], [&](Borrowed s) {
    Ref result = call_method(s, N->execute, {a[1].get(), a[3].get()});
    return getattr(result, N->rowcount);
  });
}

// def update(self, sql: TextClause, con=None, args=None)
Ref qr_update(FunctionObject* f, Ref* a) {
  return in_session(f, a[0], a[2], [&](Borrowed s) {
    Ref result = call_method(s, N->execute, {a[1].get(), a[3].get()});
    return getattr(result, N->rowcount);
  });
}

// def bulk_update_mappings(self, table_model, arg_marks: list[dict] | None = None, con=None)
Ref qr_bulk_update_mappings(FunctionObject* f, Ref* a) {
  return in_session(f, a[0], a[3], [&](Borrowed s) {
    call_method(s, N->bulk_update_mappings, {a[1].get(), a[2].get()});
    return none();
  });
}

// data = <result>.first(); data._asdict() when truthy
Ref first_as_dict(Borrowed result) {
  Ref data = call_method(result, N->first, {});
  if (truthy(data)) return call_method(data, N->asdict, {});
  return data;
}

// def select_one_orm1(self, statement, con=None)
Ref qr_select_one_orm1(FunctionObject* f, Ref* a) {
  return in_session(f, a[0], a[2], [&](Borrowed s) {
    return first_as_dict(call_method(s, N->execute, {a[1].get()}));
  });
}

// def select_one_orm2(self, statement, con=None)
Ref qr_select_one_orm2(FunctionObject* f, Ref* a) {
  return in_session(f, a[0], a[2], [&](Borrowed s) {
    Ref result = call_method(s, N->execute, {a[1].get()});
    return call_method(result, N->scalar_one_or_none, {});
  });
}

// def select_all_orm1(self, statement, con=None)
Ref qr_select_all_orm1(FunctionObject* f, Ref* a) {
  return in_session(f, a[0], a[2], [&](Borrowed s) {
    Ref result = call_method(s, N->execute, {a[1].get()});
    return call_method(result, N->all, {});
  });
}

// def select_all_orm2(self, statement, con=None)
Ref qr_select_all_orm2(FunctionObject* f, Ref* a) {
  return in_session(f, a[0], a[2], [&](Borrowed s) {
    Ref result = call_method(s, N->execute, {a[1].get()});
    Ref scalars = call_method(result, N->scalars, {});
    return call_method(scalars, N->all, {});
  });
}

// def select_one(self, sql: TextClause, con=None, args=None)
Ref qr_select_one(FunctionObject* f, Ref* a) {
  return in_session(f, a[0], a[2], [&](Borrowed s) {
    return first_as_dict(call_method(s, N->execute, {a[1].get(), a[3].get()}));
  });
}

// def select_list(self, sql: TextClause, con=None, args=None)
Ref qr_select_list(FunctionObject* f, Ref* a) {
  return in_session(f, a[0], a[2], [&](Borrowed s) {
    Ref result = call_method(s, N->execute, {a[1].get(), a[3].get()});
    Ref data = call_method(result, N->all, {});
    return rows_as_dicts(data);
  });
}

// The count statement of select_page: count_query(sql).
Ref page_count_query(FunctionObject* f, Borrowed sql);
// The page query of select_page: limit_query(sql, page) run with `args`.
Ref run_page_query(FunctionObject* f, Borrowed session, Borrowed sql, Borrowed page, Borrowed args);

// def select_page(self, sql: TextClause, page: Page, con=None, args=None)
Ref qr_select_page(FunctionObject* f, Ref* a) {
  Borrowed sql = a[1], page = a[2], args = a[4];
  return in_session(f, a[0], a[3], [&](Borrowed s) {
    Ref page_result = new_dict();
    dict_set(page_result, N->pageNum, getattr(page, N->pageNum));
    dict_set(page_result, N->pageSize, getattr(page, N->pageSize));
    Ref count_sql = page_count_query(f, sql);
    Ref counted = call_method(s, N->execute, {count_sql.get(), args.get()});
    dict_set(page_result, N->total, call_method(counted, N->scalar, {}));
    counted.reset();
    Ref result = run_page_query(f, s, sql, page, args);
    Ref data = call_method(result, N->all, {});
    dict_set(page_result, N->list, rows_as_dicts(data));
    return page_result;
  });
}

// ---------------------------------------------------------------------------
// Page, PageInfo

// def __init__(self, page_num: int, page_size: int)
Ref page_init(FunctionObject*, Ref* a) {
  setattr(a[0], N->pageSize, a[2]);
  setattr(a[0], N->pageNum, a[1]);
  return none();
}

// ---------------------------------------------------------------------------
// Count and limit rewriting
//
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
  explicit SqlScanner(const Chars& t) : t_(t) {}

  Py_ssize_t pos() const { return pos_; }
  bool top_level() const { return state_ == kCode && depth_ == 0 && !broken_; }

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
        } else if ((c == '-' && next == '-') || c == '#') {
          state_ = kLineComment;
        } else if (c == '/' && next == '*') {
          state_ = kBlockComment;
          width = 2;
        }
        break;
      case kQuote:
        if (c == '\\' && quote_ != '`') {
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
  enum State { kCode, kQuote, kLineComment, kBlockComment };
  const Chars& t_;
  Py_ssize_t pos_ = 0;
  int depth_ = 0;
  bool broken_ = false;
  State state_ = kCode;
  Py_UCS4 quote_ = 0;
};

// Where the count form may cut the text: after the first "\s+FROM\s+" that
// stands at the top level. The first FROM after SELECT (the match) is taken
// when it is at the top level; a FROM inside a parenthesised subquery, a
// function call such as EXTRACT(YEAR FROM d), a quoted string or a comment
// is passed over, since cutting there gives invalid SQL. -1 when there is
// none.
Py_ssize_t top_level_cut(const Chars& t, const SelectMatch& m) {
  SqlScanner sc(t);
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

// Whether the last line of the text may hold a line comment ("--" or the
// MySQL "#"). Quotes are not looked at: a needless line break is harmless.
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

// sql.text.strip().rstrip(";")
Ref count_text(Borrowed sql) {
  Ref raw = getattr(sql, N->text);
  if (!PyUnicode_CheckExact(raw.get())) {
    Ref stripped = call_method(raw, N->strip, {});
    return call_method(stripped, N->rstrip, {N->semicolon});
  }
  Chars t(raw);
  Py_ssize_t begin = skip_spaces(t, 0), end = t.size();
  while (end > begin && is_space(t[end - 1])) --end;
  while (end > begin && t[end - 1] == ';') --end;
  if (begin == 0 && end == t.size()) return raw;
  return Ref::check(PyUnicode_Substring(raw.get(), begin, end));
}

// count_query(sql) in the module namespace `globals`. The clause comes from
// the module's clause cache while `text` is SQLAlchemy's own: a page asked
// for again counts with the clause made the first time.
Ref count_clause(PyObject* globals, Borrowed sql) {
  Ref sql_text = count_text(sql);
  if (PyUnicode_Check(sql_text.get())) {
    Chars t(sql_text);
    SelectMatch m = match_select_from(t);
    if (m.found && !has_wrap_keyword(t)) {
      Py_ssize_t cut = top_level_cut(t, m);
      if (cut >= 0) {
        Ref from_content = Ref::check(PyUnicode_Substring(sql_text.get(), cut, t.size()));
        Ref q = concat({N->simple_count, from_content.get()});
        return S.clauses->text(global(globals, N->text), q);
      }
    }
  }
  // A trailing line comment would swallow the closing parenthesis.
  Ref q = ends_in_line_comment(sql_text)
              ? concat({N->wrap_open, sql_text.get(), N->newline, N->wrap_close})
              : concat({N->wrap_open, sql_text.get(), N->wrap_close});
  return S.clauses->text(global(globals, N->text), q);
}

// def count_query(sql: TextClause)
Ref count_query(FunctionObject* f, Ref* a) {
  return count_clause(f->globals, a[0]);
}

Ref page_count_query(FunctionObject* f, Borrowed sql) {
  Ref count = Ref::borrow(global(f, N->count_query));
  if (count.get() == S.count_query) return count_clause(f->globals, sql);
  return call(count, {sql.get()});
}

// The statement text without trailing semicolons and blanks, so that the
// limit clause lands inside the statement.
Ref strip_statement_end(Borrowed s) {
  if (!PyUnicode_Check(s.get())) return call_method(s, N->rstrip, {});
  Chars t(s);
  Py_ssize_t end = t.size();
  while (end > 0 && (t[end - 1] == ';' || is_space(t[end - 1]))) --end;
  if (end == t.size()) return Ref::borrow(s);
  return Ref::check(PyUnicode_Substring(s.get(), 0, end));
}

// The pieces of limit_query(sql, page): the text with the limit clause and
// the offset of the page's first row.
struct LimitParts {
  Ref text;
  Ref start;
};

LimitParts limit_parts(Borrowed sql, Borrowed page) {
  Ref num = getattr(page, N->pageNum);
  Ref less = Ref::check(PyNumber_Subtract(num.get(), S.one));
  Ref size = getattr(page, N->pageSize);
  Ref start = Ref::check(PyNumber_Multiply(less.get(), size.get()));
  Ref body = strip_statement_end(getattr(sql, N->text));
  if (ends_in_line_comment(body)) {
    // The clause would land inside the comment and the page would silently
    // hold every row: start it on a line of its own.
    return {concat({body.get(), N->newline, N->limit_tail}), std::move(start)};
  }
  return {Ref::check(PyUnicode_Concat(body.get(), N->limit_tail)), std::move(start)};
}

// def limit_query(sql: TextClause, page: Page)
Ref limit_query(FunctionObject* f, Ref* a) {
  Borrowed page = a[1];
  LimitParts parts = limit_parts(a[0], page);
  // bindparams returns a copy: the shared clause stays as it was made.
  Ref clause = S.clauses->text(global(f, N->text), parts.text);
  Ref bindparams = getattr(clause, N->bindparams);
  Ref page_size = getattr(page, N->pageSize);
  return call_kw(bindparams, {page_size.get(), parts.start.get()}, S.kw_page);
}

Ref run_page_query(FunctionObject* f, Borrowed session, Borrowed sql, Borrowed page,
                   Borrowed args) {
  GlobalRef limit = global(f, N->limit_query);
  if (limit.get() != S.limit_query || !(args.get() == Py_None || PyDict_CheckExact(args.get()))) {
    Ref sql_str = call(limit, {sql.get(), page.get()});
    return call_method(session, N->execute, {sql_str.get(), args.get()});
  }
  // The module's own limit_query: the same statement, with the page values
  // passed beside `args` rather than bound into a copy of the clause, which
  // SQLAlchemy makes at a cost comparable to running the query. Values in
  // `args` win, as they win over bound values.
  LimitParts parts = limit_parts(sql, page);
  Ref clause = S.clauses->text(global(f, N->text), parts.text);
  Ref binds = new_dict();
  dict_set(binds, PyTuple_GET_ITEM(S.kw_page, 0), getattr(page, N->pageSize));
  dict_set(binds, PyTuple_GET_ITEM(S.kw_page, 1), parts.start);
  if (args.get() != Py_None) check(PyDict_Update(binds.get(), args.get()));
  return call_method(session, N->execute, {clause.get(), binds.get()});
}

PyModuleDef module_def = {PyModuleDef_HEAD_INIT,
                          "query_runner",
                          nullptr,
                          -1,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr};

const char* kBulkDoc =
    "\n"
    "        orm2.0 core or origin_sql\n"
    "        :param table_model:\n"
    "        :param arg_marks:\n"
    "        :param con:\n"
    "        :return:\n"
    "        ";

}  // namespace

PyMODINIT_FUNC PyInit_query_runner() {
  return init_module(&module_def, [](Borrowed g) {
    N = new Names();
    PyObject* int_t = reinterpret_cast<PyObject*>(&PyLong_Type);
    PyObject* list_t = reinterpret_cast<PyObject*>(&PyList_Type);
    PyObject* dict_t = reinterpret_cast<PyObject*>(&PyDict_Type);

    Ref text_clause = import_attr("sqlalchemy", "TextClause");
    dict_set(g, "re", import("re"));
    dict_set(g, "contextlib", import("contextlib"));
    dict_set(g, "Any", import_attr("typing", "Any"));
    dict_set(g, "TextClause", text_clause);
    Ref text_fn = import_attr("sqlalchemy", "text");
    dict_set(g, "text", text_fn);
    Ref sessionmaker = import_attr("sqlalchemy.orm", "sessionmaker");
    dict_set(g, "sessionmaker", sessionmaker);
    dict_set(g, "dataclass", import_attr("dataclasses", "dataclass"));

    S.one = PyLong_FromLong(1);
    if (!S.one) throw_error();
    sessions.init(sessionmaker);
    S.kw_page = tuple({intern("page_size"), intern("page_offset")}).release();
    S.clauses = new ClauseCache(text_fn);

    // @dataclass class PageInfo: four annotated fields defaulting to None
    {
      ClassBuilder cb("PageInfo", g);
      Ref ann = new_dict();
      dict_set(ann, N->pageSize, int_t);
      dict_set(ann, N->pageNum, int_t);
      dict_set(ann, N->total, int_t);
      dict_set(ann, N->list, list_t);
      cb.attr("__annotations__", ann);
      cb.attr("pageSize", Py_None);
      cb.attr("pageNum", Py_None);
      cb.attr("total", Py_None);
      cb.attr("list", Py_None);
      dict_set(g, "PageInfo", dataclass(cb.make()));
    }

    Ref page_cls;
    {
      ClassBuilder cb("Page", g);
      Def init("__init__", page_init);
      init.param("self").param("page_num").annotate(int_t).param("page_size").annotate(int_t);
      cb.method(init);
      page_cls = cb.make();
      dict_set(g, "Page", page_cls);
    }

    {
      Ref any = import_attr("typing", "Any");
      Ref list_of_dict = Ref::check(Py_GenericAlias(list_t, dict_t));
      Ref marks_ann = Ref::check(PyNumber_Or(list_of_dict.get(), Py_None));
      ClassBuilder cb("QueryRunner", g);
      Def init("__init__", qr_init);
      init.param("self").param("data_source");
      cb.method(init);

      auto sql_con_args = [&](const char* name, Impl impl) {
        Def d(name, impl);
        d.param("self").param("sql").annotate(text_clause);
        d.param("con").def(Py_None).param("args").def(Py_None);
        cb.method(d);
      };
      auto statement_con = [&](const char* name, Impl impl) {
        Def d(name, impl);
        d.param("self").param("statement").param("con").def(Py_None);
        cb.method(d);
      };

      sql_con_args("insert", qr_insert);
      sql_con_args("insert_list", qr_insert_list);
      {
        Def d("insert_orm2", qr_insert_orm2);
        d.param("self").param("statement").param("data_list").param("con").def(Py_None);
        cb.method(d);
      }
      {
        Def d("add", qr_add);
        d.param("self").param("data").annotate(any).param("con").def(Py_None);
        cb.method(d);
      }
      {
        Def d("add_all", qr_add_all);
        d.param("self").param("data").annotate(any).param("con").def(Py_None);
        cb.method(d);
      }
      sql_con_args("delete", qr_delete);
      {
        Def d("delete_orm2", qr_delete_orm2);
        d.param("self").param("statement").param("con").def(Py_None);
        d.param("sql_param").def(Py_None);
        cb.method(d);
      }
      {
        Def d("update_orm2", qr_update_orm2);
        d.param("self").param("statement").param("con").def(Py_None);
        d.param("sql_param").def(Py_None);
        cb.method(d);
      }
      sql_con_args("update", qr_update);
      {
        Def d("bulk_update_mappings", qr_bulk_update_mappings);
        d.doc(kBulkDoc);
        d.param("self").param("table_model");
        d.param("arg_marks").annotate(marks_ann, Check::List).def(Py_None);
        d.param("con").def(Py_None);
        cb.method(d);
      }
      statement_con("select_one_orm1", qr_select_one_orm1);
      statement_con("select_one_orm2", qr_select_one_orm2);
      statement_con("select_all_orm1", qr_select_all_orm1);
      statement_con("select_all_orm2", qr_select_all_orm2);
      sql_con_args("select_one", qr_select_one);
      sql_con_args("select_list", qr_select_list);
      {
        Def d("select_page", qr_select_page);
        d.param("self").param("sql").annotate(text_clause).param("page").annotate(page_cls);
        d.param("con").def(Py_None).param("args").def(Py_None);
        cb.method(d);
      }
      {
        Def d("get_session", qr_get_session);
        d.param("self").param("session").def(Py_None);
        Ref gen_fn = cb.method(d);
        Ref cm = call(import_attr("contextlib", "contextmanager"), {gen_fn.get()});
        cb.attr("get_session", cm);
        S.get_session = cm.release();
      }
      dict_set(g, "QueryRunner", cb.make());
    }

    S.count_query =
        Def("count_query", count_query).param("sql").annotate(text_clause).bind(g, g).release();
    S.limit_query = Def("limit_query", limit_query)
                        .param("sql")
                        .annotate(text_clause)
                        .param("page")
                        .annotate(page_cls)
                        .bind(g, g)
                        .release();
  });
}
