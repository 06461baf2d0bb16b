// wisp.wisp, configuration: DataSource, DBConfig and the process-wide
// registry WispConfig.
//
//     @dataclass
//     class DataSource: db_type, host, port, user, password, database, sqlite_path
//
//     @dataclass
//     class DBConfig:                      # its own __init__
//         ds: "dict[str, DataSource]" = field(init=False)
//         raw_sql: "bool" = False
//         mapper_xml_path: "str" = None
//         primary: "str" = None
//
//     class WispConfig:                    # singleton; keyword mapper_errors
//         _instance = None
//         _initialized = False
//         datasource: "dict" = {}
//         raw_sql: "bool" = False
//         wisp_mapper_dict: "dict" = {}
#include <string>

#include "wisp_facade.h"

using namespace wisp;
using namespace wisp::facade;

namespace {

// A user name or password as it goes into a URL: every byte of its UTF-8
// form outside the unreserved set (letters, digits, "-._~") written as %XX,
// so that the URL parser gives back exactly the configured text. Plain
// text comes back unchanged.
Ref url_quoted(Borrowed text) {
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(text, &n);
  if (!s) throw_error();
  auto unreserved = [](unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
  };
  Py_ssize_t i = 0;
  while (i < n && unreserved(static_cast<unsigned char>(s[i]))) ++i;
  if (i == n) return Ref::borrow(text);
  static const char hex[] = "0123456789ABCDEF";
  std::string out(s, size_t(i));
  out.reserve(size_t(n) * 3);
  for (; i < n; ++i) {
    auto c = static_cast<unsigned char>(s[i]);
    if (unreserved(c)) {
      out += char(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 0xF];
    }
  }
  return str(out);
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
// is none of "mysql", "sqlite" and "postgresql". `memory` tells an in-memory
// SQLite database (an empty path or ":memory:").
Ref engine_url(Borrowed record, bool* memory) {
  *memory = false;
  Ref db_type = getattr(record, N->db_type);
  if (equals(db_type, N->mysql)) {
    Ref user = url_quoted(text_of(getattr(record, N->user)));
    Ref password = url_quoted(text_of(getattr(record, N->password)));
    Ref host = text_of(getattr(record, N->host));
    Ref port = text_of(getattr(record, N->port));
    Ref database = text_of(getattr(record, N->database));
    return concat({N->mysql_prefix, user.get(), N->colon, password.get(), N->at, host.get(),
                   N->colon, port.get(), N->slash, database.get()});
  }
  db_type = getattr(record, N->db_type);
  if (equals(db_type, N->sqlite)) {
    Ref path = text_of(getattr(record, N->sqlite_path));
    *memory =
        PyUnicode_GET_LENGTH(path.get()) == 0 || PyUnicode_Compare(path.get(), N->memory) == 0;
    return concat({N->sqlite_prefix, path.get()});
  }
  db_type = getattr(record, N->db_type);
  if (equals(db_type, N->postgresql)) return postgres_url(record);
  return Ref();
}

// create_engine(url, echo=echo, pool_size=10, max_overflow=30,
//               pool_recycle=1800, pool_pre_ping=True)
//
// An in-memory SQLite database lives in its connection: SQLAlchemy keeps
// one connection per thread for it, a pool that has no overflow, and
// recycling that connection would drop the database. Such an engine gets
// only the options that keep it.
Ref new_engine(Borrowed globals, Borrowed url, Borrowed echo, bool memory) {
  Ref create_engine = global(globals, N->create_engine);
  if (memory) {
    return call_kw(create_engine, {url.get(), echo.get(), S.pool_size, Py_True},
                   S.kw_engine_memory);
  }
  return call_kw(create_engine,
                 {url.get(), echo.get(), S.pool_size, S.max_overflow, S.pool_recycle, Py_True},
                 S.kw_engine);
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

struct SelfArgs {
  Ref self;
};

// The generated repr, except that a password is shown as '***'.
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
  Def repr = Def::of<datasource_repr>("__repr__");
  repr.param("self", &SelfArgs::self);
  cb.method(repr);
  dict_set(g, "DataSource", dataclass(cb.make()));
}

// ---------------------------------------------------------------------------
// DBConfig

const char* const kMysqlKeys[] = {"host", "port", "user", "password", "database"};

// ds[key] = DataSource(db_type=..., host=..., port=..., user=..., password=...,
// database=...) for a server data source (MySQL or PostgreSQL), after the
// check that every one of those keys is there.
void add_server_record(FunctionObject* f, Borrowed self, Borrowed key, Borrowed value) {
  for (const char* k : kMysqlKeys) {
    Ref name = Ref::borrow(intern(k));
    if (!contains(value, name)) {
      raise(PyExc_Exception, concat({name.get(), N->not_exist}));
    }
  }
  Ref v[6] = {getitem(value, N->db_type),  getitem(value, N->host),
              getitem(value, N->port),     getitem(value, N->user),
              getitem(value, N->password), getitem(value, N->database)};
  Ref record = call_kw(global(f, N->DataSource),
                       {v[0].get(), v[1].get(), v[2].get(), v[3].get(), v[4].get(), v[5].get()},
                       S.kw_mysql_record);
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
      Ref db_type = getitem(value, N->db_type);
      Ref path = getitem(value, N->sqlite_path);
      Ref record =
          call_kw(global(f, N->DataSource), {db_type.get(), path.get()}, S.kw_sqlite_record);
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

// def __new__(cls, db_config: "DBConfig", *, mapper_errors: "str" = "raise")
struct NewArgs {
  Ref cls, db_config, mapper_errors;
};
Ref config_new(FunctionObject* f, NewArgs& a) {
  if (getattr(a.cls, N->instance).get() == Py_None) {
    Ref parent = super_object(global(f, N->WispConfig), a.cls);
    Ref made = call(getattr(parent, N->new_), {a.cls.get()});
    setattr(a.cls, N->instance, made);
  }
  return getattr(a.cls, N->instance);
}

// def __init__(self, db_config: "DBConfig", *, mapper_errors: "str" = "raise")
//
// mapper_errors="warn" turns the refusal to start on mapper files with
// errors into warnings (see scan_mapper_xml).
struct InitArgs {
  Ref self, db_config, mapper_errors;
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
    print(f->globals, ds);
    Ref items_of = getattr(a.db_config, N->ds);
    for_each_item(items_of, [&](Borrowed name, Borrowed record) {
      bool memory = false;
      Ref url = engine_url(record, &memory);
      if (!url) {
        Ref shown = text_of(a.db_config);
        raise(PyExc_Exception, concat({shown.get(), N->not_config}));
      }
      Ref echo = getattr(a.self, N->raw_sql);
      Ref engine = new_engine(f->globals, url, echo, memory);
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

// def scan_mapper_xml(self, mapper_xml_path: "str | None")
struct ScanArgs {
  Ref self, mapper_xml_path;
};
Ref config_scan_mapper_xml(FunctionObject* f, ScanArgs& a) {
  Borrowed path = a.mapper_xml_path;
  if (path.get() == Py_None || PyUnicode_GET_LENGTH(path.get()) == 0) return none();
  Ref os_path = getattr(global(f, N->os), N->path);
  if (!truthy(call_method(os_path, N->exists, {path.get()}))) return none();
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
  Ref engine = new_engine(f->globals, url, echo, memory);
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
      .def(raise_mode);
  cb.method(new_def);

  Def init = Def::of<config_init>("__init__");
  init.param("self", &InitArgs::self)
      .param("db_config", &InitArgs::db_config)
      .annotate("DBConfig")
      .param("mapper_errors", &InitArgs::mapper_errors, Kind::KwOnly)
      .annotate("str")
      .def(raise_mode);
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
