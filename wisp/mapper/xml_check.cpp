// wisp.mapper.xml_reader: checking mapper files before they run.
//
//     @dataclass(frozen=True)
//     class MapperProblem:
//         file: str
//         line: int
//         message: str
//         warning: bool = False
//         def __str__(self): "FILE:LINE: message" ("FILE:LINE: warning: message")
//
//     def check_mappers(*paths, mappers=(), async_mappers=(), on_error=None)
//         -> list[MapperProblem]
//
// A file is parsed as loading parses it, and its elements are given the
// lines they start on by a second pass of the parser ElementTree uses
// (expat), which reports the start of each element in document order, the
// order in which ElementTree made them. What loading refuses is found as
// loading finds it (the same result-type resolution); what would only fail
// when a statement runs, or never (a misspelt element, an expression that
// does not compile, an include of no fragment), is found by walking every
// statement against the table of the language's elements and attributes.
#include <algorithm>
#include <set>
#include <string>

#include "wisp/protocol.h"
#include "xml_reader.h"

namespace wisp::xml {

namespace {

// One problem found, before it becomes a MapperProblem.
struct Problem {
  Ref file;
  long line;
  Ref message;
  bool warning;
  bool fatal;  // loading the file fails on it
};

// What the language allows on each element: its attributes, the required
// ones first.
struct Shape {
  const char* tag;
  std::vector<const char*> required;
  std::vector<const char*> optional;
};

const std::vector<Shape>& content_shapes() {
  static const std::vector<Shape> shapes = {
      {"include", {"refid"}, {}},
      {"sql", {}, {"id"}},
      {"if", {"test"}, {}},
      {"where", {}, {}},
      {"trim", {}, {"prefix", "suffix", "prefixOverrides", "suffixOverrides"}},
      {"set", {}, {}},
      {"choose", {}, {}},
      {"when", {"test"}, {}},
      {"otherwise", {}, {}},
      {"foreach", {"item", "collection", "open", "close", "separator"}, {"index"}},
      {"bind", {"name", "value"}, {}},
  };
  return shapes;
}

const Shape* content_shape(Borrowed tag) {
  if (!PyUnicode_Check(tag.get())) return nullptr;
  std::string_view t = utf8(tag);
  for (const Shape& s : content_shapes()) {
    if (t == s.tag) return &s;
  }
  return nullptr;
}

struct Checking {
  static constexpr const char* what = " while checking a mapper element";
};
using CheckDepth = CappedRecursion<Checking>;

// The message of the exception being raised, which is cleared; rethrown
// unless it is an Exception (a KeyboardInterrupt goes on).
Ref take_message() {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PyError{};
  Ref exc = fetch_exception();
  return str_of(exc);
}

// One mapper file being checked.
class FileCheck {
 public:
  FileCheck(FunctionObject* f, Ref file, std::vector<Problem>& out, Borrowed index)
      : f_(f), file_(std::move(file)), out_(out), index_(index) {}

  void run() {
    Ref data;
    try {
      Ref stream = call(import_attr("io", "open"), {file_.get(), names->rb});
      data = with(stream, [&](Borrowed f) { return call_method(f, names->read, {}); });
    } catch (const PyError&) {
      add(0, take_message(), false, true);
      return;
    }
    Ref root;
    try {
      root = call_method(global(f_, names->et), names->fromstring, {data.get()});
    } catch (const PyError&) {
      long line = 0;
      if (PyErr_ExceptionMatches(PyExc_Exception)) {
        Ref exc = fetch_exception();
        Ref position = getattr_opt(exc, names->position);
        if (position && PyTuple_Check(position.get()) && PyTuple_GET_SIZE(position.get()) > 0) {
          line = PyLong_AsLong(PyTuple_GET_ITEM(position.get(), 0));
          if (line == -1 && PyErr_Occurred()) PyErr_Clear();
        }
        restore_exception(std::move(exc));
      }
      add(line, take_message(), false, true);
      return;
    }
    number_lines(root, data);
    check_mapper(root);
  }

 private:
  // lines_[element] = the line it starts on.
  void number_lines(Borrowed root, Borrowed data) {
    lines_ = new_dict();
    Ref starts = start_lines(data);
    Py_ssize_t k = 0;
    const Py_ssize_t n = starts ? PyList_GET_SIZE(starts.get()) : 0;
    for_each(call_method(root, names->iter, {}), [&](Borrowed el) {
      if (k < n) dict_set(lines_, el, PyList_GET_ITEM(starts.get(), k));
      ++k;
    });
  }

  // The line each element starts on, in document order; null when expat
  // does not read the document as ElementTree did.
  Ref start_lines(Borrowed data);

  long line_of(Borrowed el) {
    Ref line = dict_get_ref(lines_, el);
    if (!line) return 0;
    long v = PyLong_AsLong(line.get());
    if (v == -1 && PyErr_Occurred()) PyErr_Clear();
    return v;
  }

  void add(long line, Ref message, bool warning = false, bool fatal = false) {
    out_.push_back(Problem{file_, line, std::move(message), warning, fatal});
  }
  template <class... A>
  void add_at(Borrowed el, bool warning, const char* fmt, A... args) {
    add(line_of(el), Ref::check(PyUnicode_FromFormat(fmt, args...)), warning);
  }

  // "<tag>" as written, for messages.
  Ref shown(Borrowed tag) { return str_of(tag); }

  // Attributes not in `allowed`; the required ones that are missing.
  void check_attributes(Borrowed el, Borrowed tag, const std::vector<const char*>& required,
                        const std::vector<const char*>& optional) {
    Ref attrib = getattr(el, names->attrib);
    Ref shown_tag = shown(tag);
    for_each(attrib, [&](Borrowed key) {
      bool known = false;
      if (PyUnicode_Check(key.get())) {
        std::string_view k = utf8(key);
        for (const auto* list : {&required, &optional}) {
          for (const char* a : *list) known = known || k == a;
        }
      }
      if (!known) add_at(el, false, "<%U>: unknown attribute %R", shown_tag.get(), key.get());
    });
    for (const char* a : required) {
      if (!contains(attrib, Ref::borrow(intern(a)))) {
        add_at(el, false, "<%U> without %s", shown_tag.get(), a);
      }
    }
  }

  void check_mapper(Borrowed root) {
    Ref mapper;
    for_each(call_method(root, names->iter, {}), [&](Borrowed el) {
      if (!mapper && equals(getattr(el, names->tag), names->mapper)) mapper = Ref::borrow(el);
    });
    Ref ns;
    if (!mapper) {
      add_at(root, false, "no <mapper> element: the file declares no namespace");
      mapper = Ref::borrow(root);
    } else {
      Ref attrib = getattr(mapper, names->attrib);
      ns = mapping_get(attrib, names->namespace_, Py_None);
      if (ns.get() == Py_None) {
        ns.reset();
        add_at(mapper, false, "<mapper> without namespace");
      }
      check_attributes(mapper, names->mapper, {}, {"namespace"});
    }

    // The statement index, as loading makes it: the last of a repeated id
    // wins. Ids are collected first, for the includes.
    Ref ids = new_dict();  // id -> (line, tag)
    std::vector<Ref> statements;
    for_each(mapper, [&](Borrowed child) {
      Ref tag = getattr(child, names->tag);
      if (!contains(global(f_, names->sql_id_type_list), tag)) {
        add_at(child, false, "unknown element <%U>", shown(tag).get());
        return;
      }
      statements.push_back(Ref::borrow(child));
      Ref id = attr_or(child, names->id, Py_None);
      const bool select = equals(tag, names->select);
      check_attributes(child, tag, {}, {"id", "resultType"});
      if (!select && contains(getattr(child, names->attrib), names->resultType)) {
        add_at(child, true, "resultType is ignored on <%U>", shown(tag).get());
      }
      check_result_type(child, select ? attr_or(child, names->resultType, Py_None) : none(), id);
      if (id.get() == Py_None) {
        add(line_of(child), Ref::check(PyUnicode_FromFormat("<%U> without id", shown(tag).get())),
            false, true);
        return;
      }
      if (Ref earlier = dict_get_ref(ids, id)) {
        add_at(child, false, "duplicate id %R (also at line %S): the later one replaces it",
               id.get(), PyTuple_GET_ITEM(earlier.get(), 0));
      }
      dict_set(ids, id, tuple({Ref::check(PyLong_FromLong(line_of(child))).get(), tag.get()}));
    });
    fragments_ = ids;
    for (const Ref& statement : statements) check_content(statement);
    if (ns) record(ns, ids);
  }

  // Resolves a select's resultType as loading does.
  void check_result_type(Borrowed el, Ref type_name, Borrowed id) {
    if (type_name.get() == Py_None) return;
    // A class of the running program's own script: known only when it runs.
    if (PyUnicode_Check(type_name.get()) &&
        PyUnicode_Tailmatch(type_name.get(), names->main_prefix, 0, PY_SSIZE_T_MAX, -1) == 1) {
      return;
    }
    try {
      declared_result_type(f_->globals, type_name);
    } catch (const PyError&) {
      Ref message = take_message();
      add(line_of(el),
          Ref::check(id.get() == Py_None
                         ? PyUnicode_FromFormat("resultType %R: %U", type_name.get(), message.get())
                         : PyUnicode_FromFormat("resultType %R of %R: %U", type_name.get(),
                                                id.get(), message.get())),
          false, true);
    }
  }

  // The elements inside a statement, against the language's table.
  void check_content(Borrowed parent) {
    CheckDepth depth;
    const bool in_choose = equals(getattr(parent, names->tag), names->choose);
    for_each(parent, [&](Borrowed el) {
      Ref tag = getattr(el, names->tag);
      const Shape* shape = content_shape(tag);
      if (!shape) {
        add_at(el, false, "unknown element <%U>", shown(tag).get());
        return;
      }
      check_attributes(el, tag, shape->required, shape->optional);
      const Tag kind = classify(tag);
      const bool branch = kind == Tag::When || kind == Tag::Otherwise;
      if (in_choose && !branch) {
        add_at(el, false, "<%U> inside <choose> is never rendered", shown(tag).get());
      } else if (!in_choose && branch) {
        add_at(el, true, "<%U> outside <choose> is always rendered", shown(tag).get());
      }
      switch (kind) {
        case Tag::If:
        case Tag::When:
          check_expression(el, names->test, "test");
          break;
        case Tag::Foreach:
          check_collection(el);
          check_name(el, names->index, "index");
          break;
        case Tag::Bind:
          check_expression(el, names->value, "value");
          check_name(el, names->name, "name");
          break;
        case Tag::Include:
          check_include(el);
          break;
        default:
          break;
      }
      check_content(el);
    });
  }

  // Whether the expression text compiles as eval compiles it.
  bool compiles(Borrowed el, Borrowed text, const char* what, Borrowed shown_text) {
    try {
      compiled(text);
      return true;
    } catch (const PyError&) {
      Ref message = take_message();
      add_at(el, false, "%s %R does not compile: %U", what, shown_text.get(), message.get());
      return false;
    }
  }

  void check_expression(Borrowed el, PyObject* attribute, const char* what) {
    Ref text = attr_or(el, attribute, Py_None);
    if (PyUnicode_Check(text.get())) compiles(el, text, what, text);
  }

  // The collection compiles in both forms a foreach evaluates.
  void check_collection(Borrowed el) {
    Ref collection = attr_or(el, names->collection, Py_None);
    if (!PyUnicode_Check(collection.get())) return;
    Ref exprs = loop_exprs(collection);
    compiles(el, PyTuple_GET_ITEM(exprs.get(), 0), "collection", collection) &&
        compiles(el, PyTuple_GET_ITEM(exprs.get(), 1), "collection", collection);
  }

  void check_name(Borrowed el, PyObject* attribute, const char* what) {
    Ref name = attr_or(el, attribute, Py_None);
    if (name.get() == Py_None || ascii_identifier(name)) return;
    add_at(el, false, "<%U> %s %R is not an identifier", shown(getattr(el, names->tag)).get(), what,
           name.get());
  }

  void check_include(Borrowed el) {
    Ref refid = attr_or(el, names->refid, Py_None);
    if (refid.get() == Py_None) return;
    Ref entry = dict_get_ref(fragments_, refid);
    if (!entry || !equals(PyTuple_GET_ITEM(entry.get(), 1), names->sql)) {
      add_at(el, false, "include of %R: no <sql> fragment has that id", refid.get());
    }
  }

  // index[namespace] = {id: (file, line, tag)}; a later file of the same
  // namespace replaces an earlier one, as in the mapper registry.
  void record(Borrowed ns, Borrowed ids) {
    Ref statements = new_dict();
    for_each_item(ids, [&](Borrowed id, Borrowed line_tag) {
      dict_set(statements, id,
               tuple({file_.get(), PyTuple_GET_ITEM(line_tag.get(), 0),
                      PyTuple_GET_ITEM(line_tag.get(), 1)}));
    });
    check(PyObject_SetItem(index_.get(), ns.get(), statements.get()));
  }

  FunctionObject* f_;
  Ref file_;
  std::vector<Problem>& out_;
  Borrowed index_;
  Ref lines_;
  Ref fragments_;
};

// StartElementHandler of the line-numbering pass: appends the parser's
// current line.
struct LineVars {
  Ref lines, parser;
  static auto fields() { return wisp::fields(&LineVars::lines, &LineVars::parser); }
};
struct StartArgs {
  Ref name, attrs;
};
Ref on_start(FunctionObject* f, StartArgs&) {
  LineVars& v = captured<LineVars>(f);
  list_append(v.lines, getattr(v.parser, names->CurrentLineNumber));
  return none();
}
Def* on_start_def;

Ref FileCheck::start_lines(Borrowed data) {
  Ref expat = import("xml.parsers.expat");
  Ref parser = call_method(expat, names->ParserCreate, {Py_None, names->brace});
  Ref lines = new_list();
  setattr(parser, names->StartElementHandler, on_start_def->closure(f_, LineVars{lines, parser}));
  Ref parsed;
  try {
    call_method(parser, names->Parse, {data.get(), Py_True});
    parsed = lines;
  } catch (const PyError&) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) {
      Ref exc = fetch_exception();
      setattr(parser, names->StartElementHandler, Py_None);
      restore_exception(std::move(exc));
      throw;
    }
    PyErr_Clear();
  }
  // The handler holds the parser: the cycle is cut here.
  setattr(parser, names->StartElementHandler, Py_None);
  return parsed;
}

// ---------------------------------------------------------------------------
// Mapper classes against the statements of their namespaces

// The attribute `name` resolves to on the class, as the class's MRO finds
// it in the classes' own namespaces; null when none has it.
Ref class_attribute(Borrowed cls, Borrowed name) {
  Ref mro = getattr(cls, names->mro);
  Ref found;
  for_each(mro, [&](Borrowed klass) {
    if (found) return;
    Ref ns = getattr(klass, names->dict_attr);
    found = item_if_present(ns, name);
  });
  return found;
}

// Whether `value` (a function, or a method, static method or class method
// over one) is an `async def`.
bool async_def(Borrowed value) {
  Ref fn = PyFunction_Check(value.get()) ? Ref::borrow(value.get())
                                         : getattr_opt(value, names->func_attr);
  if (!fn || !PyFunction_Check(fn.get())) return false;
  Ref code = Ref::borrow(PyFunction_GET_CODE(fn.get()));
  return (reinterpret_cast<PyCodeObject*>(code.get())->co_flags & CO_COROUTINE) != 0;
}

// The classes of `mappers` against the statements of their namespaces.
// `awaited`: they are async mappers, whose methods declared by signature
// alone run their statements as `async def`; a plain def so declared is an
// error there whether a statement serves it or not.
void check_classes(Borrowed mappers, Borrowed index, bool awaited, std::vector<Problem>& out) {
  for_each(mappers, [&](Borrowed cls) {
    if (!PyType_Check(cls.get())) {
      raise_format(PyExc_TypeError, "mappers: expected classes, got %.200s",
                   Py_TYPE(cls.get())->tp_name);
    }
    Ref ns = getattr(cls, names->name_attr);
    Ref statements = dict_get_ref(index, ns);
    // Methods declared by signature alone that no statement serves.
    std::set<std::string> seen;
    Ref mro = getattr(cls, names->mro);
    for_each(mro, [&](Borrowed klass) {
      if (klass.get() == reinterpret_cast<PyObject*>(&PyBaseObject_Type)) return;
      // The first class of the MRO to have a name is the one it resolves
      // to: its value is this class's own.
      Ref attributes = Ref::check(PyMapping_Items(getattr(klass, names->dict_attr).get()));
      for_each(attributes, [&](Borrowed pair) {
        auto [name, value] = unpack<2>(pair);
        if (!PyUnicode_Check(name.get())) return;
        std::string key(utf8(name));
        if (!seen.insert(key).second || key.empty() || key[0] == '_') return;
        if (!declared_by_signature_only(value, awaited)) return;
        const bool plain = awaited && !async_def(value);
        Ref entry = statements ? dict_get_ref(statements, name) : Ref();
        const bool served = entry && !equals(PyTuple_GET_ITEM(entry.get(), 2), names->sql);
        if (served && !plain) return;
        Ref fn = PyFunction_Check(value.get()) ? value : getattr(value, names->func_attr);
        Ref code = getattr(fn, names->code_attr);
        long line = PyLong_AsLong(getattr(code, names->co_firstlineno).get());
        if (line == -1 && PyErr_Occurred()) throw_error();
        Ref message;
        if (!plain) {
          message = Ref::check(PyUnicode_FromFormat(
              "%U.%U is declared by its signature alone, and namespace %R has no statement %R",
              ns.get(), name.get(), ns.get(), name.get()));
        } else if (served) {
          message = Ref::check(PyUnicode_FromFormat(
              "%U.%U is declared by its signature alone with a plain def, so statement %R of "
              "namespace %R cannot be awaited through it: declare it async def",
              ns.get(), name.get(), name.get(), ns.get()));
        } else {
          message = Ref::check(PyUnicode_FromFormat(
              "%U.%U is declared by its signature alone with a plain def, and namespace %R has "
              "no statement %R: declare it async def",
              ns.get(), name.get(), ns.get(), name.get()));
        }
        out.push_back(Problem{getattr(code, names->co_filename), line, std::move(message), false,
                              false});
      });
    });
    if (!statements) return;
    // Statements no method of the class stands for.
    for_each_item(statements, [&](Borrowed id, Borrowed where) {
      if (equals(PyTuple_GET_ITEM(where.get(), 2), names->sql)) return;
      const bool is_public = PyUnicode_Check(id.get()) && PyUnicode_GET_LENGTH(id.get()) > 0 &&
                             PyUnicode_READ_CHAR(id.get(), 0) != '_';
      Ref value = is_public ? class_attribute(cls, id) : Ref();
      if (value && check(PyCallable_Check(value.get()) ||
                         Py_IS_TYPE(value.get(), &PyStaticMethod_Type) ||
                         Py_IS_TYPE(value.get(), &PyClassMethod_Type))) {
        return;
      }
      long line = PyLong_AsLong(PyTuple_GET_ITEM(where.get(), 1));
      if (line == -1 && PyErr_Occurred()) throw_error();
      out.push_back(Problem{
          Ref::borrow(PyTuple_GET_ITEM(where.get(), 0)), line,
          Ref::check(PyUnicode_FromFormat("statement %R: class %U declares no method of that name",
                                          id.get(), ns.get())),
          true, false});
    });
  });
}

// ---------------------------------------------------------------------------
// The files named by the paths: a file as it is, a folder's files whose
// names end in "xml" (any letter case), below it at any depth, in name
// order.

void collect_files(Borrowed path, Borrowed os, std::vector<Ref>& files) {
  CheckDepth depth;
  Ref os_path = getattr(os, names->path);
  if (!truthy(call_method(os_path, names->isdir, {path.get()}))) {
    files.push_back(Ref::borrow(path));
    return;
  }
  Ref entries = Ref::check(PySequence_List(call_method(os, names->listdir, {path.get()}).get()));
  check(PyList_Sort(entries.get()));
  for_each(entries, [&](Borrowed entry) {
    Ref full = call_method(os_path, names->join, {path.get(), entry.get()});
    if (truthy(call_method(os_path, names->isdir, {full.get()}))) {
      collect_files(full, os, files);
    } else if (truthy(call_method(call_method(full, names->lower, {}), names->endswith,
                                  {names->xml_suffix}))) {
      files.push_back(full);
    }
  });
}

// ---------------------------------------------------------------------------
// MapperProblem and check_mappers

struct SelfArgs {
  Ref self;
};

// def __str__(self): "FILE:LINE: message", "FILE:LINE: warning: message"
Ref problem_str(FunctionObject*, SelfArgs& a) {
  Ref file = getattr(a.self, names->file);
  Ref line = getattr(a.self, names->line);
  Ref message = getattr(a.self, names->message);
  const bool warning = truthy(getattr(a.self, names->warning));
  return Ref::check(PyUnicode_FromFormat("%S:%S: %s%S", file.get(), line.get(),
                                         warning ? "warning: " : "", message.get()));
}

// def check_mappers(*paths, mappers=(), async_mappers=(), on_error: str | None = None)
struct CheckArgs {
  Ref paths, mappers, async_mappers, on_error;
};
Ref check_mappers(FunctionObject* f, CheckArgs& a) {
  enum class Mode { Report, Raise, Warn } mode = Mode::Report;
  if (a.on_error.get() != Py_None) {
    if (equals(a.on_error, names->raise_)) {
      mode = Mode::Raise;
    } else if (equals(a.on_error, names->warn)) {
      mode = Mode::Warn;
    } else {
      raise_format(PyExc_ValueError, "on_error must be None, 'raise' or 'warn', not %R",
                   a.on_error.get());
    }
  }
  Ref os = import("os");
  std::vector<Ref> files;
  for_each(a.paths, [&](Borrowed path) {
    collect_files(call_method(os, names->fspath, {path.get()}), os, files);
  });

  std::vector<Problem> problems;
  Ref index = new_dict();
  for (const Ref& file : files) {
    const size_t first = problems.size();
    FileCheck(f, file, problems, index).run();
    std::stable_sort(problems.begin() + Py_ssize_t(first), problems.end(),
                     [](const Problem& x, const Problem& y) { return x.line < y.line; });
  }
  check_classes(a.mappers, index, false, problems);
  check_classes(a.async_mappers, index, true, problems);

  Ref problem_type = global(f, names->MapperProblem);
  Ref result = new_list();
  Ref listing = new_list();
  bool errors = false;
  const Problem* fatal = nullptr;
  for (const Problem& p : problems) {
    Ref line = Ref::check(PyLong_FromLong(p.line));
    Ref made = call(problem_type, {p.file.get(), line.get(), p.message.get(),
                                   p.warning ? Py_True : Py_False});
    list_append(result, made);
    list_append(listing, str_of(made));
    errors = errors || !p.warning;
    if (p.fatal && !fatal) fatal = &p;
  }
  if (mode == Mode::Report) return result;
  for (const Problem& p : problems) {
    if (mode == Mode::Raise && !p.warning) continue;
    Ref shown = str_of(PyList_GET_ITEM(result.get(), &p - problems.data()));
    if (PyErr_WarnEx(PyExc_UserWarning, utf8(shown).data(), 1) < 0) throw_error();
  }
  if (mode == Mode::Warn || !errors) return result;
  Ref lines = Ref::check(PyUnicode_Join(names->newline, listing.get()));
  Ref report = concat({names->refused_mappers, lines.get()});
  if (fatal) {
    // Loading that file fails: it fails here the way it would, with every
    // problem in a note.
    try {
      call(global(f, names->ParseMapper), {fatal->file.get()});
    } catch (const PyError&) {
      add_note_to_current(report);
      throw;
    }
  }
  raise(PyExc_Exception, report);
}

}  // namespace

void bind_checking(Borrowed g) {
  ClassBuilder cls("MapperProblem", g);
  cls.annotated("file", &PyUnicode_Type);
  cls.annotated("line", &PyLong_Type);
  cls.annotated("message", &PyUnicode_Type);
  cls.annotated("warning", &PyBool_Type, Py_False);
  Def str_def = Def::of<problem_str>("__str__");
  str_def.param("self", &SelfArgs::self).returns(&PyUnicode_Type);
  cls.method(str_def);
  cls.doc("One problem of a mapper file: where it is and what it is.");
  dict_set(g, "MapperProblem", dataclass(cls.make(), {{"frozen", Py_True}}));

  on_start_def = new Def(Def::of<on_start>("start"));
  on_start_def->param("name", &StartArgs::name).param("attrs", &StartArgs::attrs);

  Ref problems = Ref::check(
      PyObject_GetItem(Borrowed(&PyList_Type), dict_get_ref(g, names->MapperProblem).get()));
  Def check_def = Def::of<check_mappers>("check_mappers");
  check_def
      .doc("Checks mapper files (files, or folders of *.xml files at any depth) before they run,\n"
           "and the mapper classes given against their namespaces (async_mappers: those whose\n"
           "mapped methods are async def). Returns the problems found; with on_error='raise'\n"
           "raises Exception naming them all when one is an error, with on_error='warn' issues\n"
           "each as a UserWarning.")
      .param("paths", &CheckArgs::paths, Kind::VarPos)
      .param("mappers", &CheckArgs::mappers, Kind::KwOnly)
      .def(tuple({}))
      .param("async_mappers", &CheckArgs::async_mappers, Kind::KwOnly)
      .def(tuple({}))
      .param("on_error", &CheckArgs::on_error, Kind::KwOnly)
      .annotate("str | None")
      .def(Py_None)
      .returns(problems);
  check_def.bind(g, g);
}

}  // namespace wisp::xml
