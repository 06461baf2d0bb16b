// wisp.wisp: what the facade's sources share. It depends on the runtime
// alone; what a few sources share besides sits in headers of its own
// (selection.h, transaction.h, binding.h).
//
// The module is built from one source per concern; wisp.cpp binds the
// namespace in order by calling one binder per concern:
//
//   wisp.cpp         the module: imports, PageResult, and the helpers below
//   config.cpp       DataSource, DBConfig, WispConfig
//   selection.cpp    get_current_db, switch_datasource, datasource_context,
//                    datasource, _decorate_class, _create_wrapped_method,
//                    db_session (selection.h: the switch and session bodies)
//   transaction.cpp  transaction (transaction.h: the transaction scope the
//                    wrappers, BaseMapper.switch_datasource and transaction
//                    share)
//   sqlite.cpp       SQLite engines: BEGIN taken over from the driver
//   mapper.cpp       T, BaseMapper: its caches, methods and context managers
//   dispatch.cpp     BaseMapper.__getattribute__: the mapped-method dispatch
//   binding.cpp      call arguments bound to parameter names (binding.h)
//   decorators.cpp   __combine_args, __combine_args_page, _prepare_sql,
//                    select_one, result_type_handle, select_list,
//                    select_page, _sql_decorator, insert_list, insert,
//                    delete, update
//
// Every function body looks module globals up when it runs (`global(f, …)`),
// so patching `wisp.wisp.create_engine` or `switch_datasource` changes what
// the next call does. A fast path that stands in for a global is taken only
// while the global is still the object in `originals`.
#pragma once

#include "wisp/classes.h"
#include "wisp/function.h"
#include "wisp/generator.h"
#include "wisp/protocol.h"

namespace wisp::facade {

// The module's interned names, made once before its body runs.
struct Names {
  // module globals, looked up when a body runs
  PyObject *os = intern("os"), *print = intern("print"), *wraps = intern("wraps"),
           *inspect = intern("inspect"), *contextmanager = intern("contextmanager"),
           *create_engine = intern("create_engine"), *text = intern("text"),
           *select = intern("select"), *func_stat = intern("func_stat"),
           *insert_statement = intern("insert_statement"),
           *update_statement = intern("update_statement"),
           *delete_statement = intern("delete_statement"),
           *inspect_statement = intern("inspect_statement"), *BaseModel = intern("BaseModel"),
           *DeclarativeBase = intern("DeclarativeBase"), *Page = intern("Page"),
           *PageResult = intern("PageResult"), *get_type_hints = intern("get_type_hints"),
           *get_origin = intern("get_origin"), *get_args = intern("get_args"),
           *List = intern("List"), *Dict = intern("Dict"), *dict = intern("dict"),
           *list = intern("list"), *get_base_type = intern("get_base_type"),
           *is_container_type = intern("is_container_type"),
           *is_result_class = intern("is_result_class"), *WispDbGateway = intern("WispDbGateway"),
           *ParseMapper = intern("ParseMapper"), *DataSource = intern("DataSource"),
           *WispConfig = intern("WispConfig"), *BaseMapper = intern("BaseMapper"),
           *get_current_db = intern("get_current_db"),
           *switch_datasource = intern("switch_datasource"),
           *datasource_context = intern("datasource_context"),
           *decorate_class = intern("_decorate_class"),
           *create_wrapped_method = intern("_create_wrapped_method"),
           *combine_args = intern("__combine_args"),
           *combine_args_page = intern("__combine_args_page"),
           *prepare_sql = intern("_prepare_sql"), *sql_decorator = intern("_sql_decorator"),
           *result_type_handle = intern("result_type_handle");

  // attributes of the module's classes and their instances
  PyObject *datasource = intern("datasource"), *default_key = intern("default_key"),
           *raw_sql = intern("raw_sql"), *instance = intern("_instance"),
           *initialized = intern("_initialized"), *wisp_mapper_dict = intern("wisp_mapper_dict"),
           *mapper_xml_path = intern("mapper_xml_path"), *mapper_errors = intern("mapper_errors"),
           *primary = intern("primary"), *ds = intern("ds"),
           *scan_mapper_xml = intern("scan_mapper_xml"),
           *list_mapper = intern("_WispConfig__list_mapper"), *type_cache = intern("_type_cache"),
           *sig_cache = intern("_sig_cache"), *wrapper_cache = intern("_wrapper_cache"),
           *type_parameter = intern("_BaseMapper__type_parameter"),
           *exclude_pk = intern("_BaseMapper__exclude_pk"), *get_auto_pk = intern("_get_auto_pk"),
           *convert_data = intern("_convert_data"),
           *session_of_class = intern("_BaseMapper__session"), *session = intern("session"),
           *use_orm2 = intern("_use_orm2"), *datasource_name_attr = intern("_datasource_name"),
           *transactional_attr = intern("_transactional"),
           *decorated_attr = intern("_datasource_decorated"), *savepoint = intern("savepoint");

  // DataSource fields, and the keys of a data-source dict
  PyObject *db_type = intern("db_type"), *host = intern("host"), *port = intern("port"),
           *user = intern("user"), *password = intern("password"), *database = intern("database"),
           *sqlite_path = intern("sqlite_path"), *pool_size = intern("pool_size"),
           *max_overflow = intern("max_overflow"), *pool_recycle = intern("pool_recycle"),
           *pool_pre_ping = intern("pool_pre_ping"), *echo = intern("echo");

  // a registry entry's keys, and the gateway's operations
  PyObject *db = intern("db"), *db_gateway = intern("db_gateway"),
           *mapper_dict = intern("mapper_dict"), *begin_tx = intern("begin_tx"),
           *begin_savepoint = intern("begin_savepoint"), *commit = intern("commit"),
           *rollback = intern("rollback"), *close = intern("close"),
           *get_ori_session = intern("get_ori_session"), *add = intern("add"),
           *add_all = intern("add_all"), *insert_orm2 = intern("insert_orm2"),
           *delete_orm2 = intern("delete_orm2"), *update_orm2 = intern("update_orm2"),
           *bulk_update_mappings = intern("bulk_update_mappings"),
           *select_all_orm1 = intern("select_all_orm1"),
           *select_all_orm2 = intern("select_all_orm2"),
           *select_one_orm1 = intern("select_one_orm1"),
           *select_one_orm2 = intern("select_one_orm2"), *select_one = intern("select_one"),
           *select_list = intern("select_list"), *select_page = intern("select_page"),
           *insert_list = intern("insert_list"), *insert = intern("insert"),
           *update = intern("update"), *delete_ = intern("delete"),
           *execute_sql = intern("execute_sql");

  // mapper files
  PyObject *namespace_ = intern("namespace"), *id_2_element_map = intern("id_2_element_map"),
           *get_sql = intern("get_sql"), *to_prepared_statement = intern("to_prepared_statement"),
           *xml = intern("xml");

  // attributes and methods of Python's own objects
  PyObject *new_ = intern("__new__"), *class_ = intern("__class__"), *init = intern("__init__"),
           *getattribute = intern("__getattribute__"), *enter = intern("__enter__"),
           *exit = intern("__exit__"), *dunder_name = intern("__name__"),
           *qualname = intern("__qualname__"), *annotations = intern("__annotations__"),
           *signature_attr = intern("__signature__"), *wrapped_attr = intern("__wrapped__"),
           *args_attr = intern("__args__"), *orig_bases = intern("__orig_bases__"),
           *get = intern("get"), *keys = intern("keys"), *items = intern("items"),
           *values = intern("values"), *pop = intern("pop"), *lower = intern("lower"),
           *endswith = intern("endswith"), *startswith = intern("startswith"),
           *add_note = intern("add_note"), *path = intern("path"), *exists = intern("exists"),
           *listdir = intern("listdir"), *join = intern("join"), *isfile = intern("isfile"),
           *isdir = intern("isdir"), *signature = intern("signature"),
           *parameters = intern("parameters"), *default_ = intern("default"),
           *annotation = intern("annotation"), *kind = intern("kind"),
           *empty_attr = intern("empty"), *iscoroutinefunction = intern("iscoroutinefunction"),
           *isasyncgenfunction = intern("isasyncgenfunction");

  // attributes and methods of SQLAlchemy's and pydantic's objects
  PyObject *create = intern("create"), *get_dialect = intern("get_dialect"),
           *get_pool_class = intern("get_pool_class"), *table = intern("__table__"),
           *columns = intern("columns"), *autoincrement_column = intern("autoincrement_column"),
           *local_table = intern("local_table"), *persist_selectable = intern("persist_selectable"),
           *key = intern("key"), *compile = intern("compile"), *inherits = intern("inherits"),
           *polymorphic_on = intern("polymorphic_on"), *version_id_col = intern("version_id_col"),
           *primary_key = intern("primary_key"), *autoincrement = intern("autoincrement"),
           *name = intern("name"), *model_dump = intern("model_dump"), *where = intern("where"),
           *id = intern("id"), *expression = intern("expression"), *identity = intern("identity"),
           *always = intern("always"), *inserted_primary_key = intern("inserted_primary_key"),
           *limit = intern("limit"), *offset = intern("offset"), *subquery = intern("subquery"),
           *select_from = intern("select_from"), *count = intern("count"),
           *column_descriptions = intern("column_descriptions"),
           *selected_columns = intern("selected_columns"), *type = intern("type"),
           *python_type = intern("python_type"), *execution_options = intern("execution_options"),
           *has_identity = intern("has_identity"), *dialect = intern("dialect"),
           *driver = intern("driver"), *isolation_level = intern("isolation_level"),
           *get_execution_options = intern("get_execution_options"),
           *connection = intern("connection"), *dbapi_connection = intern("dbapi_connection"),
           *execute = intern("execute"), *on_connect = intern("connect"),
           *on_begin = intern("begin");

  // keys and values
  PyObject *return_ = intern("return"), *data = intern("data"), *total = intern("total"),
           *page_num = intern("pageNum"), *page_size = intern("pageSize"), *mysql = intern("mysql"),
           *sqlite = intern("sqlite"), *postgresql = intern("postgresql"),
           *pysqlite = intern("pysqlite"), *autocommit = intern("AUTOCOMMIT"),
           *begin = intern("BEGIN"), *raise_ = intern("raise"), *warn = intern("warn");

  // the async surface
  PyObject *AsyncBaseMapper = intern("AsyncBaseMapper"), *greenlet = intern("greenlet"),
           *getcurrent = intern("getcurrent"), *url = intern("url"), *set = intern("set"),
           *get_backend_name = intern("get_backend_name"), *sync_engine = intern("sync_engine"),
           *sync_session = intern("sync_session"), *dispose = intern("dispose"),
           *discard = intern("discard"), *add_done_callback = intern("add_done_callback"),
           *create_task = intern("create_task"), *is_closed = intern("is_closed"),
           *manager = intern("_manager"), *coroutine_marker = intern("_is_coroutine_marker"),
           *dunder_dict = intern("__dict__"), *dunder_func = intern("__func__"),
           *aiosqlite = intern("aiosqlite"), *aiomysql = intern("aiomysql"),
           *psycopg = intern("psycopg"), *plus = intern("+"),
           *engine_disposed = intern("engine_disposed");

  // keyword names of the calls the bodies make
  PyObject *kw_url = names_tuple({"username", "password", "host", "port", "database"}).release(),
           *kw_database = names_tuple({"database"}).release(),
           *kw_gateway = names_tuple({"mapper_dict", "data_source"}).release(),
           *kw_xml_path = names_tuple({"xml_path"}).release(),
           *kw_mark_decorated = names_tuple({"mark_decorated"}).release(),
           *kw_execute_sql =
               names_tuple({"sql_id", "namespace", "ori_params", "page", "return_type"}).release(),
           *kw_get_sql = names_tuple({"sql_id", "params"}).release();

  // texts
  PyObject *empty = intern(""), *dunder = intern("__"), *comma = intern(", "),
           *arrow = intern(" -> "), *masked = intern("***"),
           *mysql_driver = intern("mysql+pymysql"), *postgres_driver = intern("postgresql+psycopg"),
           *sqlite_prefix = intern("sqlite:///"), *file_scheme = intern("file"),
           *uri = intern("uri"), *not_exist = intern(" not exist !"),
           *datasource_prefix = intern("datasource "),
           *not_config = intern(" is not MysqlConfig or SqliteConfig !"),
           *not_config_type = intern(" db_type is not MysqlConfig or SqliteConfig !"),
           *exists_prefix = intern("datasource: "), *exists_suffix = intern(" exist, continue !"),
           *change_prefix = intern("change_datasource: "), *data_type = intern("Data type "),
           *not_supported = intern(" is not supported"),
           *unconsumed = intern("Unconsumed column names: "),
           *model_expected = intern(": the mapper's model is "),
           *is_expected = intern(", an instance of it is expected"),
           *check_return = intern("please check return type: "),
           *set_list = intern(", should set list ..."),
           *unconfigured = intern(
               "wisp is not configured yet: construct WispConfig(DBConfig(...)) before using "
               "data sources, mappers or statement decorators");
};
extern const Names* names;

// The module's own objects that fast paths stand in for, kept from the
// moment each is bound for the life of the process: a path that skips a
// call to one is taken only while the module global still holds it.
struct Originals {
  PyObject* switch_datasource;
  PyObject* combine_args;
  PyObject* combine_args_page;
  PyObject* prepare_sql;
  PyObject* result_type_handle;
  PyObject* is_result_class;   // wisp.utils.class_probe.is_result_class
  PyObject* inspect;           // the module
  PyObject* signature;         // inspect.signature
  PyObject* get_type_hints;    // typing_extensions.get_type_hints
  PyObject* base_model;        // pydantic.BaseModel
  PyObject* declarative_base;  // sqlalchemy.orm.DeclarativeBase
};
extern Originals originals;

// ---------------------------------------------------------------------------
// Helpers the sources share (wisp.cpp)

// `print(text)` with the builtin (or whatever `print` names) looked up now.
void print(Borrowed globals, Borrowed text);

// registry[name]: the entry of a data source in the data-source registry
// (BaseMapper.datasource, as the caller read it). Before WispConfig has
// configured the package the lookup fails as the registry makes it fail (a
// TypeError while it is None, a KeyError when no primary data source gives a
// name), and the error carries a note saying what is missing.
Ref registry_entry(Borrowed globals, Borrowed registry, Borrowed name);
// `name in registry`, with the same note.
bool registry_has(Borrowed globals, Borrowed registry, Borrowed name);

// X for an annotation that is `X | None` or `Optional[X]` (one type and
// None), with the module's get_origin and get_args; null for any other.
Ref optional_member(Borrowed globals, Borrowed annotation);

// Page(1, 10), the page a paged call runs with when it is given none, with
// the module's Page.
Ref default_page(Borrowed globals);

// format(value, ""): the text an f-string gives.
inline Ref text_of(Borrowed value) {
  if (PyUnicode_CheckExact(value.get())) return Ref::borrow(value);
  return Ref::check(PyObject_Format(value, names->empty));
}

// BaseMapper.<name>, with BaseMapper looked up in the module now.
inline Ref mapper_attr(Borrowed globals, PyObject* name) {
  return getattr(global(globals, names->BaseMapper), name);
}

// fn(*args, **kwargs) with the tuple and dict a wrapper received.
inline Ref call_with(Borrowed fn, Borrowed args, Borrowed kwargs) {
  PyObject* kw = PyDict_GET_SIZE(kwargs.get()) ? kwargs.get() : nullptr;
  return Ref::check(PyObject_Call(fn, args, kw));
}

// Makes an SQLite engine of the pysqlite driver emit BEGIN itself, when
// SQLAlchemy begins a transaction, instead of leaving it to the driver
// (which skips it before SAVEPOINT, SELECT and DDL, so that the release of
// a first savepoint would commit). Any other engine is left as it is.
// (sqlite.cpp)
void take_over_sqlite_begin(Borrowed engine);

// ---------------------------------------------------------------------------
// Binders, in the order wisp.cpp calls them.

void bind_sqlite_listeners(Borrowed g);  // the listeners SQLite engines get (no global)
void bind_config(Borrowed g);            // DataSource, DBConfig, WispConfig
void bind_selection_head(Borrowed g);    // get_current_db, switch_datasource
void bind_mapper(Borrowed g);            // T, BaseMapper
// Adds BaseMapper.__getattribute__ (the mapped-method dispatch) to the class
// body, last in class order; AsyncBaseMapper's with `is_async`.
void add_mapper_dispatch(ClassBuilder& cb, Borrowed g, bool is_async = false);
// Once PageResult is bound: the globals what the dispatch keeps of a return
// annotation is worked out through.
void watch_dispatch_globals(Borrowed g);
void bind_selection(Borrowed g);    // datasource_context, datasource, ...
void bind_transaction(Borrowed g);  // transaction
void bind_decorators(Borrowed g);   // __combine_args, ..., select_one, ..., update

}  // namespace wisp::facade

#include "async.h"  // the async surface
