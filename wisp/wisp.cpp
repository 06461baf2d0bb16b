// wisp.wisp: the package's front door. Data sources are described once
// (DBConfig, WispConfig), selected per execution context (switch_datasource,
// datasource, db_session, transaction) and used by the mappers.
//
// The namespace is bound in this order; function bodies look every name up
// when they run, so a function may use a name bound after it.
#include "wisp_facade.h"

using namespace wisp;

namespace wisp::facade {

const Names* N;
State S;

void print(Borrowed globals, Borrowed text) {
  call(global(globals, N->print), {text.get()});
}

namespace {

// Re-raises the exception being raised by a registry lookup, with a note
// when WispConfig has not configured the package yet.
[[noreturn]] void reraise_noting_unconfigured(Borrowed globals) {
  Ref exc = fetch_exception();
  if (PyErr_GivenExceptionMatches(exc.get(), PyExc_TypeError) ||
      PyErr_GivenExceptionMatches(exc.get(), PyExc_KeyError)) {
    while_handling(exc, [&] {
      Ref config = global(globals, N->WispConfig);
      if (!truthy(getattr(config, N->initialized))) {
        call_method(exc, N->add_note, {N->unconfigured});
      }
    });
  }
  restore_exception(std::move(exc));
  throw PyError{};
}

}  // namespace

Ref registry_entry(Borrowed globals, Borrowed registry, Borrowed name) {
  try {
    return getitem(registry, name);
  } catch (const PyError&) {
    reraise_noting_unconfigured(globals);
  }
}

namespace {

LazyRef s_union;       // typing.Union
LazyRef s_union_type;  // types.UnionType, the type of `X | Y`

}  // namespace

Ref optional_member(Borrowed globals, Borrowed annotation) {
  // None and plain classes, the common annotations, are no union.
  if (annotation.get() == Py_None || PyType_CheckExact(annotation.get()) ||
      PyUnicode_Check(annotation.get())) {
    return Ref();
  }
  Ref origin = call(global(globals, N->get_origin), {annotation.get()});
  Borrowed union_ = s_union.get([] { return import_attr("typing", "Union"); });
  Borrowed union_type = s_union_type.get([] { return import_attr("types", "UnionType"); });
  if (origin.get() != union_.get() && origin.get() != union_type.get()) return Ref();
  Ref members = call(global(globals, N->get_args), {annotation.get()});
  Ref only;
  bool with_none = false, single = true;
  for_each(members, [&](Borrowed member) {
    if (member.get() == reinterpret_cast<PyObject*>(Py_TYPE(Py_None))) {
      with_none = true;
    } else if (only) {
      single = false;
    } else {
      only = Ref::borrow(member.get());
    }
  });
  if (!with_none || !single) return Ref();
  return only;
}

bool registry_has(Borrowed globals, Borrowed registry, Borrowed name) {
  try {
    return contains(registry, name);
  } catch (const PyError&) {
    reraise_noting_unconfigured(globals);
  }
}

}  // namespace wisp::facade

namespace {

using namespace wisp::facade;

void bind(Borrowed g, const char* name, const char* module, const char* attr) {
  dict_set(g, name, import_attr(module, attr));
}

// 1. Standard library.
void bind_stdlib(Borrowed g) {
  dict_set(g, "os", import("os"));
  dict_set(g, "inspect", import("inspect"));
  bind(g, "wraps", "functools", "wraps");
  bind(g, "ContextVar", "contextvars", "ContextVar");
  bind(g, "contextmanager", "contextlib", "contextmanager");
  bind(g, "dataclass", "dataclasses", "dataclass");
  bind(g, "field", "dataclasses", "field");
}

// 2. SQLAlchemy, pydantic, typing and the package's own modules.
void bind_libraries(Borrowed g) {
  bind(g, "create_engine", "sqlalchemy", "create_engine");
  bind(g, "func_stat", "sqlalchemy", "func");
  bind(g, "text", "sqlalchemy", "text");
  bind(g, "DeclarativeBase", "sqlalchemy.orm", "DeclarativeBase");
  bind(g, "BaseModel", "pydantic", "BaseModel");
  bind(g, "Page", "wisp.db.query_runner", "Page");
  bind(g, "get_type_hints", "typing_extensions", "get_type_hints");
  for (const char* name : {"Any", "get_origin", "Dict", "List", "Generic", "TypeVar", "get_args",
                           "Callable", "Union"}) {
    bind(g, name, "typing", name);
  }
  bind(g, "WispDbGateway", "wisp.db.db_gateway", "WispDbGateway");
  bind(g, "ParseMapper", "wisp.mapper.xml_reader", "ParseMapper");
  bind(g, "Select", "sqlalchemy.sql.selectable", "Select");
  bind(g, "Delete", "sqlalchemy.sql.dml", "Delete");
  bind(g, "Update", "sqlalchemy.sql.dml", "Update");
  bind(g, "delete_statement", "sqlalchemy", "delete");
  bind(g, "update_statement", "sqlalchemy", "update");
  bind(g, "select", "sqlalchemy", "select");
  bind(g, "insert_statement", "sqlalchemy", "insert");
  bind(g, "inspect_statement", "sqlalchemy", "inspect");
  bind(g, "is_result_class", "wisp.utils.class_probe", "is_result_class");
  bind(g, "get_base_type", "wisp.utils.class_probe", "get_base_type");
  bind(g, "is_container_type", "wisp.utils.class_probe", "is_container_type");
}

void init_state() {
  S.kw_engine =
      names_tuple({"echo", "pool_size", "max_overflow", "pool_recycle", "pool_pre_ping"}).release();
  S.kw_url = names_tuple({"username", "password", "host", "port", "database"}).release();
  S.kw_database = names_tuple({"database"}).release();
  S.kw_gateway = names_tuple({"mapper_dict", "data_source"}).release();
  S.kw_xml_path = names_tuple({"xml_path"}).release();
  S.kw_mark_decorated = names_tuple({"mark_decorated"}).release();
  S.pool_size = Ref::check(PyLong_FromLong(10)).release();
  S.max_overflow = Ref::check(PyLong_FromLong(30)).release();
  S.pool_recycle = Ref::check(PyLong_FromLong(1800)).release();
}

// 8. The typed shape of a page result, for return annotations:
//
//     _Row = TypeVar("_Row")
//
//     class PageResult(TypedDict, Generic[_Row]):
//         pageNum: int
//         pageSize: int
//         total: int
//         list: list[_Row]
//
// `-> PageResult[User]` pages as `-> list[User]` does and says what comes
// back; the type variable is the class's own, not a name of the module.
void bind_page_result(Borrowed g) {
  Ref row = call(global(g, intern("TypeVar")), {str("_Row").get()});
  setattr(row, "__module__", global(g, intern("__name__")));
  ClassBuilder cb("PageResult", g);
  cb.doc(
      "The page of rows a paged query gives: the page's number and size, the total "
      "of rows the whole query yields, and the list of this page's rows.");
  Borrowed int_type = &PyLong_Type;
  cb.annotated("pageNum", int_type);
  cb.annotated("pageSize", int_type);
  cb.annotated("total", int_type);
  Ref rows = Ref::check(Py_GenericAlias(reinterpret_cast<PyObject*>(&PyList_Type), row.get()));
  cb.annotated("list", rows);
  Ref generic = getitem(global(g, intern("Generic")), row);
  Ref typed_dict = import_attr("typing", "TypedDict");
  dict_set(g, "PageResult", cb.make_generic(tuple({typed_dict.get(), generic.get()})));
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "wisp", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_wisp() {
  return init_module(&module_def, [](Borrowed g) {
    N = new Names();
    init_state();
    bind_stdlib(g);          // 1
    bind_libraries(g);       // 2
    make_sqlite_listeners(g);
    bind_config(g);          // 3. DataSource, DBConfig, WispConfig
    bind_selection_head(g);  // 4. get_current_db, switch_datasource
    bind_mapper(g);          // 5. T, BaseMapper
    bind_selection(g);       // 6. datasource_context, datasource, _decorate_class,
                             //    _create_wrapped_method, db_session
    bind_transaction(g);     //    transaction
    bind_decorators(g);      // 7. __combine_args, __combine_args_page, _prepare_sql,
                             //    select_one, result_type_handle, select_list,
                             //    select_page, _sql_decorator, insert_list, insert,
                             //    delete, update
    bind_page_result(g);     // 8. PageResult
  });
}
