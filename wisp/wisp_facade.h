// wisp.wisp: what the facade's sources share.
//
// The module is built from one source per concern; `wisp.cpp` binds the
// namespace in order by calling one binder per concern:
//
//   wisp_config.cpp     DataSource, DBConfig, WispConfig
//   wisp_selection.cpp  get_current_db, switch_datasource, datasource_context,
//                       datasource, _decorate_class, _create_wrapped_method,
//                       db_session
//   wisp_transaction.cpp transaction; the transaction scope the wrappers, the
//                       mapper's switch_datasource and transaction share
//   wisp_sqlite.cpp     SQLite engines: BEGIN taken over from the driver
//   wisp_mapper.cpp     T, BaseMapper: its caches, methods and context managers
//   wisp_dispatch.cpp   BaseMapper.__getattribute__: the mapped-method dispatch
//   wisp_args.cpp       call arguments bound to parameter names (wisp_args.h)
//   wisp_decorators.cpp __combine_args, __combine_args_page, _prepare_sql,
//                       select_one, result_type_handle, select_list,
//                       select_page, _sql_decorator, insert_list, insert,
//                       delete, update
//
// Every function body looks module globals up when it runs (`global(f, …)`),
// so patching `wisp.wisp.create_engine` or `switch_datasource` changes what
// the next call does. The objects below are kept only to tell whether a
// global is still the original (for the fast paths that stand in for it).
#pragma once

#include <memory>
#include <optional>

#include "wisp/classes.h"
#include "wisp/function.h"
#include "wisp/generator.h"
#include "wisp/protocol.h"

namespace wisp::facade {

// Strings the module uses, interned once at import.
struct Names {
  // module globals
  PyObject* os = intern("os");
  PyObject* print = intern("print");
  PyObject* wraps = intern("wraps");
  PyObject* create_engine = intern("create_engine");
  PyObject* WispDbGateway = intern("WispDbGateway");
  PyObject* ParseMapper = intern("ParseMapper");
  PyObject* DataSource = intern("DataSource");
  PyObject* WispConfig = intern("WispConfig");
  PyObject* BaseMapper = intern("BaseMapper");
  PyObject* get_current_db = intern("get_current_db");
  PyObject* switch_datasource = intern("switch_datasource");
  PyObject* datasource_context = intern("datasource_context");
  PyObject* decorate_class = intern("_decorate_class");
  PyObject* create_wrapped_method = intern("_create_wrapped_method");

  // attributes
  PyObject* datasource = intern("datasource");
  PyObject* default_key = intern("default_key");
  PyObject* raw_sql = intern("raw_sql");
  PyObject* instance = intern("_instance");
  PyObject* initialized = intern("_initialized");
  PyObject* wisp_mapper_dict = intern("wisp_mapper_dict");
  PyObject* mapper_xml_path = intern("mapper_xml_path");
  PyObject* primary = intern("primary");
  PyObject* ds = intern("ds");
  PyObject* db_type = intern("db_type");
  PyObject* host = intern("host");
  PyObject* port = intern("port");
  PyObject* user = intern("user");
  PyObject* password = intern("password");
  PyObject* database = intern("database");
  PyObject* sqlite_path = intern("sqlite_path");
  PyObject* pool_size = intern("pool_size");
  PyObject* max_overflow = intern("max_overflow");
  PyObject* pool_recycle = intern("pool_recycle");
  PyObject* pool_pre_ping = intern("pool_pre_ping");
  PyObject* echo = intern("echo");
  PyObject* create = intern("create");
  PyObject* get_dialect = intern("get_dialect");
  PyObject* get_pool_class = intern("get_pool_class");
  PyObject* scan_mapper_xml = intern("scan_mapper_xml");
  PyObject* list_mapper = intern("_WispConfig__list_mapper");
  PyObject* namespace_ = intern("namespace");
  PyObject* path = intern("path");
  PyObject* exists = intern("exists");
  PyObject* listdir = intern("listdir");
  PyObject* join = intern("join");
  PyObject* isfile = intern("isfile");
  PyObject* isdir = intern("isdir");
  PyObject* lower = intern("lower");
  PyObject* endswith = intern("endswith");
  PyObject* startswith = intern("startswith");
  PyObject* new_ = intern("__new__");
  PyObject* class_ = intern("__class__");
  PyObject* init = intern("__init__");
  PyObject* getattribute = intern("__getattribute__");
  PyObject* begin_tx = intern("begin_tx");
  PyObject* begin_savepoint = intern("begin_savepoint");
  PyObject* commit = intern("commit");
  PyObject* rollback = intern("rollback");
  PyObject* close = intern("close");
  PyObject* get_ori_session = intern("get_ori_session");
  PyObject* datasource_name_attr = intern("_datasource_name");
  PyObject* transactional_attr = intern("_transactional");
  PyObject* decorated_attr = intern("_datasource_decorated");

  // registry entry keys and fixed texts
  PyObject* db = intern("db");
  PyObject* db_gateway = intern("db_gateway");
  PyObject* mapper_dict = intern("mapper_dict");
  PyObject* mysql = intern("mysql");
  PyObject* sqlite = intern("sqlite");
  PyObject* postgresql = intern("postgresql");
  PyObject* postgres_driver = intern("postgresql+psycopg");
  PyObject* xml = intern("xml");
  PyObject* empty = intern("");
  PyObject* dunder = intern("__");
  PyObject* mysql_driver = intern("mysql+pymysql");
  PyObject* sqlite_prefix = intern("sqlite:///");
  PyObject* file_scheme = intern("file");
  PyObject* uri = intern("uri");
  PyObject* not_exist = intern(" not exist !");
  PyObject* datasource_prefix = intern("datasource ");
  PyObject* not_config = intern(" is not MysqlConfig or SqliteConfig !");
  PyObject* not_config_type = intern(" db_type is not MysqlConfig or SqliteConfig !");
  PyObject* exists_prefix = intern("datasource: ");
  PyObject* exists_suffix = intern(" exist, continue !");
  PyObject* change_prefix = intern("change_datasource: ");
  PyObject* arrow = intern(" -> ");
  PyObject* masked = intern("***");
  PyObject* add_note = intern("add_note");
  PyObject* get_origin = intern("get_origin");
  PyObject* get_args = intern("get_args");
  PyObject* unconfigured = intern(
      "wisp is not configured yet: construct WispConfig(DBConfig(...)) before using data "
      "sources, mappers or statement decorators");
};
extern const Names* N;

// Objects made at import: keyword-name tuples, constants, and the originals
// the fast paths compare module globals against. Kept for the life of the
// process, as the module that holds them is.
struct State {
  PyObject* kw_engine;  // ("echo", "pool_size", "max_overflow", "pool_recycle", "pool_pre_ping")
  PyObject* kw_url;             // ("username", "password", "host", "port", "database")
  PyObject* kw_database;        // ("database",)
  PyObject* kw_gateway;         // ("mapper_dict", "data_source")
  PyObject* kw_xml_path;        // ("xml_path",)
  PyObject* kw_mark_decorated;  // ("mark_decorated",)
  PyObject* pool_size;          // 10
  PyObject* max_overflow;       // 30
  PyObject* pool_recycle;       // 1800
  PyObject* switch_datasource;  // the module's own switch_datasource
  PyObject* sqlite_connect;     // the listeners SQLite engines of the registry get
  PyObject* sqlite_begin;
};
extern State S;

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

// format(value, ""): the text an f-string gives.
inline Ref text_of(Borrowed value) {
  if (PyUnicode_CheckExact(value.get())) return Ref::borrow(value);
  return Ref::check(PyObject_Format(value, N->empty));
}

// `value == text` taken by its truth value (`text` an interned str).
inline bool equals(Borrowed value, PyObject* text) {
  if (PyUnicode_CheckExact(value.get())) return PyUnicode_Compare(value, text) == 0;
  return truthy(Ref::check(PyObject_RichCompare(value, text, Py_EQ)));
}

// `key in container`
inline bool contains(Borrowed container, Borrowed key) {
  return check(PySequence_Contains(container, key)) != 0;
}

// BaseMapper.<name>, with BaseMapper looked up in the module now.
inline Ref mapper_attr(Borrowed globals, PyObject* name) {
  return getattr(global(globals, N->BaseMapper), name);
}

// fn(*args, **kwargs) with the tuple and dict a wrapper received.
inline Ref call_with(Borrowed fn, Borrowed args, Borrowed kwargs) {
  PyObject* kw = PyDict_GET_SIZE(kwargs.get()) ? kwargs.get() : nullptr;
  return Ref::check(PyObject_Call(fn, args, kw));
}

// container[key]
inline Ref getitem(Borrowed container, Borrowed key) {
  return Ref::check(PyObject_GetItem(container, key));
}

// container[key] when `key in container`, else null; one lookup for an
// exact dict.
inline Ref item_if_present(Borrowed container, Borrowed key) {
  if (PyDict_CheckExact(container.get())) return dict_get_ref(container, key);
  if (!contains(container, key)) return Ref();
  return getitem(container, key);
}

// The body of switch_datasource(db), run by its generator and inline by the
// wrappers that enter the module's own switch_datasource:
//
//     db_key = None
//     try:
//         current_value = datasource_context.get()
//         if current_value is not None: db_key = current_value
//         if db not in BaseMapper.datasource: raise ValueError("Unknown data source")
//         if BaseMapper.raw_sql: print(f"change_datasource: {current_value} -> {db}")
//         datasource_context.set(db)
//         yield db
//     finally:
//         current_value = datasource_context.get()
//         if current_value is not None: datasource_context.set(None)
//         if BaseMapper.raw_sql: print(f"change_datasource: {current_value} -> {db_key}")
//         if db_key is not None: datasource_context.set(db_key)
//
// The previous selection is restored by value, not by token. Every name is
// looked up in the module namespace `globals` at each step.
class Switch {
 public:
  Switch(Ref globals, Ref db) : globals_(std::move(globals)), db_(std::move(db)) {}

  // Everything up to the yield; returns `db`. On failure the clean-up has
  // run and its exception (or the first one) propagates.
  Ref enter();
  // The clean-up after the block ended normally.
  void leave();
  // The clean-up with `exc` propagating; an exception the clean-up raises
  // replaces it, with `exc` as its context.
  void leave(Ref& exc);
  int traverse(visitproc visit, void* arg);

 private:
  void restore();
  void trace(Borrowed from, Borrowed to);
  Ref globals_;
  Ref db_;
  Ref db_key_;
};

// `with switch_datasource(name): return body()`, with switch_datasource
// looked up in f's module now. The module's own runs inline, with the same
// effects; a replaced one is entered with the `with` protocol.
template <class F>
Ref in_switch(FunctionObject* f, Borrowed name, F&& body) {
  Ref switcher = global(f, N->switch_datasource);
  if (switcher.get() != S.switch_datasource) {
    Ref manager = call(switcher, {name.get()});
    switcher.reset();
    Ref result = with(manager, [&](Borrowed) { return body(); });
    return result ? result : none();  // suppressed: the code after the block returns None
  }
  switcher.reset();
  Switch scope(Ref::borrow(f->globals), Ref::borrow(name));
  scope.enter();
  Ref result;
  try {
    result = body();
  } catch (...) {
    translate_exception();
    Ref exc = fetch_exception();
    scope.leave(exc);
    restore_exception(std::move(exc));
    throw PyError{};
  }
  scope.leave();
  return result;
}

// The raw SQLAlchemy session of a data source, for the two db_session
// context managers (the module's and BaseMapper's):
//
//     if datasource_name is None: datasource_name = get_current_db()
//     session = None
//     default_db = <owner>.datasource[datasource_name]
//     try:
//         session = default_db["db_gateway"].get_ori_session()
//         yield session
//         session.commit()
//     except Exception:
//         if session is not None: session.rollback()
//         raise
//     finally:
//         if session is not None: session.close()
//
// `owner` is the class whose registry is read (null: BaseMapper, looked up
// when the block is entered); with `check_name`, a name that
// get_current_db() gives must be a str or None.
class SessionBody : public ContextBody {
 public:
  SessionBody(Ref globals, Ref owner, Ref name, bool check_name)
      : globals_(std::move(globals)),
        owner_(std::move(owner)),
        name_(std::move(name)),
        check_name_(check_name) {}

 protected:
  Ref enter() override;
  void on_success() override;
  void on_error(Borrowed exc) override;
  void on_finally() override;
  int traverse(visitproc visit, void* arg) override;

 private:
  Ref globals_;
  Ref owner_;
  Ref name_;
  Ref session_;
  bool check_name_;
};

// The transaction of a data source's gateway around a block:
//
//     gateway = None
//     try:
//         gateway = <owner>.datasource[name]["db_gateway"]
//         gateway.begin_tx()            # begin_savepoint() for a savepoint
//         yield gateway
//         gateway.commit()
//     except BaseException:
//         if gateway: gateway.rollback()
//         raise
//     finally:
//         if gateway: gateway.close()
//
// Every exception rolls back, KeyboardInterrupt and SystemExit too: the
// gateway's close() leaves a transaction that is still open in place, so
// without the rollback the context would keep its session, and every later
// transaction and statement in it would report success while nothing of it
// is ever committed. A failed begin_tx() is rolled back and closed as well;
// a failed begin_savepoint() opened no level, and is left alone.
//
// `owner` is the class whose registry is read (null: BaseMapper, looked up
// when the block is entered); a null `name` is get_current_db() then. The
// gateway is tested for truth, or against None with `is_not_none`.
class TxScope : public ContextBody {
 public:
  TxScope(Ref globals, Ref owner, Ref name, bool savepoint, bool is_not_none = false)
      : globals_(std::move(globals)),
        owner_(std::move(owner)),
        name_(std::move(name)),
        savepoint_(savepoint),
        is_not_none_(is_not_none) {}
  int traverse(visitproc visit, void* arg) override;

 protected:
  Ref enter() override;
  void on_success() override;
  void on_error(Borrowed exc) override;
  void on_finally() override;

 private:
  bool usable();
  Ref globals_;
  Ref owner_;
  Ref name_;
  Ref gateway_;
  bool savepoint_;
  bool is_not_none_;
  bool ended_ = false;
};

// `with switch_datasource(name):` around a TxScope, as a generator body:
// the module's switch_datasource is looked up on entry; while it is the
// original its body runs inline, a replaced one is entered with `with` (and
// may suppress the block's exception). Without a name there is no switch:
// the data source in force is used.
class TransactionBody : public GenBody {
 public:
  TransactionBody(Ref globals, Ref owner, Ref name, bool savepoint, bool is_not_none = false);
  Step resume(Borrowed sent) override;
  Step resume_throw(Ref exc) override;
  int traverse(visitproc visit, void* arg) override;

 private:
  void enter_switch();
  Step leave_switch(Ref exc);
  void leave_switch();
  Ref globals_;
  Ref name_;
  TxScope scope_;
  std::optional<Switch> native_;
  std::unique_ptr<With> block_;
  int state_ = 0;
};

// Makes an SQLite engine of the pysqlite driver emit BEGIN itself, when
// SQLAlchemy begins a transaction, instead of leaving it to the driver
// (which skips it before SAVEPOINT, SELECT and DDL, so that the release of
// a first savepoint would commit). Any other engine is left as it is.
void take_over_sqlite_begin(Borrowed engine);

// Binders, in the order wisp.cpp calls them.
void bind_config(Borrowed g);          // DataSource, DBConfig, WispConfig
void bind_selection_head(Borrowed g);  // get_current_db, switch_datasource
void bind_mapper(Borrowed g);          // T, BaseMapper
// Adds BaseMapper.__getattribute__ (the mapped-method dispatch) to the class
// body, last in class order.
void add_mapper_dispatch(ClassBuilder& cb, Borrowed g);
void bind_selection(Borrowed g);   // datasource_context, datasource, ...
void bind_transaction(Borrowed g);  // transaction
void make_sqlite_listeners(Borrowed g);
void bind_decorators(Borrowed g);  // __combine_args, ..., select_one, ..., update

}  // namespace wisp::facade
