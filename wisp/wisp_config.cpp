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
#include <array>
#include <cerrno>

#include "wisp_facade.h"

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
  if (!equals(getattr(parts, "scheme"), N->file_scheme)) return false;
  Ref query = call(import_attr("urllib.parse", "parse_qs"), {getattr(parts, "query").get()});
  return contains(query, N->uri);
}

// Whether SQLAlchemy keeps the database of `url` in its connection: it
// picks a pool other than a QueuePool for it (SQLite in memory, by whatever
// URL says so).
bool held_in_connection(Borrowed url) {
  Ref dialect = call_method(url, N->get_dialect, {});
  Ref pool_class = call_method(dialect, N->get_pool_class, {url.get()});
  Ref queue_pool = import_attr("sqlalchemy.pool", "QueuePool");
  return check(PyObject_IsSubclass(pool_class.get(), queue_pool.get())) == 0;
}

// The URL of a PostgreSQL record, driven by psycopg:
//
//     URL.create("postgresql+psycopg", username=user, password=password,
//                host=host, port=port, database=database)
//
// SQLAlchemy's URL keeps each part as given, so names and passwords may hold
// any character.
Ref postgres_url(Borrowed record) {
  Ref user = getattr(record, N->user);
  Ref password = getattr(record, N->password);
  Ref host = getattr(record, N->host);
  Ref port = getattr(record, N->port);
  Ref database = getattr(record, N->database);
  Ref url_class = import_attr("sqlalchemy.engine", "URL");
  return call_method_kw(url_class, N->create,
                        {N->postgres_driver, user.get(), password.get(), host.get(), port.get(),
                         database.get()},
                        S.kw_url);
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
  Ref create = getattr(import_attr("sqlalchemy.engine", "URL"), N->create);
  Ref db_type = getattr(record, N->db_type);
  if (equals(db_type, N->mysql)) {
    Ref user = text_of(getattr(record, N->user));
    Ref password = text_of(getattr(record, N->password));
    Ref host = text_of(getattr(record, N->host));
    Ref port = port_number(getattr(record, N->port));
    Ref database = text_of(getattr(record, N->database));
    return call_kw(create, {N->mysql_driver, user.get(), password.get(), host.get(), port.get(),
                            database.get()},
                   S.kw_url);
  }
  db_type = getattr(record, N->db_type);
  if (equals(db_type, N->sqlite)) {
    Ref path = text_of(getattr(record, N->sqlite_path));
    Ref url = sqlite_uri(path)
                  ? call(import_attr("sqlalchemy.engine", "make_url"),
                         {concat({N->sqlite_prefix, path.get()}).get()})
                  : call_kw(create, {N->sqlite, path.get()}, S.kw_database);
    *memory = held_in_connection(url);
    return url;
  }
  db_type = getattr(record, N->db_type);
  if (equals(db_type, N->postgresql)) return postgres_url(record);
  return Ref();
}

// The engine options of a data source, in the order create_engine is given
// them: echo=<echo switch>, pool_size=10, max_overflow=30,
// pool_recycle=1800, pool_pre_ping=True, each replaced by the record's own
// value where it sets one (not None).
//
// An in-memory SQLite database lives in its connection: SQLAlchemy keeps
// one connection per thread for it, a pool that has no overflow, and
// recycling that connection would drop the database. Such an engine gets
// only the options that keep it, and those the record sets.
Ref engine_options(Borrowed record, Borrowed echo, bool memory) {
  PyObject* defaults[] = {echo.get(), S.pool_size, S.max_overflow, S.pool_recycle, Py_True};
  Ref options = new_dict();
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(S.kw_engine); ++i) {
    PyObject* name = PyTuple_GET_ITEM(S.kw_engine, i);
    Ref own = getattr_opt(record, name);
    if (own && own.get() != Py_None) {
      dict_set(options, name, own);
    } else if (!memory || (name != N->max_overflow && name != N->pool_recycle)) {
      dict_set(options, name, defaults[i]);
    }
  }
  return options;
}

// create_engine(url, **options)
Ref new_engine(Borrowed globals, Borrowed url, Borrowed options) {
  Ref create_engine = global(globals, N->create_engine);
  Ref args = tuple({url.get()});
  return Ref::check(PyObject_Call(create_engine.get(), args.get(), options.get()));
}

// registry[name] = {"db": engine, "db_gateway": WispDbGateway(...), "mapper_dict": ...}
void register_engine(Borrowed globals, Borrowed owner, Borrowed name, Borrowed engine) {
  take_over_sqlite_begin(engine);
  Ref mapper_dict = getattr(owner, N->wisp_mapper_dict);
  Ref gateway =
      call_kw(global(globals, N->WispDbGateway), {mapper_dict.get(), engine.get()}, S.kw_gateway);
  Ref entry = new_dict();
  dict_set(entry, N->db, engine);
  dict_set(entry, N->db_gateway, gateway);
  dict_set(entry, N->mapper_dict, getattr(owner, N->wisp_mapper_dict));
  check(PyObject_SetItem(getattr(owner, N->datasource).get(), name, entry.get()));
}

// ---------------------------------------------------------------------------
// DataSource

// The engine options a data source may set, in field order.
std::array<PyObject*, 5> engine_option_names() {
  return {N->pool_size, N->max_overflow, N->pool_recycle, N->pool_pre_ping, N->echo};
}

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

  Ref cls = getattr(a.self, N->class_);
  Ref qualname = getattr(cls, "__qualname__");
  Ref parts = new_list();
  list_append(parts, qualname);
  list_append(parts, str("("));
  bool first = true;
  for (PyObject* name :
       {N->db_type, N->host, N->port, N->user, N->password, N->database, N->sqlite_path}) {
    if (!first) list_append(parts, str(", "));
    first = false;
    list_append(parts, name);
    list_append(parts, str("="));
    Ref value = getattr(a.self, name);
    if (name == N->password && value.get() != Py_None) value = Ref::borrow(N->masked);
    list_append(parts, Ref::check(PyObject_Repr(value.get())));
  }
  for (PyObject* name : engine_option_names()) {
    Ref value = getattr(a.self, name);
    if (value.get() == Py_None) continue;
    list_append(parts, str(", "));
    list_append(parts, name);
    list_append(parts, str("="));
    list_append(parts, Ref::check(PyObject_Repr(value.get())));
  }
  list_append(parts, str(")"));
  return Ref::check(PyUnicode_Join(N->empty, parts.get()));
}

void bind_datasource(Borrowed g) {
  ClassBuilder cb("DataSource", g);
  cb.annotated("db_type", "str");
  cb.annotated("host", "str", Py_None);
  cb.annotated("port", "int", Py_None);
  cb.annotated("user", "str", Py_None);
  cb.annotated("password", "str", Py_None);
  cb.annotated("database", "str", Py_None);
  cb.annotated("sqlite_path", "str", Py_None);
  cb.annotated("pool_size", "int", Py_None);
  cb.annotated("max_overflow", "int", Py_None);
  cb.annotated("pool_recycle", "int", Py_None);
  cb.annotated("pool_pre_ping", "bool", Py_None);
  cb.annotated("echo", "bool", Py_None);
  Def repr = Def::of<datasource_repr>("__repr__");
  repr.param("self", &SelfArgs::self);
  cb.method(repr);
  dict_set(g, "DataSource", dataclass(cb.make()));
}

// ---------------------------------------------------------------------------
// DBConfig

const char* const kMysqlKeys[] = {"host", "port", "user", "password", "database"};

// DataSource(**fields) for the data-source dict `source`: the fields `keys`,
// read in that order (a missing one is the dict's KeyError), then the engine
// options the dict sets.
Ref make_record(FunctionObject* f, Borrowed source, std::initializer_list<PyObject*> keys) {
  Ref fields = new_dict();
  for (PyObject* key : keys) dict_set(fields, key, getitem(source, key));
  for (PyObject* option : engine_option_names()) {
    if (contains(source, option)) dict_set(fields, option, getitem(source, option));
  }
  Ref no_args = Ref::check(PyTuple_New(0));
  return Ref::check(PyObject_Call(global(f, N->DataSource).get(), no_args.get(), fields.get()));
}

// ds[key] = DataSource(db_type=..., host=..., port=..., user=..., password=...,
// database=..., <engine options>) for a server data source (MySQL or
// PostgreSQL), after the check that every one of those keys is there.
void add_server_record(FunctionObject* f, Borrowed self, Borrowed key, Borrowed value) {
  for (const char* k : kMysqlKeys) {
    Ref name = Ref::borrow(intern(k));
    if (!contains(value, name)) {
      raise(PyExc_Exception, concat({name.get(), N->not_exist}));
    }
  }
  Ref record =
      make_record(f, value, {N->db_type, N->host, N->port, N->user, N->password, N->database});
  check(PyObject_SetItem(getattr(self, N->ds).get(), key, record.get()));
}

// def __init__(self, primary: "str" = None, mapper_xml_path: "str" = None,
//              raw_sql: "bool" = False, **kwargs)
struct DBConfigInit {
  Ref self, primary, mapper_xml_path, raw_sql, kwargs;
};
Ref dbconfig_init(FunctionObject* f, DBConfigInit& a) {
  if (PyDict_GET_SIZE(a.kwargs.get()) == 0) raise(PyExc_Exception, "please set datasource !");
  setattr(a.self, N->mapper_xml_path, a.mapper_xml_path);
  setattr(a.self, N->raw_sql, a.raw_sql);
  setattr(a.self, N->ds, new_dict());

  for_each_item(a.kwargs, [&](Borrowed key, Borrowed value) {
    if (!PyDict_Check(value.get()) || !contains(value, N->db_type)) return;
    if (equals(getitem(value, N->db_type), N->mysql)) {
      add_server_record(f, a.self, key, value);
    } else if (equals(getitem(value, N->db_type), N->sqlite)) {
      Ref record = make_record(f, value, {N->db_type, N->sqlite_path});
      check(PyObject_SetItem(getattr(a.self, N->ds).get(), key, record.get()));
    } else if (equals(getitem(value, N->db_type), N->postgresql)) {
      // The fields and checks of MySQL.
      add_server_record(f, a.self, key, value);
    }
  });

  Ref ds = getattr(a.self, N->ds);
  if (truthy(a.primary) && contains(ds, a.primary)) {
    setattr(a.self, N->primary, a.primary);
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
    setattr(a.self, N->primary, first);
    return none();
  }
  Ref shown = text_of(a.primary);
  raise(PyExc_Exception, concat({N->datasource_prefix, shown.get(), N->not_exist}));
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
  if (getattr(a.cls, N->instance).get() == Py_None) {
    Ref parent = super_object(global(f, N->WispConfig), a.cls);
    Ref made = call(getattr(parent, N->new_), {a.cls.get()});
    setattr(a.cls, N->instance, made);
  }
  return getattr(a.cls, N->instance);
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
  Ref cls = getattr(a.self, N->class_);
  if (truthy(getattr(cls, N->initialized))) return none();
  cls.reset();
  PyObject* mapper_errors = intern("mapper_errors");
  if (!equals(a.mapper_errors, intern("raise")) && !equals(a.mapper_errors, intern("warn"))) {
    raise_format(PyExc_ValueError, "mapper_errors must be 'raise' or 'warn', not %R",
                 a.mapper_errors.get());
  }
  setattr(a.self, mapper_errors, a.mapper_errors);
  call_method(a.self, N->scan_mapper_xml, {getattr(a.db_config, N->mapper_xml_path).get()});
  setattr(getattr(a.self, N->class_), N->raw_sql, getattr(a.db_config, N->raw_sql));
  setattr(a.self, N->raw_sql, getattr(a.db_config, N->raw_sql));

  Ref ds = getattr(a.db_config, N->ds);
  if (PyDict_Check(ds.get())) {
    if (!truthy(a.quiet)) print(f->globals, ds);
    Ref items_of = getattr(a.db_config, N->ds);
    for_each_item(items_of, [&](Borrowed name, Borrowed record) {
      bool memory = false;
      Ref url = engine_url(record, &memory);
      if (!url) {
        Ref shown = text_of(a.db_config);
        raise(PyExc_Exception, concat({shown.get(), N->not_config}));
      }
      Ref echo = getattr(a.self, N->raw_sql);
      Ref engine = new_engine(f->globals, url, engine_options(record, echo, memory));
      register_engine(f->globals, a.self, name, engine);
    });
  }

  Ref base_mapper = global(f, N->BaseMapper);
  setattr(base_mapper, N->datasource, getattr(a.self, N->datasource));
  setattr(base_mapper, N->default_key, getattr(a.db_config, N->primary));
  setattr(base_mapper, N->raw_sql, getattr(a.self, N->raw_sql));
  setattr(getattr(a.self, N->class_), N->initialized, Py_True);
  return none();
}

// The mapper files are checked before any is loaded: an error refuses the
// start, naming every problem (each is a warning with mapper_errors="warn").
// xml_reader.check_mappers(*files, on_error=self.mapper_errors)
void check_mapper_files(Borrowed self, Borrowed files) {
  Ref mode = getattr_opt(self, intern("mapper_errors"));
  Ref on_error = new_dict();
  dict_set(on_error, "on_error", mode ? mode.get() : intern("raise"));
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
  Ref os_path = getattr(global(f, N->os), N->path);
  if (!truthy(call_method(os_path, N->exists, {path.get()}))) {
    // A directory named but not there is a mistake in the configuration,
    // not a program without mappers.
    errno = ENOENT;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_FileNotFoundError, path.get());
    throw PyError{};
  }
  os_path.reset();
  Ref files = call_method(a.self, N->list_mapper, {path.get(), N->xml});
  check_mapper_files(a.self, files);
  for_each(files, [&](Borrowed file) {
    Ref parser = call_kw(global(f, N->ParseMapper), {file.get()}, S.kw_xml_path);
    Ref ns = getattr(parser, N->namespace_);
    check(PyObject_SetItem(getattr(a.self, N->wisp_mapper_dict).get(), ns.get(), parser.get()));
  });
  return none();
}

// def __list_mapper(self, mapper_xml_dir: "str", ext: "str"), depth first
struct ListArgs {
  Ref self, mapper_xml_dir, ext;
};
Ref config_list_mapper(FunctionObject* f, ListArgs& a) {
  Ref file_list = new_list();
  Ref ext = call_method(a.ext, N->lower, {});
  Ref os_module = global(f, N->os);
  Ref entries = call_method(os_module, N->listdir, {a.mapper_xml_dir.get()});
  for_each(entries, [&](Borrowed entry) {
    Ref os_path = getattr(global(f, N->os), N->path);
    Ref abs_path = call_method(os_path, N->join, {a.mapper_xml_dir.get(), entry.get()});
    if (truthy(call_method(os_path, N->isfile, {abs_path.get()})) &&
        truthy(call_method(call_method(abs_path, N->lower, {}), N->endswith, {ext.get()}))) {
      list_append(file_list, abs_path);
    } else if (truthy(call_method(os_path, N->isdir, {abs_path.get()}))) {
      Ref nested = call_method(a.self, N->list_mapper, {abs_path.get(), ext.get()});
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
  if (contains(getattr(a.cls, N->datasource), a.datasource_name)) {
    print(f->globals, concat({N->exists_prefix, a.datasource_name.get(), N->exists_suffix}));
    return none();
  }
  // Built exactly as at configuration time: the driver takes no options
  // from the URL's query.
  bool memory = false;
  Ref url = engine_url(a.datasource_config, &memory);
  if (!url) {
    Ref shown = text_of(a.datasource_config);
    raise(PyExc_Exception, concat({shown.get(), N->not_config_type}));
  }
  Ref echo = getattr(a.cls, N->raw_sql);
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
  if (contains(getattr(a.cls, N->datasource), a.datasource_name)) {
    check(PyObject_DelItem(getattr(a.cls, N->datasource).get(), a.datasource_name.get()));
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
