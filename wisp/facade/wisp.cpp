// wisp.wisp: the package's front door. Data sources are described once
// (DBConfig, WispConfig), selected per execution context (switch_datasource,
// datasource, db_session, transaction) and used by the mappers.
//
// The namespace is bound in this order; function bodies look every name up
// when they run, so a function may use a name bound after it.
#include "facade.h"

using namespace wisp;
using namespace wisp::facade;

namespace wisp::facade {

const Names* names;
Originals originals;

void print(Borrowed globals, Borrowed text) {
  call(global(globals, names->print), {text.get()});
}

namespace {

// Re-raises the exception being raised by a registry lookup, with a note
// when WispConfig has not configured the package yet.
[[noreturn]] void reraise_noting_unconfigured(Borrowed globals) {
  Ref exc = fetch_exception();
  if (PyErr_GivenExceptionMatches(exc.get(), PyExc_TypeError) ||
      PyErr_GivenExceptionMatches(exc.get(), PyExc_KeyError)) {
    while_handling(exc, [&] {
      Ref config = global(globals, names->WispConfig);
      if (!truthy(getattr(config, names->initialized))) {
        call_method(exc, names->add_note, {names->unconfigured});
      }
    });
  }
  restore_exception(std::move(exc));
  throw PyError{};
}

}  // namespace

Ref default_page(Borrowed globals) {
  Ref one = Ref::check(PyLong_FromLong(1)), ten = Ref::check(PyLong_FromLong(10));
  return call(global(globals, names->Page), {one.get(), ten.get()});
}

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
  Ref origin = call(global(globals, names->get_origin), {annotation.get()});
  Borrowed union_ = s_union.get([] { return import_attr("typing", "Union"); });
  Borrowed union_type = s_union_type.get([] { return import_attr("types", "UnionType"); });
  if (origin.get() != union_.get() && origin.get() != union_type.get()) return Ref();
  Ref members = call(global(globals, names->get_args), {annotation.get()});
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

// 1. The standard library; 2. SQLAlchemy, pydantic, typing and the
// package's own modules. Each row binds `name` to `module.attr`, or to the
// module itself when there is no attribute.
struct Import {
  const char* name;
  const char* module;
  const char* attr;
};
constexpr Import kImports[] = {
    {"os", "os", nullptr},
    {"inspect", "inspect", nullptr},
    {"wraps", "functools", "wraps"},
    {"ContextVar", "contextvars", "ContextVar"},
    {"contextmanager", "contextlib", "contextmanager"},
    {"dataclass", "dataclasses", "dataclass"},
    {"field", "dataclasses", "field"},
    {"create_engine", "sqlalchemy", "create_engine"},
    {"func_stat", "sqlalchemy", "func"},
    {"text", "sqlalchemy", "text"},
    {"DeclarativeBase", "sqlalchemy.orm", "DeclarativeBase"},
    {"BaseModel", "pydantic", "BaseModel"},
    {"Page", "wisp.db.query_runner", "Page"},
    {"get_type_hints", "typing_extensions", "get_type_hints"},
    {"Any", "typing", "Any"},
    {"get_origin", "typing", "get_origin"},
    {"Dict", "typing", "Dict"},
    {"List", "typing", "List"},
    {"Generic", "typing", "Generic"},
    {"TypeVar", "typing", "TypeVar"},
    {"get_args", "typing", "get_args"},
    {"Callable", "typing", "Callable"},
    {"Union", "typing", "Union"},
    {"WispDbGateway", "wisp.db.db_gateway", "WispDbGateway"},
    {"ParseMapper", "wisp.mapper.xml_reader", "ParseMapper"},
    {"Select", "sqlalchemy.sql.selectable", "Select"},
    {"Delete", "sqlalchemy.sql.dml", "Delete"},
    {"Update", "sqlalchemy.sql.dml", "Update"},
    {"delete_statement", "sqlalchemy", "delete"},
    {"update_statement", "sqlalchemy", "update"},
    {"select", "sqlalchemy", "select"},
    {"insert_statement", "sqlalchemy", "insert"},
    {"inspect_statement", "sqlalchemy", "inspect"},
    {"is_result_class", "wisp.utils.class_probe", "is_result_class"},
    {"get_base_type", "wisp.utils.class_probe", "get_base_type"},
    {"is_container_type", "wisp.utils.class_probe", "is_container_type"},
};

void bind_imports(Borrowed g) {
  for (const Import& row : kImports) {
    dict_set(g, row.name, row.attr ? import_attr(row.module, row.attr) : import(row.module));
  }
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

}  // namespace

WISP_MODULE(wisp, wisp::facade::names, g) {
  bind_imports(g);           // 1, 2
  bind_sqlite_listeners(g);  //    (no global: the listeners SQLite engines get)
  make_async_bridge(g);      //    (no global: the bridge of awaited calls)
  bind_config(g);            // 3. DataSource, DBConfig, WispConfig
  bind_selection_head(g);    // 4. get_current_db, switch_datasource
  bind_mapper(g);            // 5. T, BaseMapper
  bind_selection(g);         // 6. datasource_context, datasource, _decorate_class,
                             //    _create_wrapped_method, db_session
  bind_transaction(g);       //    transaction
  bind_decorators(g);        // 7. __combine_args, __combine_args_page, _prepare_sql,
                             //    select_one, result_type_handle, select_list,
                             //    select_page, _sql_decorator, insert_list, insert,
                             //    delete, update
  bind_page_result(g);       // 8. PageResult
  watch_dispatch_globals(g); //    (no global: what the mapper dispatch keeps)
  bind_async(g);             // 9. async_db_session, AsyncBaseMapper
}
