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
  S.kw_engine_memory = names_tuple({"echo", "pool_size", "pool_pre_ping"}).release();
  S.kw_gateway = names_tuple({"mapper_dict", "data_source"}).release();
  S.kw_xml_path = names_tuple({"xml_path"}).release();
  S.kw_mysql_record =
      names_tuple({"db_type", "host", "port", "user", "password", "database"}).release();
  S.kw_sqlite_record = names_tuple({"db_type", "sqlite_path"}).release();
  S.kw_url = names_tuple({"username", "password", "host", "port", "database"}).release();
  S.kw_mark_decorated = names_tuple({"mark_decorated"}).release();
  S.pool_size = Ref::check(PyLong_FromLong(10)).release();
  S.max_overflow = Ref::check(PyLong_FromLong(30)).release();
  S.pool_recycle = Ref::check(PyLong_FromLong(1800)).release();
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
  });
}
