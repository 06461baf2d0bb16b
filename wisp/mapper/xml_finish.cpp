// wisp.mapper.xml_reader: statement finishing and prepared statements. The
// rendered text of a statement has its #{name} placeholders turned into
// bind parameters (":name", with the value looked up in the caller's
// parameters, a foreach position included) and its whitespace collapsed,
// and becomes a SQLAlchemy text clause; the same text gives the same
// clause while `text` is SQLAlchemy's own. A statement without child
// elements is finished once and only has its values looked up per call.
#include <array>

#include "wisp/protocol.h"
#include "xml_reader.h"

namespace wisp::xml {

namespace {

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

// Values of placeholder names, from the values the rendering bound itself
// (never a name of the caller's) and from the caller's parameters. A foreach
// writes runs of names on one container; when the parameters are a plain
// dict and the container a plain list, nothing can change between two
// lookups, so the container found for one name serves the next ones.
class Binder {
 public:
  Binder(Borrowed param, Borrowed own) : param_(param), own_(own) {}

  Ref value(PyObject* name, const Py_UCS4* p, size_t n) {
    if (own_) {
      if (Ref v = dict_get_ref(own_, name)) return v;
    }
    if (const size_t i = for_index_at(p, n); i < n) {
      Ref values = container(p, i);
      Ref index = position(p + i + kForIndexLen, n - i - kForIndexLen);
      if (PyList_CheckExact(values.get()) && PyLong_CheckExact(index.get())) {
        Py_ssize_t k = PyLong_AsSsize_t(index.get());
        if (k == -1 && PyErr_Occurred()) PyErr_Clear();
        if (k >= 0 && k < PyList_GET_SIZE(values.get())) {
          return Ref::borrow(PyList_GET_ITEM(values.get(), k));
        }
      }
      return Ref::check(PyObject_GetItem(values.get(), index.get()));
    }
    Ref value = item_if_present(param_, name);
    return value ? value : none();
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
  Borrowed own_;
  Chars last_name_;
  Ref last_;
};

// ParseMapper.to_prepared_statement on rendered text; `own` holds the values
// the rendering bound itself (or is null).
Ref prepare(PyObject* globals, const Chars& sql, Borrowed param, Borrowed own = Borrowed()) {
  Ref binds = new_dict();
  Binder binder(param, own);
  size_t count = 0;
  scan_names(sql.data(), sql.size(), '#', [&](size_t b, size_t e) {
    // A foreach over a long list leaves as many names, each a new key of a
    // dict that grows as large: Ctrl-C is not held up by them either.
    if ((++count & 0xFFF) == 0 && PyErr_CheckSignals() < 0) throw PyError{};
    Ref name = ascii_str(sql.data() + b, e - b);
    dict_set(binds, name, binder.value(name.get(), sql.data() + b, e - b));
  });
  Ref fmt = getattr(global(globals, names->ParseMapper), names->format_sql);
  Scratch scratch;
  Chars& out = *scratch;
  out.reserve(sql.size());
  Ref finished;
  if (fmt.get() == state.format_sql) {
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
  Ref clause = state.clauses->text(global(globals, names->text), finished);
  return tuple({clause.get(), binds.get()});
}

// self.to_prepared_statement(ret, params), unpacked. The values the
// rendering bound itself (`own`, null when none) go along: to a method of
// another class in a copy of the parameters that holds them too.
std::array<Ref, 2> prepare_via_self(Render& r, const Chars& ret, Borrowed params, Borrowed own) {
  Ref m = getattr(r.self, names->to_prepared_statement);
  if (m.get() == state.to_prepared_statement)
    return unpack<2>(prepare(r.globals, ret, params, own));
  Ref given = Ref::borrow(params);
  if (own && PyDict_GET_SIZE(own.get()) > 0) {
    given = new_dict();
    check(PyDict_Merge(given.get(), params, 1));
    check(PyDict_Update(given.get(), own));
  }
  return unpack<2>(call(m, {to_str(ret).get(), given.get()}));
}

// Whether finishing is all our own: the instance's to_prepared_statement and
// the class's _format_sql.
bool own_finishing(const Render& r) {
  Ref m = getattr(r.self, names->to_prepared_statement);
  if (m.get() != state.to_prepared_statement) return false;
  Ref fmt = getattr(global(r.globals, names->ParseMapper), names->format_sql);
  return fmt.get() == state.format_sql;
}

// What finishing makes of a text, whatever the parameters: the finished SQL,
// its clause made by `text_fn` and the clause's text as made (for the check
// that it is still the same), then the placeholder names in order of first
// occurrence. None when a name is a foreach position, whose value finishing
// has to work out.
Ref finish_once(Borrowed text_fn, Borrowed text) {
  Scratch in;
  const Chars& sql = load(*in, text.get());
  Ref placeholders = new_dict();
  bool positional = false;
  scan_names(sql.data(), sql.size(), '#', [&](size_t b, size_t e) {
    positional = positional || for_index_at(sql.data() + b, e - b) < e - b;
    dict_set(placeholders, ascii_str(sql.data() + b, e - b), Py_None);
  });
  if (positional) return none();
  Scratch scratch;
  Chars& out = *scratch;
  out.reserve(sql.size());
  Collapser<Chars> sink(out);
  rewrite_placeholders(sql.data(), sql.size(), sink);
  sink.finish();
  Ref finished = to_str(out);
  Ref clause = state.clauses->text(text_fn, finished);
  Ref made = getattr_opt(clause, names->text);
  if (!made) return none();
  Ref memo = Ref::check(PyTuple_New(PyDict_GET_SIZE(placeholders.get()) + 3));
  PyTuple_SET_ITEM(memo.get(), 0, finished.release());
  PyTuple_SET_ITEM(memo.get(), 1, clause.release());
  PyTuple_SET_ITEM(memo.get(), 2, made.release());
  Py_ssize_t pos = 0, i = 3;
  PyObject *name, *unused;
  while (PyDict_Next(placeholders.get(), &pos, &name, &unused)) {
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
  if (reinterpret_cast<PyObject*>(Py_TYPE(element.get())) != state.element_type ||
      !PyUnicode_CheckExact(head.get()) || !PyDict_CheckExact(params.get())) {
    return Ref();
  }
  const Py_ssize_t children = PyObject_Size(element);
  if (children < 0) throw_error();
  if (children > 0 || !own_finishing(r)) return Ref();
  Ref text_fn = global(r.globals, names->text);
  if (!state.clauses->serves(text_fn)) return Ref();
  Ref memo = state.finished->get(head);
  if (!memo) {
    memo = finish_once(text_fn, head);
    state.finished->put(head, memo);
  }
  if (!PyTuple_Check(memo.get())) return Ref();
  Ref binds = new_dict();
  for (Py_ssize_t i = 3, n = PyTuple_GET_SIZE(memo.get()); i < n; ++i) {
    PyObject* name = PyTuple_GET_ITEM(memo.get(), i);
    Ref value = dict_get_ref(params, name);
    dict_set(binds, name, value ? value.get() : Py_None);
  }
  // A clause whose text a caller has reassigned is not handed out again.
  Ref clause = Ref::borrow(PyTuple_GET_ITEM(memo.get(), 1));
  if (getattr_opt(clause, names->text).get() != PyTuple_GET_ITEM(memo.get(), 2)) {
    clause = state.clauses->text(text_fn, PyTuple_GET_ITEM(memo.get(), 0));
  }
  return tuple({clause.get(), binds.get()});
}

// @staticmethod def _format_sql(sql)
Ref format_sql(FunctionObject*, Ref* a) {
  Borrowed sql = a[0];
  if (!PyUnicode_Check(sql.get())) {
    Ref words = call_method(call_method(sql, names->strip, {}), names->split, {});
    return Ref::check(PyUnicode_Join(names->blank, words.get()));
  }
  Scratch scratch;
  Chars& s = load(*scratch, sql.get());
  collapse_tail(s, 0);
  return to_str(s);
}

[[noreturn]] void raise_not_text(FunctionObject* f, PyObject* pattern, Borrowed value) {
  // The pattern reports what it cannot scan.
  call_method(global(f, pattern), names->findall, {value.get()});
  raise_format(PyExc_TypeError, "expected string or bytes-like object, got '%.200s'",
               Py_TYPE(value.get())->tp_name);
}

// @staticmethod def to_prepared_statement(ret, param) -> tuple[TextClause, dict]
// @staticmethod def to_replace(ret, param) -> str
struct PrepareArgs {
  Ref ret, param;
};
Ref to_prepared_statement(FunctionObject* f, PrepareArgs& args) {
  if (!PyUnicode_Check(args.ret.get())) raise_not_text(f, names->param_pattern, args.ret);
  Scratch scratch;
  return prepare(f->globals, load(*scratch, args.ret.get()), args.param);
}

Ref to_replace(FunctionObject* f, PrepareArgs& args) {
  Ref ret = args.ret;
  Borrowed param = args.param;
  if (!PyUnicode_Check(ret.get())) raise_not_text(f, names->replace_pattern, ret);
  std::vector<Ref> placeholders;
  Scratch scratch;
  const Chars& text = load(*scratch, ret.get());
  scan_names(text.data(), text.size(), '$', [&](size_t b, size_t e) {
    placeholders.push_back(ascii_str(text.data() + b, e - b));
  });
  for (const Ref& name : placeholders) {
    Ref value = contains(param, name) ? getitem(param, name) : Ref::borrow(names->empty);
    Ref old = concat({names->dollar_open, name.get(), names->close_brace});
    if (PyUnicode_Check(ret.get()) && PyUnicode_Check(value.get())) {
      ret = Ref::check(PyUnicode_Replace(ret.get(), old.get(), value.get(), -1));
    } else {
      ret = call_method(ret, names->replace, {old.get(), value.get()});
    }
  }
  return ret;
}

// select, update, delete and insert: render the statement with this id.
Ref statement(FunctionObject* f, StatementArgs& args, PyObject* kind, const char* wrong_kind) {
  Borrowed self = args.self, id = args.id, params = args.params;
  Ref element = statement_element(self, id, kind, wrong_kind);
  Render r{f->globals, self.get()};
  try {
    Ref head = getattr(element, names->text);
    if (Ref done = prepare_static(r, element, head, params)) return done;
    Scratch scratch;
    Chars& ret = *scratch;
    append_opt(ret, head.get());
    Ref param0 = new_dict();
    dict_set(param0, names->params, params);
    render_children(r, element, param0, ret);
    auto [clause, binds] = prepare_via_self(r, ret, params, own_binds(param0));
    return tuple({clause.get(), binds.get()});
  } catch (const PyError&) {
    note_failure(r, self, id);
    throw;
  }
}

}  // namespace

// def select(self, id: str, params: dict) -> tuple[TextClause, dict]
Ref select(FunctionObject* f, StatementArgs& args) {
  return statement(f, args, names->select, "Not a select");
}

Ref update(FunctionObject* f, StatementArgs& args) {
  return statement(f, args, names->update, "Not an update");
}

Ref delete_(FunctionObject* f, StatementArgs& args) {
  return statement(f, args, names->delete_, "Not a delete");
}

namespace {

// def insert(self, id: str, params: dict, primary_key: str = None) -> tuple[TextClause, dict]
struct InsertArgs {
  Ref self, id, params, primary_key;
};
Ref insert(FunctionObject* f, InsertArgs& args) {
  StatementArgs statement_args{args.self, args.id, args.params};
  Ref result = statement(f, statement_args, names->insert, "Not an insert");
  Borrowed primary_key = args.primary_key;
  if (primary_key.get() == Py_None || !truthy(primary_key)) return result;
  Ref sql = getattr(PyTuple_GET_ITEM(result.get(), 0), names->text);
  sql = Ref::check(PyNumber_Add(sql.get(), names->returning));
  sql = Ref::check(PyNumber_Add(sql.get(), primary_key));
  Ref clause = state.clauses->text(global(f, names->text), sql);
  return tuple({clause.get(), PyTuple_GET_ITEM(result.get(), 1)});
}

}  // namespace

void bind_finishing(ClassBuilder& cls, Borrowed prepared) {
  Def format_def("_format_sql", format_sql);
  format_def.param("sql");
  state.format_sql = cls.staticmethod(format_def).release();

  Def prepare_def = Def::of<to_prepared_statement>("to_prepared_statement");
  prepare_def.param("ret", &PrepareArgs::ret).param("param", &PrepareArgs::param).returns(prepared);
  state.to_prepared_statement = cls.staticmethod(prepare_def).release();

  Def replace_def = Def::of<to_replace>("to_replace");
  replace_def.param("ret", &PrepareArgs::ret)
      .param("param", &PrepareArgs::param)
      .returns(&PyUnicode_Type);
  cls.staticmethod(replace_def);

  // def <kind>(self, id: str, params: dict) -> tuple[TextClause, dict]
  auto statement_def = [&](Def d) {
    d.param("self", &StatementArgs::self)
        .param("id", &StatementArgs::id)
        .annotate(&PyUnicode_Type)
        .param("params", &StatementArgs::params)
        .annotate(&PyDict_Type)
        .returns(prepared);
    return cls.method(d).release();
  };
  state.select = statement_def(Def::of<select>("select"));
  state.update = statement_def(Def::of<update>("update"));
  state.delete_ = statement_def(Def::of<delete_>("delete"));

  Def insert_def = Def::of<insert>("insert");
  insert_def.param("self", &InsertArgs::self)
      .param("id", &InsertArgs::id)
      .annotate(&PyUnicode_Type)
      .param("params", &InsertArgs::params)
      .annotate(&PyDict_Type)
      .param("primary_key", &InsertArgs::primary_key)
      .annotate(&PyUnicode_Type)
      .def(Py_None)
      .returns(prepared);
  cls.method(insert_def);
}

}  // namespace wisp::xml
