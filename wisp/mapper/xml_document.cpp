// wisp.mapper.xml_reader: the document and its statement index. Loading a
// mapper file indexes its statements by id (element, declared result type,
// kind); get_sql finds a statement by id and has it rendered and finished
// by the method for its kind. Failures of rendering carry a note naming the
// mapper file and the statement.
#include "wisp/protocol.h"
#include "xml_reader.h"

namespace wisp::xml {

namespace {

// Whether `self` hashes and compares as a plain object does. The mapper file
// of a subclass with its own __hash__ or __eq__ is not remembered: keying it
// would run that code while the object is being built (and fail it when
// that code needs attributes the subclass sets later).
bool keyed_by_identity(Borrowed self) {
  PyTypeObject* t = Py_TYPE(self.get());
  return t->tp_hash == PyBaseObject_Type.tp_hash &&
         t->tp_richcompare == PyBaseObject_Type.tp_richcompare;
}

// The <mapper> element: the root itself or the first one below it.
// `self.namespace` is set from its attribute when it has one.
Ref mapper_element(Borrowed self, Ref root) {
  Ref walk = call_method(root, names->iter, {});
  Ref it = iterate(walk);
  while (Ref el = iter_next(it)) {
    if (!equals(getattr(el, names->tag), names->mapper)) continue;
    Ref attrib = getattr(el, names->attrib);
    if (contains(attrib, names->namespace_)) {
      setattr(self, names->namespace_, getitem(attrib, names->namespace_));
    }
    return el;
  }
  return root;
}

// Adds to the exception being raised the note `make()` returns (a new str,
// or null), made with the exception set aside; when making it fails, the
// exception goes on without it.
template <class Make>
void add_note_made(Make&& make) {
  Ref exc = fetch_exception();
  Ref note = Ref::steal(make());
  if (!note) PyErr_Clear();
  restore_exception(std::move(exc));
  if (note) add_note_to_current(note);
}

// Adds "mapper file '<path>'" (when known), then ", namespace '<ns>'" (when
// the object has one), then ", <what><detail!r>".
void note_where(Borrowed self, const char* what, Borrowed detail) {
  add_note_made([&]() -> PyObject* {
    Ref path = mapper_file(self);
    Ref ns = Ref::steal(PyObject_GenericGetAttr(self, names->namespace_));
    if (!ns) PyErr_Clear();
    if (path && ns) {
      return PyUnicode_FromFormat("mapper file %R, namespace %R, %s%R", path.get(), ns.get(), what,
                                  detail.get());
    }
    if (path || ns) {
      return PyUnicode_FromFormat("%s %R, %s%R", path ? "mapper file" : "namespace",
                                  path ? path.get() : ns.get(), what, detail.get());
    }
    return PyUnicode_FromFormat("%s%R", what, detail.get());
  });
}

}  // namespace

Ref declared_result_type(Borrowed globals, Borrowed type_name) {
  if (type_name.get() == Py_None) return global(globals, names->dict);
  Ref temp_type = call(global(globals, names->get_type_from_string), {type_name.get()});
  if (truthy(call(global(globals, names->is_container_type_by_str), {type_name.get()})) &&
      temp_type.get() != global(globals, names->dict).get()) {
    raise(PyExc_TypeError, concat({names->refused_type, type_name.get()}));
  }
  return temp_type;
}

namespace {

// def __init__(self, xml_path: str = None)
struct InitArgs {
  Ref self, xml_path;
};
Ref init(FunctionObject* f, InitArgs& args) {
  Borrowed self = args.self;
  Ref id_map = new_dict();
  Ref result_types = new_dict();
  Ref sql_types = new_dict();
  setattr(self, names->id_2_element_map, id_map);
  setattr(self, names->result_type_map, result_types);
  setattr(self, names->sql_type_map, sql_types);

  Ref et = global(f, names->et);
  Ref tree;
  try {
    tree = call_method(et, names->parse, {args.xml_path.get()});
  } catch (const PyError&) {
    Ref exc = fetch_exception();
    Ref parse_error = Ref::steal(PyObject_GetAttr(et.get(), names->ParseError));
    if (!parse_error) PyErr_Clear();
    const bool malformed =
        parse_error && exc && PyErr_GivenExceptionMatches(exc.get(), parse_error.get());
    restore_exception(std::move(exc));
    if (malformed) {
      add_note_made([&] { return PyUnicode_FromFormat("mapper file %R", args.xml_path.get()); });
    }
    throw;
  }
  // Remembered for the notes on failures; an object that cannot be a weak
  // key by its identity simply goes without.
  if (keyed_by_identity(self) && PyObject_SetItem(state.paths, self, args.xml_path.get()) < 0) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_error();
    PyErr_Clear();
  }
  Ref root = mapper_element(self, call_method(tree, names->getroot, {}));
  for_each(root, [&](Borrowed child) {
    Ref tag = getattr(child, names->tag);
    if (!contains(global(f, names->sql_id_type_list), tag)) return;
    Ref sql_id = call_method(child, names->get, {names->id});
    Ref type_name = none();
    if (equals(tag, names->select)) type_name = call_method(child, names->get, {names->resultType});
    Ref result_type;
    try {
      result_type = declared_result_type(f->globals, type_name);
    } catch (const PyError&) {
      note_where(self, "resultType of statement ", sql_id);
      throw;
    }
    if (sql_id.get() == Py_None) {
      PyErr_SetString(PyExc_Exception, "Missing id");
      note_where(self, "an element without id: ", tag);
      throw PyError{};
    }
    check(PyObject_SetItem(id_map.get(), sql_id.get(), child.get()));
    check(PyObject_SetItem(result_types.get(), sql_id.get(), result_type.get()));
    check(PyObject_SetItem(sql_types.get(), sql_id.get(), tag.get()));
  });
  return none();
}

}  // namespace

Ref statement_element(Borrowed self, Borrowed id, PyObject* kind, const char* wrong_kind) {
  Ref id_map = getattr(self, names->id_2_element_map);
  const char* failure = nullptr;
  Ref element;
  if (!contains(id_map, id)) {
    failure = "Missing id";
  } else {
    element = getitem(id_map, id);
    if (!equals(getattr(element, names->tag), kind)) failure = wrong_kind;
  }
  if (!failure) return element;
  PyErr_SetString(PyExc_Exception, failure);
  note_where(self, "id ", id);
  throw PyError{};
}

namespace {

// self.<method>(sql_id, params). Our own select, update or delete, bound to
// this instance, runs directly when the arguments are of the exact types its
// checks let through unchanged.
Ref run_statement(Borrowed self, PyObject* method, Borrowed sql_id, Borrowed params) {
  Ref m = getattr(self, method);
  if (PyMethod_Check(m.get()) && PyMethod_GET_SELF(m.get()) == self.get() &&
      PyUnicode_CheckExact(sql_id.get()) && PyDict_CheckExact(params.get())) {
    PyObject* fn = PyMethod_GET_FUNCTION(m.get());
    auto* own = reinterpret_cast<FunctionObject*>(fn);
    StatementArgs args{Ref::borrow(self), Ref::borrow(sql_id), Ref::borrow(params)};
    if (fn == state.select) return select(own, args);
    if (fn == state.update) return update(own, args);
    if (fn == state.delete_) return delete_(own, args);
  }
  return call(m, {sql_id.get(), params.get()});
}

// def get_sql(self, sql_id: str, params: dict = None) -> tuple
struct GetSqlArgs {
  Ref self, sql_id, params;
};
Ref get_sql(FunctionObject*, GetSqlArgs& args) {
  Borrowed self = args.self;
  Ref result_type = mapping_get(getattr(self, names->result_type_map), args.sql_id, Py_None);
  Ref sql_type = mapping_get(getattr(self, names->sql_type_map), args.sql_id, Py_None);
  PyObject* method = names->delete_;
  if (equals(sql_type, names->select)) {
    method = names->select;
  } else if (equals(sql_type, names->insert)) {
    method = names->insert;
  } else if (equals(sql_type, names->update)) {
    method = names->update;
  }
  Ref result = run_statement(self, method, args.sql_id, args.params);
  auto [clause, binds] = unpack<2>(result);
  return tuple({clause.get(), binds.get(), sql_type.get(), result_type.get()});
}

// def list_statement(self)
Ref list_statement(FunctionObject*, Ref* a) {
  return call_method(getattr(a[0], names->id_2_element_map), names->keys, {});
}

// def __getattr__(self, name): only reached when the attribute is missing.
// The error is the interpreter's own; a missing `namespace` also says which
// mapper file declares none.
struct GetattrArgs {
  Ref self, name;
};
Ref missing_attribute(FunctionObject*, GetattrArgs& args) {
  PyObject* self = args.self.get();
  PyObject* name = args.name.get();
  if (!PyUnicode_Check(name)) {
    raise_format(PyExc_TypeError, "attribute name must be string, not '%.200s'",
                 Py_TYPE(name)->tp_name);
  }
  PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%U'",
               Py_TYPE(self)->tp_name, name);
  Ref exc = fetch_exception();
  if (PyObject_SetAttr(exc.get(), names->name, name) < 0 ||
      PyObject_SetAttr(exc.get(), names->obj, self) < 0) {
    PyErr_Clear();
  }
  restore_exception(std::move(exc));
  if (PyUnicode_Compare(name, names->namespace_) == 0) {
    add_note_made([&]() -> PyObject* {
      Ref path = mapper_file(self);
      if (!path) return nullptr;
      return PyUnicode_FromFormat(
          "mapper file %R declares no namespace (<mapper namespace=\"...\">)", path.get());
    });
  }
  throw PyError{};
}

}  // namespace

void bind_missing_attribute(ClassBuilder& cls) {
  Def d = Def::of<missing_attribute>("__getattr__");
  d.param("self", &GetattrArgs::self).param("name", &GetattrArgs::name);
  cls.method(d);
}

void bind_index(ClassBuilder& cls) {
  Def init_def = Def::of<init>("__init__");
  init_def.param("self", &InitArgs::self)
      .param("xml_path", &InitArgs::xml_path)
      .annotate(&PyUnicode_Type)
      .def(Py_None);
  cls.method(init_def);

  Def get_sql_def = Def::of<get_sql>("get_sql");
  get_sql_def
      .doc(
          "\n"
          "        Get SQL Statement By sql_id\n"
          "        Formatting of SQL Statements\n"
          "        :return:\n"
          "        ")
      .param("self", &GetSqlArgs::self)
      .param("sql_id", &GetSqlArgs::sql_id)
      .annotate(&PyUnicode_Type)
      .param("params", &GetSqlArgs::params)
      .annotate(&PyDict_Type)
      .def(Py_None)
      .returns(&PyTuple_Type);
  cls.method(get_sql_def);

  Def list_def("list_statement", list_statement);
  list_def.param("self");
  cls.method(list_def);
}

// ---------------------------------------------------------------------------
// Notes on failures

Ref mapper_file(Borrowed self) {
  if (!keyed_by_identity(self)) return Ref();
  PyObject* path = PyObject_GetItem(state.paths, self);
  if (!path) PyErr_Clear();
  return Ref::steal(path);
}

namespace {

// Whether `exc` carries `note` already. The same exception object can pass
// here many times (one a test expression keeps and raises again, or one
// coming out of a get_sql called from a test at each level); it gets each
// note once. Reading __notes__ can run Python code; if that fails, the
// answer is no.
bool has_note(Borrowed exc, Borrowed note) {
  Ref notes = Ref::steal(PyObject_GetAttr(exc, names->notes));
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

}  // namespace

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
  if (r.loop) {
    Ref loop = quiet(
        PyUnicode_FromFormat("position %zd of collection %R", r.position, r.loop.get()));
    what = what && loop ? quiet(PyUnicode_FromFormat("%U, %U", what.get(), loop.get()))
                        : (what ? what : loop);
  }
  Ref note = where && what ? quiet(PyUnicode_FromFormat("%U, %U", where.get(), what.get()))
                           : (where ? where : what);
  if (note && exc && has_note(exc, note)) note.reset();
  restore_exception(std::move(exc));
  if (note) add_note_to_current(note);
}

}  // namespace wisp::xml
