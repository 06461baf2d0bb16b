// wisp.wisp, configuration: DataSource, DBConfig and the process-wide
// registry WispConfig.
//
//     @dataclass
//     class DataSource: db_type, host, port, user, password, database, sqlite_path,
//                       pool_size, max_overflow, pool_recycle, pool_pre_ping, echo
//
// The last five are a data source's own engine options (None: the default
// every engine gets).
//
//     @dataclass
//     class DBConfig:                      # its own __init__
//         ds: "dict[str, DataSource]" = field(init=False)
//         raw_sql: "bool" = False
//         mapper_xml_path: "str" = None
//         primary: "str" = None
//
//     class WispConfig:                    # singleton; keywords mapper_errors, quiet
//         _instance = None
//         _initialized = False
//         datasource: "dict" = {}
//         raw_sql: "bool" = False
//         wisp_mapper_dict: "dict" = {}
#include <cerrno>
#include <utility>

#include "facade.h"

using namespace wisp;
using namespace wisp::facade;

namespace {

// The port of a MySQL record as URL.create takes it: an int as it is, any
// other value read as the text it gives (so a port written "3306" is 3306,
// and one that is no number is refused as the URL parser refuses it).
Ref port_number(Borrowed port) {
  if (PyLong_CheckExact(port.get())) return Ref::borrow(port.get());
  return Ref::check(PyNumber_Long(text_of(port).get()));
}

// Whether an SQLite path is written as an SQLite URI, the form SQLAlchemy
// documents ("file:name?mode=ro&uri=true"): such a path is read as a URL,
// its query giving the driver's options, as it always was.
bool sqlite_uri(Borrowed path) {
  Ref parts = call(import_attr("urllib.parse", "urlsplit"), {path.get()});
  if (!equals(getattr(parts, "scheme"), names->file_scheme)) return false;
  Ref query = call(import_attr("urllib.parse", "parse_qs"), {getattr(parts, "query").get()});
  return contains(query, names->uri);
}

}  // namespace

namespace wisp::facade {

// Whether SQLAlchemy keeps the database of `url` in its connection: it
// picks a pool other than a QueuePool for it (SQLite in memory, by whatever
// URL says so).
bool held_in_connection(Borrowed url) {
  Ref dialect = call_method(url, names->get_dialect, {});
  Ref pool_class = call_method(dialect, names->get_pool_class, {url.get()});
  Ref queue_pool = import_attr("sqlalchemy.pool", "QueuePool");
  return check(PyObject_IsSubclass(pool_class.get(), queue_pool.get())) == 0;
}

}  // namespace wisp::facade

namespace {

// The URL of a PostgreSQL record, driven by psycopg (`create` is URL.create):
//
//     URL.create("postgresql+psycopg", username=user, password=password,
//                host=host, port=port, database=database)
//
// SQLAlchemy's URL keeps each part as given, so names and passwords may hold
// any character.
Ref postgres_url(Borrowed create, Borrowed record) {
  Ref user = getattr(record, names->user);
  Ref password = getattr(record, names->password);
  Ref host = getattr(record, names->host);
  Ref port = getattr(record, names->port);
  Ref database = getattr(record, names->database);
  return call_kw(
      create,
      {names->postgres_driver, user.get(), password.get(), host.get(), port.get(), database.get()},
      names->kw_url);
}

// The engine URL of a data-source record, or a null Ref when its db_type
// is none of "mysql", "sqlite" and "postgresql". It is made with
// SQLAlchemy's URL.create, so that every part reaches the driver as written:
// a password or database name with URL-reserved characters, a file named
// "100%41.db" or "q?x.db". Each MySQL part is the text of the record's value
// (format(value, "")), the port a number. `memory` tells a database held in
// its connection.
Ref engine_url(Borrowed record, bool* memory) {
  *memory = false;
  Ref create = getattr(import_attr("sqlalchemy.engine", "URL"), names->create);
  Ref db_type = getattr(record, names->db_type);
  if (equals(db_type, names->mysql)) {
    Ref user = text_of(getattr(record, names->user));
    Ref password = text_of(getattr(record, names->password));
    Ref host = text_of(getattr(record, names->host));
    Ref port = port_number(getattr(record, names->port));
    Ref database = text_of(getattr(record, names->database));
    return call_kw(
        create,
        {names->mysql_driver, user.get(), password.get(), host.get(), port.get(), database.get()},
        names->kw_url);
  }
  db_type = getattr(record, names->db_type);
  if (equals(db_type, names->sqlite)) {
    Ref path = text_of(getattr(record, names->sqlite_path));
    Ref url = sqlite_uri(path) ? call(import_attr("sqlalchemy.engine", "make_url"),
                                      {concat({names->sqlite_prefix, path.get()}).get()})
                               : call_kw(create, {names->sqlite, path.get()}, names->kw_database);
    *memory = held_in_connection(url);
    return url;
  }
  db_type = getattr(record, names->db_type);
  if (equals(db_type, names->postgresql)) return postgres_url(create, record);
  return Ref();
}

// The engine options of a data source, in the order create_engine is given
// them, each the record's own value where it sets one (not None), else the
// default every engine gets. An in-memory SQLite database lives in its
// connection: SQLAlchemy keeps one connection per thread for it, a pool that
// has no overflow, and recycling that connection would drop the database.
// Such an engine gets only the options that keep it, and those the record
// sets. (Also the async engines' options, for an engine made elsewhere:
// `record` None.)
}  // namespace

Ref wisp::facade::engine_options(Borrowed record, Borrowed echo, bool memory) {
  Ref pool_size = Ref::check(PyLong_FromLong(10)), max_overflow = Ref::check(PyLong_FromLong(30)),
      pool_recycle = Ref::check(PyLong_FromLong(1800));
  const std::pair<PyObject*, PyObject*> defaults[] = {{names->echo, echo.get()},
                                                      {names->pool_size, pool_size.get()},
                                                      {names->max_overflow, max_overflow.get()},
                                                      {names->pool_recycle, pool_recycle.get()},
                                                      {names->pool_pre_ping, Py_True}};
  Ref options = new_dict();
  for (auto [name, fallback] : defaults) {
    Ref own = getattr_opt(record, name);
    if (own && own.get() != Py_None) {
      dict_set(options, name, own);
    } else if (!memory || (name != names->max_overflow && name != names->pool_recycle)) {
      dict_set(options, name, fallback);
    }
  }
  return options;
}

namespace {

// create_engine(url, **options); the options are kept for the engine's
// async twins.
Ref new_engine(Borrowed globals, Borrowed url, Borrowed options) {
  Ref create_engine = global(globals, names->create_engine);
  Ref args = tuple({url.get()});
  Ref engine = Ref::check(PyObject_Call(create_engine.get(), args.get(), options.get()));
  remember_engine(engine, options);
  return engine;
}

// registry[name] = {"db": engine, "db_gateway": WispDbGateway(...), "mapper_dict": ...}
void register_engine(Borrowed globals, Borrowed owner, Borrowed name, Borrowed engine) {
  take_over_sqlite_begin(engine);
  Ref mapper_dict = getattr(owner, names->wisp_mapper_dict);
  Ref gateway = call_kw(global(globals, names->WispDbGateway), {mapper_dict.get(), engine.get()},
                        names->kw_gateway);
  Ref entry = new_dict();
  dict_set(entry, names->db, engine);
  dict_set(entry, names->db_gateway, gateway);
  dict_set(entry, names->mapper_dict, mapper_dict);
  check(PyObject_SetItem(getattr(owner, names->datasource).get(), name, entry.get()));
}

// ---------------------------------------------------------------------------
// DataSource

// The fields of DataSource, in class order, each with what it is for: the
// kind of database, a server's connection (MySQL, PostgreSQL), an SQLite
// file, or one of the data source's own engine options (None: the default
// every engine gets). The class, its repr and the records DBConfig makes are
// all read from this one list.
enum class Use { Kind, Server, Sqlite, Engine };
struct Field {
  const char* name;
  const char* annotation;
  Use use;
};
constexpr Field kFields[] = {
    {"db_type", "str", Use::Kind},          {"host", "str", Use::Server},
    {"port", "int", Use::Server},           {"user", "str", Use::Server},
    {"password", "str", Use::Server},       {"database", "str", Use::Server},
    {"sqlite_path", "str", Use::Sqlite},    {"pool_size", "int", Use::Engine},
    {"max_overflow", "int", Use::Engine},   {"pool_recycle", "int", Use::Engine},
    {"pool_pre_ping", "bool", Use::Engine}, {"echo", "bool", Use::Engine},
};

struct SelfArgs {
  Ref self;
};

// The generated repr, except that a password is shown as '***' and an engine
// option only when the record sets it.
Ref datasource_repr(FunctionObject*, SelfArgs& a) {
  int entered = Py_ReprEnter(a.self.get());
  if (entered < 0) throw_error();
  if (entered > 0) return str("...");
  struct Leave {
    PyObject* o;
    ~Leave() { Py_ReprLeave(o); }
  } leave{a.self.get()};

  Ref cls = getattr(a.self, names->class_);
  Ref qualname = getattr(cls, "__qualname__");
  Ref parts = new_list();
  list_append(parts, qualname);
  list_append(parts, str("("));
  bool first = true;
  for (const Field& field : kFields) {
    PyObject* name = intern(field.name);
    Ref value = getattr(a.self, name);
    if (field.use == Use::Engine && value.get() == Py_None) continue;
    if (name == names->password && value.get() != Py_None) value = Ref::borrow(names->masked);
    if (!first) list_append(parts, names->comma);
    first = false;
    list_append(parts, name);
    list_append(parts, str("="));
    list_append(parts, Ref::check(PyObject_Repr(value.get())));
  }
  list_append(parts, str(")"));
  return Ref::check(PyUnicode_Join(names->empty, parts.get()));
}

void bind_datasource(Borrowed g) {
  ClassBuilder cb("DataSource", g);
  for (const Field& field : kFields) {
    cb.annotated(field.name, field.annotation,
                 field.use == Use::Kind ? Borrowed() : Borrowed(Py_None));
  }
  Def repr = Def::of<datasource_repr>("__repr__");
  repr.param("self", &SelfArgs::self);
  cb.method(repr);
  dict_set(g, "DataSource", dataclass(cb.make()));
}

// ---------------------------------------------------------------------------
// DBConfig

// ds[key] = DataSource(**fields) for the data-source dict `source` of a
// server (`use` Server: MySQL, PostgreSQL) or of an SQLite file: its kind,
// the fields of its use, in class order, and the engine options the dict
// sets. A server's dict must hold every field of a server ("host not exist
// !"); an SQLite dict without its path is the dict's KeyError.
void add_record(FunctionObject* f, Borrowed self, Borrowed key, Borrowed source, Use use) {
  if (use == Use::Server) {
    for (const Field& field : kFields) {
      if (field.use == Use::Server && !contains(source, intern(field.name))) {
        raise(PyExc_Exception, concat({intern(field.name), names->not_exist}));
      }
    }
  }
  Ref fields = new_dict();
  for (const Field& field : kFields) {
    PyObject* name = intern(field.name);
    if (field.use == Use::Kind || field.use == use) {
      dict_set(fields, name, getitem(source, name));
    } else if (field.use == Use::Engine && contains(source, name)) {
      dict_set(fields, name, getitem(source, name));
    }
  }
  Ref no_args = Ref::check(PyTuple_New(0));
  Ref record =
      Ref::check(PyObject_Call(global(f, names->DataSource).get(), no_args.get(), fields.get()));
  check(PyObject_SetItem(getattr(self, names->ds).get(), key, record.get()));
}

// def __init__(self, primary: "str" = None, mapper_xml_path: "str" = None,
//              raw_sql: "bool" = False, **kwargs)
struct DBConfigInit {
  Ref self, primary, mapper_xml_path, raw_sql, kwargs;
};
Ref dbconfig_init(FunctionObject* f, DBConfigInit& a) {
  if (PyDict_GET_SIZE(a.kwargs.get()) == 0) raise(PyExc_Exception, "please set datasource !");
  setattr(a.self, names->mapper_xml_path, a.mapper_xml_path);
  setattr(a.self, names->raw_sql, a.raw_sql);
  setattr(a.self, names->ds, new_dict());

  for_each_item(a.kwargs, [&](Borrowed key, Borrowed value) {
    if (!PyDict_Check(value.get()) || !contains(value, names->db_type)) return;
    if (equals(getitem(value, names->db_type), names->mysql)) {
      add_record(f, a.self, key, value, Use::Server);
    } else if (equals(getitem(value, names->db_type), names->sqlite)) {
      add_record(f, a.self, key, value, Use::Sqlite);
    } else if (equals(getitem(value, names->db_type), names->postgresql)) {
      add_record(f, a.self, key, value, Use::Server);  // the fields and checks of MySQL
    }
  });

  Ref ds = getattr(a.self, names->ds);
  if (truthy(a.primary) && contains(ds, a.primary)) {
    setattr(a.self, names->primary, a.primary);
    return none();
  }
  Py_ssize_t n = PyObject_Size(ds.get());
  if (n < 0) throw_error();
  if (n == 1) {
    Ref it = iterate(ds);
    Ref first = iter_next(it);
    if (!first) {
      PyErr_SetNone(PyExc_StopIteration);
      throw PyError{};
    }
    setattr(a.self, names->primary, first);
    return none();
  }
  Ref shown = text_of(a.primary);
  raise(PyExc_Exception, concat({names->datasource_prefix, shown.get(), names->not_exist}));
}

void bind_dbconfig(Borrowed g) {
  ClassBuilder cb("DBConfig", g);
  cb.annotated("ds", "dict[str, DataSource]", dataclass_field({{"init", Py_False}}));
  cb.annotated("raw_sql", "bool", Py_False);
  cb.annotated("mapper_xml_path", "str", Py_None);
  cb.annotated("primary", "str", Py_None);
  Def init = Def::of<dbconfig_init>("__init__");
  init.param("self", &DBConfigInit::self)
      .param("primary", &DBConfigInit::primary)
      .annotate("str")
      .def(Py_None)
      .param("mapper_xml_path", &DBConfigInit::mapper_xml_path)
      .annotate("str")
      .def(Py_None)
      .param("raw_sql", &DBConfigInit::raw_sql)
      .annotate("bool")
      .def(Py_False)
      .param("kwargs", &DBConfigInit::kwargs, Kind::VarKw);
  cb.method(init);
  dict_set(g, "DBConfig", dataclass(cb.make()));
}

// ---------------------------------------------------------------------------
// WispConfig

// def __new__(cls, db_config: "DBConfig", *, mapper_errors: "str" = "raise",
//             quiet: "bool" = False)
struct NewArgs {
  Ref cls, db_config, mapper_errors, quiet;
};
Ref config_new(FunctionObject* f, NewArgs& a) {
  if (getattr(a.cls, names->instance).get() == Py_None) {
    Ref parent = super_object(global(f, names->WispConfig), a.cls);
    Ref made = call(getattr(parent, names->new_), {a.cls.get()});
    setattr(a.cls, names->instance, made);
  }
  return getattr(a.cls, names->instance);
}

// AsyncBaseMapper reads the registry, the primary name and the echo switch
// where BaseMapper does: on its own class. They are published to it too.
void publish_to_async_mapper(Borrowed globals, Borrowed base_mapper) {
  Ref async_mapper = dict_get_ref(globals, names->AsyncBaseMapper);
  if (!async_mapper) return;
  for (PyObject* name : {names->datasource, names->default_key, names->raw_sql}) {
    setattr(async_mapper, name, getattr(base_mapper, name));
  }
}

// def __init__(self, db_config: "DBConfig", *, mapper_errors: "str" = "raise",
//              quiet: "bool" = False)
//
// mapper_errors="warn" turns the refusal to start on mapper files with
// errors into warnings (see scan_mapper_xml); `quiet` leaves out the print
// of the configured data sources.
struct InitArgs {
  Ref self, db_config, mapper_errors, quiet;
};
Ref config_init(FunctionObject* f, InitArgs& a) {
  Ref cls = getattr(a.self, names->class_);
  if (truthy(getattr(cls, names->initialized))) return none();
  cls.reset();
  if (!equals(a.mapper_errors, names->raise_) && !equals(a.mapper_errors, names->warn)) {
    raise_format(PyExc_ValueError, "mapper_errors must be 'raise' or 'warn', not %R",
                 a.mapper_errors.get());
  }
  setattr(a.self, names->mapper_errors, a.mapper_errors);
  call_method(a.self, names->scan_mapper_xml, {getattr(a.db_config, names->mapper_xml_path).get()});
  setattr(getattr(a.self, names->class_), names->raw_sql, getattr(a.db_config, names->raw_sql));
  setattr(a.self, names->raw_sql, getattr(a.db_config, names->raw_sql));

  Ref ds = getattr(a.db_config, names->ds);
  if (PyDict_Check(ds.get())) {
    if (!truthy(a.quiet)) print(f->globals, ds);
    Ref items_of = getattr(a.db_config, names->ds);
    for_each_item(items_of, [&](Borrowed name, Borrowed record) {
      bool memory = false;
      Ref url = engine_url(record, &memory);
      if (!url) {
        Ref shown = text_of(a.db_config);
        raise(PyExc_Exception, concat({shown.get(), names->not_config}));
      }
      Ref echo = getattr(a.self, names->raw_sql);
      Ref engine = new_engine(f->globals, url, engine_options(record, echo, memory));
      register_engine(f->globals, a.self, name, engine);
    });
  }

  Ref base_mapper = global(f, names->BaseMapper);
  setattr(base_mapper, names->datasource, getattr(a.self, names->datasource));
  setattr(base_mapper, names->default_key, getattr(a.db_config, names->primary));
  setattr(base_mapper, names->raw_sql, getattr(a.self, names->raw_sql));
  publish_to_async_mapper(f->globals, base_mapper);
  setattr(getattr(a.self, names->class_), names->initialized, Py_True);
  return none();
}

// The mapper files are checked before any is loaded: an error refuses the
// start, naming every problem (each is a warning with mapper_errors="warn").
// xml_reader.check_mappers(*files, on_error=self.mapper_errors)
void check_mapper_files(Borrowed self, Borrowed files) {
  Ref mode = getattr_opt(self, names->mapper_errors);
  Ref on_error = new_dict();
  dict_set(on_error, "on_error", mode ? mode.get() : names->raise_);
  Ref::check(PyObject_Call(import_attr("wisp.mapper.xml_reader", "check_mappers").get(),
                           Ref::check(PySequence_Tuple(files.get())).get(), on_error.get()));
}

// def scan_mapper_xml(self, mapper_xml_path: "str | None"): nothing for None
// or ""; FileNotFoundError for a path that does not exist.
struct ScanArgs {
  Ref self, mapper_xml_path;
};
Ref config_scan_mapper_xml(FunctionObject* f, ScanArgs& a) {
  Borrowed path = a.mapper_xml_path;
  if (path.get() == Py_None || PyUnicode_GET_LENGTH(path.get()) == 0) return none();
  Ref os_path = getattr(global(f, names->os), names->path);
  if (!truthy(call_method(os_path, names->exists, {path.get()}))) {
    // A directory named but not there is a mistake in the configuration,
    // not a program without mappers.
    errno = ENOENT;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_FileNotFoundError, path.get());
    throw PyError{};
  }
  os_path.reset();
  Ref files = call_method(a.self, names->list_mapper, {path.get(), names->xml});
  check_mapper_files(a.self, files);
  for_each(files, [&](Borrowed file) {
    Ref parser = call_kw(global(f, names->ParseMapper), {file.get()}, names->kw_xml_path);
    Ref ns = getattr(parser, names->namespace_);
    check(PyObject_SetItem(getattr(a.self, names->wisp_mapper_dict).get(), ns.get(), parser.get()));
  });
  return none();
}

// def __list_mapper(self, mapper_xml_dir: "str", ext: "str"), depth first
struct ListArgs {
  Ref self, mapper_xml_dir, ext;
};
Ref config_list_mapper(FunctionObject* f, ListArgs& a) {
  Ref file_list = new_list();
  Ref ext = call_method(a.ext, names->lower, {});
  Ref os_module = global(f, names->os);
  Ref entries = call_method(os_module, names->listdir, {a.mapper_xml_dir.get()});
  for_each(entries, [&](Borrowed entry) {
    Ref os_path = getattr(global(f, names->os), names->path);
    Ref abs_path = call_method(os_path, names->join, {a.mapper_xml_dir.get(), entry.get()});
    if (truthy(call_method(os_path, names->isfile, {abs_path.get()})) &&
        truthy(
            call_method(call_method(abs_path, names->lower, {}), names->endswith, {ext.get()}))) {
      list_append(file_list, abs_path);
    } else if (truthy(call_method(os_path, names->isdir, {abs_path.get()}))) {
      Ref nested = call_method(a.self, names->list_mapper, {abs_path.get(), ext.get()});
      Ref extended = Ref::check(PySequence_InPlaceConcat(file_list.get(), nested.get()));
    }
  });
  return file_list;
}

// @classmethod
// def add_datasource_config(cls, datasource_name: "str",
//                           datasource_config: "DataSource") -> "None"
struct AddArgs {
  Ref cls, datasource_name, datasource_config;
};
Ref config_add_datasource_config(FunctionObject* f, AddArgs& a) {
  if (contains(getattr(a.cls, names->datasource), a.datasource_name)) {
    print(f->globals,
          concat({names->exists_prefix, a.datasource_name.get(), names->exists_suffix}));
    return none();
  }
  // Built exactly as at configuration time: the driver takes no options
  // from the URL's query.
  bool memory = false;
  Ref url = engine_url(a.datasource_config, &memory);
  if (!url) {
    Ref shown = text_of(a.datasource_config);
    raise(PyExc_Exception, concat({shown.get(), names->not_config_type}));
  }
  Ref echo = getattr(a.cls, names->raw_sql);
  Ref engine = new_engine(f->globals, url, engine_options(a.datasource_config, echo, memory));
  register_engine(f->globals, a.cls, a.datasource_name, engine);
  return none();
}

// @classmethod
// def remove_datasource(cls, datasource_name: "str")
struct RemoveArgs {
  Ref cls, datasource_name;
};
Ref config_remove_datasource(FunctionObject*, RemoveArgs& a) {
  Ref registry = getattr(a.cls, names->datasource);
  if (contains(registry, a.datasource_name)) {
    check(PyObject_DelItem(registry.get(), a.datasource_name.get()));
  }
  return none();
}

void bind_wispconfig(Borrowed g) {
  ClassBuilder cb("WispConfig", g);
  cb.attr("_instance", Py_None);
  cb.attr("_initialized", Py_False);
  cb.annotated("datasource", "dict", new_dict());
  cb.annotated("raw_sql", "bool", Py_False);
  cb.annotated("wisp_mapper_dict", "dict", new_dict());

  Ref raise_mode = str("raise");
  Def new_def = Def::of<config_new>("__new__");
  new_def.param("cls", &NewArgs::cls)
      .param("db_config", &NewArgs::db_config)
      .annotate("DBConfig")
      .param("mapper_errors", &NewArgs::mapper_errors, Kind::KwOnly)
      .annotate("str")
      .def(raise_mode)
      .param("quiet", &NewArgs::quiet, Kind::KwOnly)
      .annotate("bool")
      .def(Py_False);
  cb.method(new_def);

  Def init = Def::of<config_init>("__init__");
  init.param("self", &InitArgs::self)
      .param("db_config", &InitArgs::db_config)
      .annotate("DBConfig")
      .param("mapper_errors", &InitArgs::mapper_errors, Kind::KwOnly)
      .annotate("str")
      .def(raise_mode)
      .param("quiet", &InitArgs::quiet, Kind::KwOnly)
      .annotate("bool")
      .def(Py_False);
  cb.method(init);

  Def scan = Def::of<config_scan_mapper_xml>("scan_mapper_xml");
  scan.param("self", &ScanArgs::self)
      .param("mapper_xml_path", &ScanArgs::mapper_xml_path)
      .annotate("str | None");
  cb.method(scan);

  Def list_mapper = Def::of<config_list_mapper>("__list_mapper");
  list_mapper.param("self", &ListArgs::self)
      .param("mapper_xml_dir", &ListArgs::mapper_xml_dir)
      .annotate("str")
      .param("ext", &ListArgs::ext)
      .annotate("str");
  cb.method(list_mapper);

  Def add = Def::of<config_add_datasource_config>("add_datasource_config");
  add.param("cls", &AddArgs::cls)
      .param("datasource_name", &AddArgs::datasource_name)
      .annotate("str")
      .param("datasource_config", &AddArgs::datasource_config)
      .annotate("DataSource")
      .returns("None");
  cb.classmethod(add);

  Def remove = Def::of<config_remove_datasource>("remove_datasource");
  remove.param("cls", &RemoveArgs::cls)
      .param("datasource_name", &RemoveArgs::datasource_name)
      .annotate("str");
  cb.classmethod(remove);

  dict_set(g, "WispConfig", cb.make());
}

}  // namespace

namespace wisp::facade {

void bind_config(Borrowed g) {
  bind_datasource(g);
  bind_dbconfig(g);
  bind_wispconfig(g);
}

}  // namespace wisp::facade
