// wisp.wisp, the generic mapper:
//
//     T = TypeVar("T", bound=DeclarativeBase)
//
//     class BaseMapper(Generic[T]):
//         datasource: "dict" = None     # the data-source registry, set by WispConfig
//         default_key: "str" = None     # the primary data source's name
//         raw_sql: "bool" = False       # echo switch
//         _sig_cache = WeakKeyDictionary()  # mapper class -> its signatures, for the dispatch
//         _type_cache = {}              # mapper class -> its model class
//         ...                           # the methods, in class order
//
// Everything that needs a gateway reaches it as
// BaseMapper.datasource[get_current_db()]["db_gateway"]; the methods do so
// through `self.session`, afresh for every operation. They reach each other
// through attribute lookup on `self`, so a subclass may override any of them.
#include <memory>

#include "transaction.h"
#include "wisp/engines.h"
#include "wisp/identity_memo.h"

using namespace wisp;
using namespace wisp::facade;

namespace {

// Statements that depend on nothing but the model (insert(model),
// select(model), ...), made once per model and constructor; and the
// _use_orm2 decision per statement and model. Statements are immutable:
// what the methods build on one (values, where, limit) is a new statement.
IdentityMemo* model_statements;
IdentityMemo* orm2_decisions;
// Per model: the keys a row may give as execution parameters (row_keys).
IdentityMemo* model_row_keys;
// The constructors as the module bound them: a replaced one is called
// every time.
OriginalGlobals* statement_makers;
PyObject* own_use_orm2;  // BaseMapper._use_orm2 as the class body binds it

// ---------------------------------------------------------------------------
// Small pieces the methods share

// self._BaseMapper__type_parameter(): the model class of self's mapper class.
Ref model_of(Borrowed self) {
  return call_method(self, names->type_parameter, {});
}

// <maker>(model), with the module global `maker` looked up now: while it is
// the constructor the module bound, the statement made for the model
// before is handed out again.
Ref model_statement(FunctionObject* f, PyObject* maker, Borrowed model) {
  GlobalRef constructor = global(f, maker);
  if (!statement_makers->hold()) return call(constructor, {model.get()});
  if (Ref kept = model_statements->find(model, constructor)) return kept;
  Ref statement = call(constructor, {model.get()});
  if (statement_makers->hold()) model_statements->keep(model, constructor, statement);
  return statement;
}

// self.session.<operation>(args...)
Ref on_session(Borrowed self, PyObject* operation, std::initializer_list<PyObject*> args) {
  Ref gateway = getattr(self, names->session);
  return call_method(gateway, operation, args);
}

// Whether `column` (a mapped attribute or column) holds integers: its type's
// python_type is int. A type that does not say (NotImplementedError) does
// not count.
bool integer_column(Borrowed column) {
  Ref type = getattr_opt(column, names->type);
  if (!type) return false;
  Ref python_type = Ref::steal(PyObject_GetAttr(type.get(), names->python_type));
  if (!python_type) {
    if (!PyErr_ExceptionMatches(PyExc_NotImplementedError) &&
        !PyErr_ExceptionMatches(PyExc_AttributeError)) {
      throw_error();
    }
    PyErr_Clear();
    return false;
  }
  return PyType_Check(python_type.get()) &&
         PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(python_type.get()), &PyLong_Type);
}

// model.id == id, with the key taken as the column needs it: an integer
// column gets int(id) (a number truncated, a numeral such as "2" read; what
// int() cannot take is refused as an argument of the wrong type), any other
// column (a natural string key, a UUID) the key as given.
Ref id_equals(Borrowed model, Borrowed id) {
  Ref column = getattr(model, names->id);
  Ref key = Ref::borrow(id.get());
  if (!PyLong_CheckExact(key.get()) && integer_column(column)) {
    PyNumberMethods* nb = Py_TYPE(key.get())->tp_as_number;
    bool numeric = nb && (nb->nb_index || nb->nb_int);
    if (!numeric && !PyUnicode_Check(key.get())) raise_arg_type(names->id, &PyLong_Type, key);
    key = Ref::check(PyNumber_Long(key.get()));
  }
  return Ref::check(PyObject_RichCompare(column.get(), key.get(), Py_EQ));
}

// statement.where(clause)
Ref where(Borrowed statement, Borrowed clause) {
  return call_method(statement, names->where, {clause.get()});
}

// statement.values(**data)
Ref values_of(Borrowed statement, Borrowed data) {
  return call_spread(getattr(statement, names->values), data);
}

bool is_instance(Borrowed value, Borrowed cls) {
  return check(PyObject_IsInstance(value, cls)) != 0;
}

bool is_none(Borrowed value) {
  return !value || value.get() == Py_None;
}

// len(value)
Py_ssize_t length(Borrowed value) {
  Py_ssize_t n = PyObject_Length(value);
  if (n < 0) throw_error();
  return n;
}

// The (attribute name, column) pairs of the columns the model's mapper maps
// (mapper.columns), in its order; none when the class is not mapped.
Ref mapped_columns(FunctionObject* f, Borrowed model) {
  Ref inspector = global(f, names->inspect_statement);
  Ref mapper = call_kwargs(inspector, {model.get()}, {{"raiseerr", Py_False}});
  if (is_none(mapper)) return Ref::check(PyTuple_New(0));
  Ref items = call_method(getattr(mapper, names->columns), names->items, {});
  return Ref::check(PySequence_Tuple(items.get()));
}

// The attribute `column` is mapped to, among `pairs` (see mapped_columns);
// `name` when there is none.
Ref attribute_of(Borrowed pairs, Borrowed column, Borrowed name) {
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(pairs.get()); ++i) {
    auto pair = unpack<2>(PyTuple_GET_ITEM(pairs.get(), i));
    if (pair[1].get() == column.get()) return std::move(pair[0]);
  }
  return Ref::borrow(name.get());
}

// The column values of a declarative instance, keyed by column name, in
// table order, read through SQLAlchemy's inspection of the instance. One
// with an identity (loaded, or detached after its session ended) gives every
// column, an expired or deferred one loaded as reading its attribute loads
// it; a transient or pending one gives the columns set on it, so that column
// defaults apply to the others. The value is read under the attribute the
// model maps the column to, which may be named apart from it
// (`body = mapped_column("text")`).
Ref instance_columns(FunctionObject* f, Borrowed instance, Borrowed model) {
  Ref pairs = mapped_columns(f, model);
  Ref data = new_dict();
  Ref state = call(global(f, names->inspect_statement), {instance.get()});
  bool every_column = truthy(getattr(state, names->has_identity));
  Ref set_values = getattr(state, names->dict);
  state.reset();
  Ref columns = getattr(getattr(model, names->table), names->columns);
  Ref it = iterate(columns);
  while (Ref column = iter_next(it)) {
    Ref name = getattr(column, names->name);
    Ref key = attribute_of(pairs, column, name);
    if (!every_column && !contains(set_values, key)) continue;
    dict_set(data, name, getattr(instance, key));
  }
  return data;
}

// The names under which a row of `model` may be given as execution
// parameters of insert(model) and mean what they mean to values(): the
// attributes of a model mapped to one table, each named like the key of
// the column it maps (Core reads parameters by column key). A model in an
// inheritance hierarchy or with a version counter has none: what the ORM
// adds to its rows is left to the ORM. Worked out once per model; a
// frozenset, empty when there is no such attribute.
Ref row_keys(FunctionObject* f, Borrowed model) {
  if (Ref kept = model_row_keys->find(model)) return kept;
  Ref inspector = global(f, names->inspect_statement);
  Ref mapper = call_kwargs(inspector, {model.get()}, {{"raiseerr", Py_False}});
  Ref keys = Ref::check(PySet_New(nullptr));
  if (!is_none(mapper) && is_none(getattr(mapper, names->inherits)) &&
      is_none(getattr(mapper, names->polymorphic_on)) &&
      is_none(getattr(mapper, names->version_id_col))) {
    Ref table = getattr(mapper, names->local_table);
    if (getattr(mapper, names->persist_selectable).get() == table.get()) {
      Ref table_columns = getattr(table, names->columns);
      Ref pairs = mapped_columns(f, model);
      for_each(pairs, [&](Borrowed pair) {
        auto kv = unpack<2>(pair);
        if (!PyUnicode_CheckExact(kv[0].get())) return;
        Ref column = getattr_opt(kv[1], names->key);
        if (!column || !PyUnicode_Check(column.get()) ||
            PyUnicode_Compare(column.get(), kv[0].get()) != 0) {
          return;
        }
        Ref same = item_if_present(table_columns, kv[0]);
        if (same && same.get() == kv[1].get()) check(PySet_Add(keys.get(), kv[0].get()));
      });
    }
  }
  Ref frozen = Ref::check(PyFrozenSet_New(keys.get()));
  model_row_keys->keep(model, Borrowed(), frozen);
  return frozen;
}

// A value bound as itself: no SQL expression or object that SQLAlchemy
// could take for one.
bool plain_value(PyObject* v) {
  return v == Py_None || PyBool_Check(v) || PyLong_CheckExact(v) || PyFloat_CheckExact(v) ||
         PyUnicode_CheckExact(v) || PyBytes_CheckExact(v);
}

// Whether `data` (a converted row) means the same as execution parameters
// of insert(model) as it does to values(**data): a plain dict, not empty,
// of plain values under row_keys.
bool row_as_parameters(FunctionObject* f, Borrowed model, Borrowed data) {
  if (!PyDict_CheckExact(data.get()) || PyDict_GET_SIZE(data.get()) == 0) return false;
  Ref keys = row_keys(f, model);
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(data.get(), &pos, &key, &value)) {
    if (!PyUnicode_CheckExact(key) || !plain_value(value)) return false;
    int known = PySet_Contains(keys.get(), key);
    if (known < 0) throw_error();
    if (!known) return false;
  }
  return true;
}

// The rows of a batch as the ORM's bulk insert reads them: keyed by
// attribute name, a column named apart from its attribute going under the
// attribute's name (in a copy of the row; the first of the two names given
// wins, as in values()). That insert passes over a key it does not know
// without a word, where insert(model).values(...) refuses it: a key that
// names neither an attribute nor a column of the model is handed to
// SQLAlchemy's own check, insert(model).values(...) compiled, whose
// CompileError ("Unconsumed column names: ...") is the one insert gives,
// before anything runs.
Ref bulk_rows(FunctionObject* f, Borrowed model, Borrowed rows) {
  Ref pairs = mapped_columns(f, model);
  if (PyTuple_GET_SIZE(pairs.get()) == 0) return Ref::borrow(rows.get());
  Ref keys = new_dict();  // attribute, column name or key -> attribute name
  for_each(pairs, [&](Borrowed pair) {
    auto kv = unpack<2>(pair);
    dict_set(keys, kv[0], kv[0]);
  });
  for (PyObject* which : {names->name, names->key}) {
    for_each(pairs, [&](Borrowed pair) {
      auto kv = unpack<2>(pair);
      Ref name = getattr_opt(kv[1], which);  // a str subclass (quoted_name): taken as a str
      if (!name || !PyUnicode_Check(name.get())) return;
      name = Ref::check(PyUnicode_FromObject(name.get()));
      if (!dict_get_ref(keys, name)) dict_set(keys, name, kv[0]);
    });
  }
  Ref unknown = new_dict();  // as values() takes them: None each
  Ref out = new_list();
  for_each(rows, [&](Borrowed row) {
    if (!PyDict_Check(row.get())) {
      list_append(out, row);
      return;
    }
    bool renamed = false;
    for_each_item(row, [&](Borrowed key, Borrowed) {
      Ref target = dict_get_ref(keys, key);
      if (!target) {
        dict_set(unknown, key, Py_None);
      } else if (target.get() != key.get()) {
        renamed = true;
      }
    });
    if (!renamed) {
      list_append(out, row);
      return;
    }
    Ref copy = new_dict();
    for_each_item(row, [&](Borrowed key, Borrowed value) {
      Ref target = dict_get_ref(keys, key);
      if (!target) target = Ref::borrow(key.get());
      if (!dict_get_ref(copy, target)) dict_set(copy, target, value);
    });
    list_append(out, copy);
  });
  if (PyDict_GET_SIZE(unknown.get()) != 0) {
    Ref statement = call(global(f, names->insert_statement), {model.get()});
    call_method(values_of(statement, unknown), names->compile, {});
    // What values() takes beyond the mapped columns (a synonym, a hybrid
    // attribute, a column of the table the model does not map) the bulk
    // insert would drop: refused in the same words.
    Ref texts = new_list();
    for_each(unknown, [&](Borrowed key) { list_append(texts, str_of(key)); });
    Ref joined = Ref::check(PyUnicode_Join(names->comma, texts.get()));
    Ref error = import_attr("sqlalchemy.exc", "CompileError");
    raise(error.get(), concat({names->unconsumed, joined.get()}));
  }
  return out;
}

// ---------------------------------------------------------------------------
// @classmethod def __type_parameter(cls)
//
//     if cls in BaseMapper._type_cache: return BaseMapper._type_cache[cls]
//     for base in cls.__orig_bases__:
//         if get_origin(base) is BaseMapper:
//             BaseMapper._type_cache[cls] = get_args(base)[0]
//             return BaseMapper._type_cache[cls]
//     raise TypeError("Generic type not found")

struct ClsArgs {
  Ref cls;
};
Ref type_parameter(FunctionObject* f, ClsArgs& a) {
  Ref base_mapper = global(f, names->BaseMapper);
  Ref cache = getattr(base_mapper, names->type_cache);
  if (Ref found = item_if_present(cache, a.cls)) return found;
  Ref bases = getattr(a.cls, names->orig_bases);
  Ref it = iterate(bases);
  while (Ref base = iter_next(it)) {
    Ref origin = call(global(f, names->get_origin), {base.get()});
    // An async mapper names its model the same way: AsyncBaseMapper[User].
    if (origin.get() != base_mapper.get() &&
        !global_is(f, names->AsyncBaseMapper, origin)) {
      continue;
    }
    Ref args = call(global(f, names->get_args), {base.get()});
    Ref model = Ref::check(PySequence_GetItem(args.get(), 0));
    check(PyObject_SetItem(cache.get(), a.cls.get(), model.get()));
    return model;
  }
  raise(PyExc_TypeError, "Generic type not found");
}

// @staticmethod def __exclude_pk(pk_name, data_dict: "dict")
struct ExcludePkArgs {
  Ref pk_name, data_dict;
};
Ref exclude_pk(FunctionObject*, ExcludePkArgs& a) {
  if (truthy(a.pk_name) && contains(a.data_dict, a.pk_name)) {
    call_method(a.data_dict, names->pop, {a.pk_name.get()});
  }
  return a.data_dict;
}

// @classmethod def _get_auto_pk(cls, model_class)
//
// The name of the primary-key column whose value the database generates:
// the one SQLAlchemy itself treats so (the table's autoincrement_column, a
// single integer key), or one declared autoincrement=True. A natural key
// (a string, or an integer in a composite key) stays in the data: every
// column carries the truthy autoincrement="auto" by default, which says
// nothing about the column itself.
struct AutoPkArgs {
  Ref cls, model_class;
};
Ref get_auto_pk(FunctionObject*, AutoPkArgs& a) {
  Ref table = getattr(a.model_class, names->table);
  Ref generated = getattr_opt(table, names->autoincrement_column);
  Ref columns = getattr(table, names->columns);
  Ref it = iterate(columns);
  while (Ref column = iter_next(it)) {
    if (!truthy(getattr(column, names->primary_key))) continue;
    bool auto_pk = generated && column.get() == generated.get();
    if (!auto_pk) auto_pk = getattr(column, names->autoincrement).get() == Py_True;
    if (auto_pk) return getattr(column, names->name);
  }
  return none();
}

// def _convert_data(self, data, model_class, exclude_pk=True)
//
// pydantic input gives model_dump(); an instance of the model gives its
// column values (instance_columns), an instance of another model is
// refused; a dict (of any dict class) gives a plain copy, so that the
// caller's own dict is never changed. The generated key is dropped when it
// holds None (the database then assigns it); a value given for it is kept,
// so a row copied from another data source keeps its key.
struct ConvertArgs {
  Ref self, data, model_class, exclude_pk;
};
Ref convert_data(FunctionObject* f, ConvertArgs& a) {
  Ref pk_name = truthy(a.exclude_pk)
                    ? call_method(a.self, names->get_auto_pk, {a.model_class.get()})
                    : none();
  Ref data;
  // An exact dict is neither a pydantic model nor a declarative instance
  // while those names are the originals: the isinstance tests (pydantic's
  // raises and catches an AttributeError for a dict) can be skipped.
  bool plain_dict = PyDict_CheckExact(a.data.get()) &&
                    global_is(f, names->BaseModel, originals.base_model) &&
                    global_is(f, names->DeclarativeBase, originals.declarative_base);
  if (plain_dict) {
    data = Ref::check(PyDict_Copy(a.data.get()));
  } else if (is_instance(a.data, global(f, names->BaseModel))) {
    data = call_method(a.data, names->model_dump, {});
  } else if (is_instance(a.data, global(f, names->DeclarativeBase))) {
    if (!is_instance(a.data, a.model_class)) {
      Ref type_text = text_of(reinterpret_cast<PyObject*>(Py_TYPE(a.data.get())));
      Ref model_text = text_of(a.model_class);
      raise(PyExc_TypeError, concat({names->data_type, type_text.get(), names->not_supported,
                                     names->model_expected, model_text.get(), names->is_expected}));
    }
    data = instance_columns(f, a.data, a.model_class);
  } else if (PyDict_Check(a.data.get())) {
    data = Ref::check(PyDict_Copy(a.data.get()));
  } else {
    Ref type_text = text_of(reinterpret_cast<PyObject*>(Py_TYPE(a.data.get())));
    raise(PyExc_TypeError, concat({names->data_type, type_text.get(), names->not_supported}));
  }
  if (truthy(pk_name) && PyDict_Check(data.get())) {
    Ref given = dict_get_ref(data, pk_name);
    if (given && given.get() != Py_None) return data;
  }
  return call_method(a.self, names->exclude_pk, {pk_name.get(), data.get()});
}

// @classmethod def __session(cls): the gateway of the data source in force.
Ref session_of_class(FunctionObject* f, ClsArgs& a) {
  Ref db_key = call(global(f, names->get_current_db));
  Ref entry = registry_entry(f->globals, getattr(a.cls, names->datasource), db_key);
  return gateway_of(f->globals, entry);
}

// @property def session(self): return self._BaseMapper__session()
struct SelfArgs {
  Ref self;
};
Ref session(FunctionObject*, SelfArgs& a) {
  return call_method(a.self, names->session_of_class, {});
}

// ---------------------------------------------------------------------------
// @classmethod @contextmanager def db_session(cls, datasource_name: "str" = None)

struct DbSessionArgs {
  Ref cls, datasource_name;
};
Ref db_session(FunctionObject* f, DbSessionArgs& a) {
  auto body =
      std::make_unique<SessionBody>(Ref::borrow(f->globals), a.cls, a.datasource_name, false);
  return new_generator(std::move(body), f->name, f->qualname);
}

// ---------------------------------------------------------------------------
// @classmethod @contextmanager def switch_datasource(cls, datasource_name: "str")
//
//     with switch_datasource(datasource_name):
//         db_gateway = None
//         try:
//             db_gateway = cls.datasource[datasource_name]["db_gateway"]
//             db_gateway.begin_tx()
//             yield db_gateway
//             db_gateway.commit()
//         except BaseException:
//             if db_gateway is not None: db_gateway.rollback()
//             raise
//         finally:
//             if db_gateway is not None: db_gateway.close()
//
// A TransactionBody over cls's registry.
struct SwitchArgs {
  Ref cls, datasource_name;
};
Ref switch_datasource(FunctionObject* f, SwitchArgs& a) {
  auto body = std::make_unique<TransactionBody>(Ref::borrow(f->globals), a.cls, a.datasource_name,
                                                false, true);
  return new_generator(std::move(body), f->name, f->qualname);
}

// ---------------------------------------------------------------------------
// Writes

struct DataArgs {
  Ref self, data;
};

// def add(self, data: "Any") / def add_all(self, data: "list")
Ref add(FunctionObject*, DataArgs& a) {
  on_session(a.self, names->add, {a.data.get()});
  return none();
}
Ref add_all(FunctionObject*, DataArgs& a) {
  on_session(a.self, names->add_all, {a.data.get()});
  return none();
}

// def save_batch(self, data: "list")
//
// One row per item: the items, converted as insert converts them, are the
// parameter list of one insert(model), which SQLAlchemy runs as a batch
// (bulk_rows: keyed by attribute). The batch renders a None it is given as
// NULL, as insert does, rather than leaving the column to its default (the
// ORM's bulk insert leaves out None values unless told otherwise). An empty
// list inserts nothing.
Ref save_batch(FunctionObject* f, DataArgs& a) {
  Ref model = model_of(a.self);
  Ref data_list = new_list();
  for_each(a.data, [&](Borrowed item) {
    list_append(data_list, call_method(a.self, names->convert_data, {item.get(), model.get()}));
  });
  if (PyList_GET_SIZE(data_list.get()) == 0) return none();
  Ref rows = bulk_rows(f, model, data_list);
  Ref statement = model_statement(f, names->insert_statement, model);
  statement =
      call_kwargs(getattr(statement, names->execution_options), {}, {{"render_nulls", Py_True}});
  on_session(a.self, names->insert_orm2, {statement.get(), rows.get()});
  return none();
}

// def insert(self, data: "Any"): the new primary key, or None.
//
// The statement is insert(model).values(**data), run by the gateway's
// insert_orm2. Where that would run on a Connection with nothing observing
// the engine (engines.h), the statement kept for the model runs with the
// row as its execution parameters instead, while the module's constructor
// made it and the row means the same so (row_as_parameters): no statement
// is built per row.
Ref insert(FunctionObject* f, DataArgs& a) {
  Ref model = model_of(a.self);
  Ref data = call_method(a.self, names->convert_data, {a.data.get(), model.get()});
  Ref kept = model_statement(f, names->insert_statement, model);
  Ref result;
  if (statement_makers->hold() && row_as_parameters(f, model, data)) {
    Ref gateway = getattr(a.self, names->session);
    result = engines::row_insert(engines::Layer::Gateway, gateway, kept, data);
    if (!result) {
      result = call_method(gateway, names->insert_orm2, {values_of(kept, data).get()});
    }
  } else {
    result = on_session(a.self, names->insert_orm2, {values_of(kept, data).get()});
  }
  Ref key = getattr(result, names->inserted_primary_key);
  if (truthy(key)) return Ref::check(PySequence_GetItem(key.get(), 0));
  return none();
}

// def delete_by_id(self, id: "int"): the key as id_equals takes it.
struct IdArgs {
  Ref self, id;
};
Ref delete_by_id(FunctionObject* f, IdArgs& a) {
  Ref model = model_of(a.self);
  Ref statement = model_statement(f, names->delete_statement, model);
  statement = where(statement, id_equals(model, a.id));
  return on_session(a.self, names->delete_orm2, {statement.get()});
}

// def delete(self, del_statement: "Delete")
struct DeleteArgs {
  Ref self, del_statement;
};
Ref delete_(FunctionObject*, DeleteArgs& a) {
  return on_session(a.self, names->delete_orm2, {a.del_statement.get()});
}

// `data` without the key, when its column is an identity column GENERATED
// ALWAYS and other values remain: PostgreSQL refuses to set such a column,
// even to the value it has (the WHERE clause still names it). Otherwise
// `data` itself.
Ref without_generated_always(Borrowed column, Borrowed data) {
  Ref identity = getattr_opt(getattr(column, names->expression), names->identity);
  if (!identity || identity.get() == Py_None || !truthy(getattr(identity, names->always)) ||
      length(data) < 2) {
    return Ref::borrow(data);
  }
  Ref values = new_dict();
  for_each_item(data, [&](Borrowed key, Borrowed value) {
    if (!equals(key, names->id)) dict_set(values, key, value);
  });
  return values;
}

// def update_by_id(self, data: "dict", selective: "bool" = False)
struct UpdateByIdArgs {
  Ref self, data, selective;
};
Ref update_by_id(FunctionObject* f, UpdateByIdArgs& a) {
  Ref model = model_of(a.self);
  Ref data = a.data;
  if (a.selective.get() == Py_True) {
    data = new_dict();
    for_each_item(a.data, [&](Borrowed key, Borrowed value) {
      if (value.get() != Py_None) dict_set(data, key, value);
    });
  }
  Ref statement = model_statement(f, names->update_statement, model);
  Ref column = getattr(model, names->id);  // before data["id"]: a model without `id` says so first
  Ref clause =
      Ref::check(PyObject_RichCompare(column.get(), getitem(data, names->id).get(), Py_EQ));
  statement = values_of(where(statement, clause), without_generated_always(column, data));
  return on_session(a.self, names->update_orm2, {statement.get()});
}

// def update(self, update_stat: "Update", data: "dict | None" = None)
struct UpdateArgs {
  Ref self, update_stat, data;
};
Ref update(FunctionObject*, UpdateArgs& a) {
  return on_session(a.self, names->update_orm2, {a.update_stat.get(), a.data.get()});
}

// def bulk_update_mappings(self, table_model=None, data_list: "list[dict] | None" = None)
struct BulkArgs {
  Ref self, table_model, data_list;
};
Ref bulk_update_mappings(FunctionObject*, BulkArgs& a) {
  Ref table_model = is_none(a.table_model) ? model_of(a.self) : a.table_model;
  return on_session(a.self, names->bulk_update_mappings, {table_model.get(), a.data_list.get()});
}

// ---------------------------------------------------------------------------
// Paging and SQL text

// def select_page_by_orm(self, statement: "Select", page: "Page" = Page(1, 10))
struct PageByOrmArgs {
  Ref self, statement, page;
};
Ref select_page_by_orm(FunctionObject* f, PageByOrmArgs& a) {
  Ref result = new_dict();
  dict_set(result, names->list, new_list());
  dict_set(result, names->total, Ref::check(PyLong_FromLong(0)));
  Ref count = call_method(global(f, names->func_stat), names->count, {});
  Ref count_stat = call(global(f, names->select), {count.get()});
  Ref subquery = call_method(a.statement, names->subquery, {});
  count_stat = call_method(count_stat, names->select_from, {subquery.get()});
  Ref size = getattr(a.page, names->page_size);
  Ref stat = call_method(a.statement, names->limit, {size.get()});
  Ref one = Ref::check(PyLong_FromLong(1));
  Ref before = Ref::check(PyNumber_Subtract(getattr(a.page, names->page_num).get(), one.get()));
  Ref offset = Ref::check(PyNumber_Multiply(before.get(), getattr(a.page, names->page_size).get()));
  stat = call_method(stat, names->offset, {offset.get()});
  Ref gateway = getattr(a.self, names->session);
  check(PyObject_SetItem(result.get(), names->list,
                         call_method(gateway, names->select_all_orm2, {stat.get()}).get()));
  check(PyObject_SetItem(result.get(), names->total,
                         call_method(gateway, names->select_one_orm2, {count_stat.get()}).get()));
  return result;
}

// def select_page_by_sql(self, sql_str: "str", sql_param: "dict | None" = None,
//                        page: "Page" = Page(1, 10))
struct PageBySqlArgs {
  Ref self, sql_str, sql_param, page;
};
Ref select_page_by_sql(FunctionObject* f, PageBySqlArgs& a) {
  Ref sql_text = call(global(f, names->text), {a.sql_str.get()});
  return on_session(a.self, names->select_page, {sql_text.get(), a.page.get(), a.sql_param.get()});
}

// def select_all_by_sql(self, sql_str: "str", sql_param: "dict | None" = None)
struct AllBySqlArgs {
  Ref self, sql_str, sql_param;
};
Ref select_all_by_sql(FunctionObject* f, AllBySqlArgs& a) {
  Ref sql_text = call(global(f, names->text), {a.sql_str.get()});
  return on_session(a.self, names->select_list, {sql_text.get(), a.sql_param.get()});
}

// ---------------------------------------------------------------------------
// Reads

// def _use_orm2(self, statement): scalar results when the statement selects
// exactly the mapper's model, or exactly one column.
struct StatementArgs {
  Ref self, statement;
};
Ref use_orm2(FunctionObject*, StatementArgs& a) {
  Ref descriptions = getattr(a.statement, names->column_descriptions);
  if (length(descriptions) == 1) {
    Ref first = Ref::check(PySequence_GetItem(descriptions.get(), 0));
    Ref type = call_method(first, names->get, {names->type});
    Ref model = model_of(a.self);
    if (truthy(Ref::check(PyObject_RichCompare(type.get(), model.get(), Py_EQ)))) {
      return boolean(true);
    }
  }
  Ref selected = getattr(a.statement, names->selected_columns);
  return boolean(length(selected) == 1);
}

// self._use_orm2(statement). BaseMapper's own method says the same for the
// same statement and model every time: its answer is kept.
bool uses_orm2(Borrowed self, Borrowed statement) {
  Ref method = getattr(self, names->use_orm2);
  if (!bound_to(method, own_use_orm2, self)) {
    return truthy(call(method, {statement.get()}));
  }
  Ref model = model_of(self);
  if (Ref kept = orm2_decisions->find(statement, model)) return kept.get() == Py_True;
  const bool orm2 = truthy(call(method, {statement.get()}));
  orm2_decisions->keep(statement, model, boolean(orm2));
  return orm2;
}

// select_all / select_one on a statement the caller gave: scalar or row results.
Ref run_statement(Borrowed self, Borrowed statement, PyObject* scalars, PyObject* rows) {
  return on_session(self, uses_orm2(self, statement) ? scalars : rows, {statement.get()});
}

// def select_all(self, statement=None)
Ref select_all(FunctionObject* f, StatementArgs& a) {
  if (is_none(a.statement)) {
    Ref statement = model_statement(f, names->select, model_of(a.self));
    return on_session(a.self, names->select_all_orm2, {statement.get()});
  }
  return run_statement(a.self, a.statement, names->select_all_orm2, names->select_all_orm1);
}

// def select_one(self, statement=None): the caller's limit is replaced by 1.
Ref select_one(FunctionObject* f, StatementArgs& a) {
  Ref one = Ref::check(PyLong_FromLong(1));
  if (is_none(a.statement)) {
    Ref statement = model_statement(f, names->select, model_of(a.self));
    statement = call_method(statement, names->limit, {one.get()});
    return on_session(a.self, names->select_one_orm2, {statement.get()});
  }
  Ref statement = call_method(a.statement, names->limit, {one.get()});
  return run_statement(a.self, statement, names->select_one_orm2, names->select_one_orm1);
}

// def select_by_id(self, id: "int")
Ref select_by_id(FunctionObject* f, IdArgs& a) {
  Ref model = model_of(a.self);
  Ref statement = model_statement(f, names->select, model);
  statement = where(statement, id_equals(model, a.id));
  return on_session(a.self, names->select_one_orm2, {statement.get()});
}

// ---------------------------------------------------------------------------

// `@classmethod @contextmanager def ...` in the class body.
void context_manager_method(ClassBuilder& cb, Borrowed g, Def& def) {
  Ref contextmanager = global(g, names->contextmanager);
  cb.decorated(def, {reinterpret_cast<PyObject*>(&PyClassMethod_Type), contextmanager.get()});
}

}  // namespace

namespace wisp::facade {

void bind_mapper(Borrowed g) {
  originals.base_model = global(g, names->BaseModel).release();
  originals.declarative_base = global(g, names->DeclarativeBase).release();
  model_statements = new IdentityMemo();
  orm2_decisions = new IdentityMemo();
  model_row_keys = new IdentityMemo();
  statement_makers = new OriginalGlobals();
  for (PyObject* maker :
       {names->insert_statement, names->update_statement, names->delete_statement, names->select}) {
    statement_makers->watch(g, maker);
  }

  Ref bound = global(g, intern("DeclarativeBase"));
  Ref type_var =
      call_kwargs(global(g, intern("TypeVar")), {str("T").get()}, {{"bound", bound.get()}});
  // TypeVar names itself after the module of the Python code that calls it,
  // which here is the importer: T belongs to this module (and pickles by it).
  setattr(type_var, "__module__", global(g, intern("__name__")));
  dict_set(g, "T", type_var);

  ClassBuilder cb("BaseMapper", g);
  cb.annotated("datasource", "dict", Py_None);
  cb.annotated("default_key", "str", Py_None);
  cb.annotated("raw_sql", "bool", Py_False);
  cb.attr("_sig_cache", call(import_attr("weakref", "WeakKeyDictionary")));
  cb.attr("_type_cache", new_dict());

  Def type_param = Def::of<type_parameter>("__type_parameter");
  type_param.param("cls", &ClsArgs::cls);
  cb.classmethod(type_param);

  Def exclude = Def::of<exclude_pk>("__exclude_pk");
  exclude.param("pk_name", &ExcludePkArgs::pk_name)
      .param("data_dict", &ExcludePkArgs::data_dict)
      .annotate("dict");
  cb.staticmethod(exclude);

  Def auto_pk = Def::of<get_auto_pk>("_get_auto_pk");
  auto_pk.param("cls", &AutoPkArgs::cls).param("model_class", &AutoPkArgs::model_class);
  cb.classmethod(auto_pk);

  Def convert = Def::of<convert_data>("_convert_data");
  convert.param("self", &ConvertArgs::self)
      .param("data", &ConvertArgs::data)
      .param("model_class", &ConvertArgs::model_class)
      .param("exclude_pk", &ConvertArgs::exclude_pk)
      .def(Py_True);
  cb.method(convert);

  Def session_cls = Def::of<session_of_class>("__session");
  session_cls.param("cls", &ClsArgs::cls);
  cb.classmethod(session_cls);

  Def session_prop = Def::of<session>("session");
  session_prop.param("self", &SelfArgs::self);
  cb.property(session_prop);

  Def db_sess = Def::of<db_session>("db_session");
  db_sess.generator();
  db_sess.param("cls", &DbSessionArgs::cls)
      .param("datasource_name", &DbSessionArgs::datasource_name)
      .annotate("str")
      .def(Py_None);
  context_manager_method(cb, g, db_sess);

  Def sw = Def::of<switch_datasource>("switch_datasource");
  sw.generator();
  sw.param("cls", &SwitchArgs::cls).param("datasource_name", &SwitchArgs::datasource_name);
  sw.annotate("str");
  context_manager_method(cb, g, sw);

  Def add_def = Def::of<add>("add");
  add_def.param("self", &DataArgs::self).param("data", &DataArgs::data).annotate("Any");
  cb.method(add_def);

  Def add_all_def = Def::of<add_all>("add_all");
  add_all_def.param("self", &DataArgs::self).param("data", &DataArgs::data).annotate("list");
  cb.method(add_all_def);

  Def save = Def::of<save_batch>("save_batch");
  save.param("self", &DataArgs::self).param("data", &DataArgs::data).annotate("list");
  cb.method(save);

  Def insert_def = Def::of<insert>("insert");
  insert_def.param("self", &DataArgs::self).param("data", &DataArgs::data).annotate("Any");
  cb.method(insert_def);

  Def delete_id = Def::of<delete_by_id>("delete_by_id");
  delete_id.param("self", &IdArgs::self).param("id", &IdArgs::id).annotate("int", Check::Any);
  cb.method(delete_id);

  Def delete_def = Def::of<delete_>("delete");
  delete_def.param("self", &DeleteArgs::self)
      .param("del_statement", &DeleteArgs::del_statement)
      .annotate("Delete");
  cb.method(delete_def);

  Def update_id = Def::of<update_by_id>("update_by_id");
  update_id.param("self", &UpdateByIdArgs::self)
      .param("data", &UpdateByIdArgs::data)
      .annotate("dict")
      .param("selective", &UpdateByIdArgs::selective)
      .annotate("bool")
      .def(Py_False);
  cb.method(update_id);

  Def update_def = Def::of<update>("update");
  update_def.param("self", &UpdateArgs::self)
      .param("update_stat", &UpdateArgs::update_stat)
      .annotate("Update")
      .param("data", &UpdateArgs::data)
      .annotate("dict | None")
      .def(Py_None);
  cb.method(update_def);

  Def bulk = Def::of<bulk_update_mappings>("bulk_update_mappings");
  bulk.param("self", &BulkArgs::self)
      .param("table_model", &BulkArgs::table_model)
      .def(Py_None)
      .param("data_list", &BulkArgs::data_list)
      .annotate("list[dict] | None", Check::List)
      .def(Py_None);
  cb.method(bulk);

  Def page_orm = Def::of<select_page_by_orm>("select_page_by_orm");
  page_orm.param("self", &PageByOrmArgs::self)
      .param("statement", &PageByOrmArgs::statement)
      .annotate("Select")
      .param("page", &PageByOrmArgs::page)
      .annotate("Page")
      .def(default_page(g));
  cb.method(page_orm);

  Def page_sql = Def::of<select_page_by_sql>("select_page_by_sql");
  page_sql.param("self", &PageBySqlArgs::self)
      .param("sql_str", &PageBySqlArgs::sql_str)
      .annotate("str")
      .param("sql_param", &PageBySqlArgs::sql_param)
      .annotate("dict | None")
      .def(Py_None)
      .param("page", &PageBySqlArgs::page)
      .annotate("Page")
      .def(default_page(g));
  cb.method(page_sql);

  Def all_sql = Def::of<select_all_by_sql>("select_all_by_sql");
  all_sql.param("self", &AllBySqlArgs::self)
      .param("sql_str", &AllBySqlArgs::sql_str)
      .annotate("str")
      .param("sql_param", &AllBySqlArgs::sql_param)
      .annotate("dict | None")
      .def(Py_None);
  cb.method(all_sql);

  Def orm2 = Def::of<use_orm2>("_use_orm2");
  orm2.param("self", &StatementArgs::self).param("statement", &StatementArgs::statement);
  own_use_orm2 = cb.method(orm2).release();

  Def all = Def::of<select_all>("select_all");
  all.param("self", &StatementArgs::self)
      .param("statement", &StatementArgs::statement)
      .def(Py_None);
  cb.method(all);

  Def one = Def::of<select_one>("select_one");
  one.param("self", &StatementArgs::self)
      .param("statement", &StatementArgs::statement)
      .def(Py_None);
  cb.method(one);

  Def by_id = Def::of<select_by_id>("select_by_id");
  by_id.param("self", &IdArgs::self).param("id", &IdArgs::id).annotate("int", Check::Any);
  cb.method(by_id);

  add_mapper_dispatch(cb, g);

  Ref generic = getitem(global(g, intern("Generic")), type_var);
  dict_set(g, "BaseMapper", cb.make_generic(tuple({generic.get()})));
}

}  // namespace wisp::facade
