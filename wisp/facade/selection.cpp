// wisp.wisp, data-source selection: the name of the data source in force is
// kept per execution context in `datasource_context` and changed only by
// switch_datasource (directly, or through the `datasource` wrappers).
//
//     def get_current_db(): ...
//     @contextmanager
//     def switch_datasource(db: "str"): ...
//     datasource_context = ContextVar("datasource_context", default=None)
//     def datasource(datasource_name: "str", transactional: "bool" = False): ...
//     def _decorate_class(cls: "type", datasource_name: "str", transactional: "bool") -> "type":
//     ... def _create_wrapped_method(method: "Callable", datasource_name: "str",
//                                transactional: "bool", mark_decorated: "bool" = False) ->
//                                "Callable": ...
//     @contextmanager
//     def db_session(datasource_name: "str" = None): ...
#include <memory>

#include "selection.h"
#include "transaction.h"

using namespace wisp;
using namespace wisp::facade;

namespace {

// ---------------------------------------------------------------------------
// def get_current_db()

Ref get_current_db(FunctionObject* f, NoArgs&) {
  Ref name = contextvar_get(global(f, names->datasource_context));
  if (truthy(name)) return name;
  return mapper_attr(f->globals, names->default_key);
}

}  // namespace

namespace wisp::facade {

// ---------------------------------------------------------------------------
// The body of switch_datasource (declared with its Python form in the
// header), shared by the generator below and the inline wrappers.

Ref Switch::enter() {
  db_key_ = none();
  try {
    Ref current = contextvar_get(global(globals_, names->datasource_context));
    if (current.get() != Py_None) db_key_ = current;
    if (!registry_has(globals_, mapper_attr(globals_, names->datasource), db_)) {
      Ref note = Ref::check(PyUnicode_FromFormat("no data source %R is registered", db_.get()));
      PyErr_SetString(PyExc_ValueError, "Unknown data source");
      add_note_to_current(note);
      throw PyError{};
    }
    if (truthy(mapper_attr(globals_, names->raw_sql))) trace(current, db_);
    contextvar_set(global(globals_, names->datasource_context), db_);
    return db_;
  } catch (...) {
    translate_exception();
    Ref exc = fetch_exception();
    leave(exc);
    restore_exception(std::move(exc));
    throw PyError{};
  }
}

void Switch::leave() {
  restore();
}

void Switch::leave(Ref& exc) {
  while_handling(exc, [&] { restore(); });
}

int Switch::traverse(visitproc visit, void* arg) {
  Py_VISIT(globals_.get());
  Py_VISIT(db_.get());
  Py_VISIT(db_key_.get());
  return 0;
}

void Switch::restore() {
  Ref current = contextvar_get(global(globals_, names->datasource_context));
  if (current.get() != Py_None)
    contextvar_set(global(globals_, names->datasource_context), Py_None);
  if (truthy(mapper_attr(globals_, names->raw_sql))) trace(current, db_key_);
  if (db_key_ && db_key_.get() != Py_None) {
    contextvar_set(global(globals_, names->datasource_context), db_key_);
  }
}

void Switch::trace(Borrowed from, Borrowed to) {
  Ref a = text_of(from), b = text_of(to);
  print(globals_, concat({names->change_prefix, a.get(), names->arrow, b.get()}));
}

// ---------------------------------------------------------------------------
// The body of both db_session context managers (declared with its Python
// form in the header). Nothing is rolled back or closed unless a session was
// obtained: a failed lookup or get_ori_session() reaches the caller as it is.

Ref SourceScope::entry(bool check_name) {
  if (name_.get() == Py_None) {
    name_ = call(global(globals_, names->get_current_db));
    if (check_name) expect_exact(name_, &PyUnicode_Type);
  }
  Ref sources =
      owner_ ? getattr(owner_, names->datasource) : mapper_attr(globals_, names->datasource);
  return registry_entry(globals_, sources, name_);
}

Ref SourceScope::gateway(bool check_name) {
  return gateway_of(globals_, entry(check_name));
}

int SourceScope::traverse(visitproc visit, void* arg) {
  Py_VISIT(globals_.get());
  Py_VISIT(owner_.get());
  Py_VISIT(name_.get());
  Py_VISIT(value_.get());
  return 0;
}

Ref SessionBody::enter() {
  value_ = call_method(gateway(check_name_), names->get_ori_session, {});
  steps_ = value_;
  return value_;
}

void SessionBody::on_success() {
  call_method(steps_, names->commit, {});
}

void SessionBody::on_error(Borrowed) {
  if (steps_ && steps_.get() != Py_None) call_method(steps_, names->rollback, {});
}

void SessionBody::on_finally() {
  if (steps_ && steps_.get() != Py_None) call_method(steps_, names->close, {});
}

int SessionBody::traverse(visitproc visit, void* arg) {
  Py_VISIT(steps_.get());
  return SourceScope::traverse(visit, arg);
}

}  // namespace wisp::facade

namespace {

// ---------------------------------------------------------------------------
// switch_datasource, wrapped by contextmanager at import

class SwitchBody : public GenBody {
 public:
  SwitchBody(Ref globals, Ref db) : switch_(std::move(globals), std::move(db)) {}

  Step resume(Borrowed) override {
    if (!entered_) {
      entered_ = true;
      return Step::yield(switch_.enter());
    }
    switch_.leave();
    return Step::finish();
  }
  Step resume_throw(Ref exc) override {
    switch_.leave(exc);
    restore_exception(std::move(exc));
    throw PyError{};
  }
  int traverse(visitproc visit, void* arg) override { return switch_.traverse(visit, arg); }

 private:
  Switch switch_;
  bool entered_ = false;
};

// def switch_datasource(db: "str"), wrapped by contextmanager at import
struct SwitchArgs {
  Ref db;
};
Ref switch_datasource(FunctionObject* f, SwitchArgs& a) {
  auto body = std::make_unique<SwitchBody>(Ref::borrow(f->globals), a.db);
  return new_generator(std::move(body), f->name, f->qualname);
}

// ---------------------------------------------------------------------------
// _create_wrapped_method and its wrapper

struct WrapperVars {
  Ref method, datasource_name, transactional;
  static auto fields() {
    return wisp::fields(&WrapperVars::method, &WrapperVars::datasource_name,
                        &WrapperVars::transactional);
  }
};

// The transactional path: the method called in the scope of a transaction
// of BaseMapper.datasource[datasource_name]["db_gateway"] (TxScope), which
// rolls back on every exception, KeyboardInterrupt and SystemExit too.
Ref in_transaction(FunctionObject* f, const WrapperVars& v, Borrowed args, Borrowed kwargs) {
  TxScope scope(Ref::borrow(f->globals), Ref(), v.datasource_name, false);
  return scope.run_inline([&](Borrowed) { return call_with(v.method, args, kwargs); });
}

// def wrapped_method(*args, **kwargs)
struct WrappedArgs {
  Ref args, kwargs;
};
Ref wrapped_method(FunctionObject* f, WrappedArgs& a) {
  // Held here: the call below may run code that drops the function.
  const WrapperVars v = captured<WrapperVars>(f);
  return in_switch(f, v.datasource_name, [&] {
    if (v.transactional.get() != Py_True) return call_with(v.method, a.args, a.kwargs);
    return in_transaction(f, v, a.args, a.kwargs);
  });
}

Def* wrapped_method_def;

// def _create_wrapped_method(method: "Callable", datasource_name: "str",
//                            transactional: "bool", mark_decorated: "bool" = False) -> "Callable"
struct CreateWrappedArgs {
  Ref method, datasource_name, transactional, mark_decorated;
};
Ref create_wrapped_method(FunctionObject* f, CreateWrappedArgs& a) {
  // A coroutine function is awaited inside the switch (and transaction):
  // the wrapper made for it is a coroutine function too.
  const bool is_async = is_coroutine_function(f->globals, a.method);
  Ref method = is_async ? awaiting(f, a.method) : a.method;
  Ref wrapper =
      wrapped_method_def->closure(f, WrapperVars{method, a.datasource_name, a.transactional});
  Ref wrapped = is_async ? async_shell(f, a.method, wrapper)
                         : apply_wraps(global(f, names->wraps), a.method, wrapper);
  if (a.mark_decorated.get() == Py_True) setattr(wrapped, names->decorated_attr, Py_True);
  return wrapped;
}

const char kCreateWrappedDoc[] =
    "\n"
    "    包装方法，添加数据源切换逻辑\n"
    "    :param mark_decorated: 是否标记已装饰，避免类装饰时重复装饰\n"
    "    ";

// ---------------------------------------------------------------------------
// _decorate_class and its two closures

struct ClassVars {
  Ref original, datasource_name, transactional;
  static auto fields() {
    return wisp::fields(&ClassVars::original, &ClassVars::datasource_name,
                        &ClassVars::transactional);
  }
};

// def __init__(self, *args, **kwargs)
struct ClassInitArgs {
  Ref self, args, kwargs;
};
Ref class_init(FunctionObject* f, ClassInitArgs& a) {
  const ClassVars v = captured<ClassVars>(f);
  Py_ssize_t n = PyTuple_GET_SIZE(a.args.get());
  Ref args = Ref::check(PyTuple_New(n + 1));
  PyTuple_SET_ITEM(args.get(), 0, Py_NewRef(a.self.get()));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyTuple_SET_ITEM(args.get(), i + 1, Py_NewRef(PyTuple_GET_ITEM(a.args.get(), i)));
  }
  call_with(v.original, args, a.kwargs);
  setattr(a.self, names->datasource_name_attr, v.datasource_name);
  setattr(a.self, names->transactional_attr, v.transactional);
  return none();
}

bool starts_with_dunder(Borrowed name) {
  if (PyUnicode_CheckExact(name.get())) {
    return check(int(PyUnicode_Tailmatch(name, names->dunder, 0, PY_SSIZE_T_MAX, -1))) != 0;
  }
  return truthy(call_method(name, names->startswith, {names->dunder}));
}

// def __getattribute__(self, name)
struct ClassGetattributeArgs {
  Ref self, name;
};
Ref class_getattribute(FunctionObject* f, ClassGetattributeArgs& a) {
  const ClassVars v = captured<ClassVars>(f);
  Ref attr = call(v.original, {a.self.get(), a.name.get()});
  if (!PyCallable_Check(attr.get()) || starts_with_dunder(a.name)) return attr;
  if (getattr_opt(attr, names->decorated_attr)) return attr;
  Ref create = global(f, names->create_wrapped_method);
  Ref name = getattr(a.self, names->datasource_name_attr);
  Ref transactional = getattr(a.self, names->transactional_attr);
  return call(create, {attr.get(), name.get(), transactional.get()});
}

Def* class_init_def;
Def* class_getattribute_def;

// def _decorate_class(cls: "type", datasource_name: "str", transactional: "bool") -> "type"
struct DecorateClassArgs {
  Ref cls, datasource_name, transactional;
};
Ref decorate_class(FunctionObject* f, DecorateClassArgs& a) {
  Ref original_init = getattr(a.cls, names->init);
  Ref init =
      class_init_def->closure(f, ClassVars{original_init, a.datasource_name, a.transactional});
  setattr(a.cls, names->init, init);
  Ref original_getattribute = getattr(a.cls, names->getattribute);
  Ref getattribute = class_getattribute_def->closure(
      f, ClassVars{original_getattribute, a.datasource_name, a.transactional});
  setattr(a.cls, names->getattribute, getattribute);
  return a.cls;
}

const char kDecorateClassDoc[] =
    "\n"
    "    装饰类，使类中所有方法都使用指定数据源\n"
    "    ";

// ---------------------------------------------------------------------------
// def datasource(datasource_name: "str", transactional: "bool" = False)

struct DecoratorVars {
  Ref datasource_name, transactional;
  static auto fields() {
    return wisp::fields(&DecoratorVars::datasource_name, &DecoratorVars::transactional);
  }
};

// def decorator(target: "Union[Callable, type]")
struct DecoratorArgs {
  Ref target;
};
Ref decorator(FunctionObject* f, DecoratorArgs& a) {
  const DecoratorVars v = captured<DecoratorVars>(f);
  int is_class = PyObject_IsInstance(a.target.get(), reinterpret_cast<PyObject*>(&PyType_Type));
  if (check(is_class)) {
    return call(global(f, names->decorate_class),
                {a.target.get(), v.datasource_name.get(), v.transactional.get()});
  }
  return call_kw(global(f, names->create_wrapped_method),
                 {a.target.get(), v.datasource_name.get(), v.transactional.get(), Py_True},
                 names->kw_mark_decorated);
}

Def* decorator_def;

struct DatasourceArgs {
  Ref datasource_name, transactional;
};
Ref datasource(FunctionObject* f, DatasourceArgs& a) {
  return decorator_def->closure(f, DecoratorVars{a.datasource_name, a.transactional});
}

const char kDatasourceDoc[] =
    "\n"
    "    多功能数据源装饰器，既可用于类也可用于方法\n"
    "\n"
    "    :param datasource_name: 数据源名称\n"
    "    :param transactional: 是否开启事务\n"
    "    ";

// ---------------------------------------------------------------------------
// db_session: the raw SQLAlchemy session of a data source (SessionBody).

// def db_session(datasource_name: "str" = None), wrapped by contextmanager
struct DbSessionArgs {
  Ref datasource_name;
};
Ref db_session(FunctionObject* f, DbSessionArgs& a) {
  auto body =
      std::make_unique<SessionBody>(Ref::borrow(f->globals), Ref(), a.datasource_name, true);
  return new_generator(std::move(body), f->name, f->qualname);
}

const char kDbSessionDoc[] =
    "\n"
    "    get ori_session\n"
    "    :param datasource_name: str\n"
    "    :return:\n"
    "    ";

// Binds `name` to contextmanager(fn), with the module's contextmanager.
Ref bind_context_manager(Borrowed g, Def& def) {
  Ref fn = def.build(g);
  Ref manager = call(global(g, intern("contextmanager")), {fn.get()});
  check(PyDict_SetItem(g, def.code()->name, manager.get()));
  return manager;
}

}  // namespace

namespace wisp::facade {

void bind_selection_head(Borrowed g) {
  Def::of<get_current_db>("get_current_db").bind(g, g);
  Def sw = Def::of<switch_datasource>("switch_datasource");
  sw.generator();
  sw.param("db", &SwitchArgs::db).annotate("str");
  originals.switch_datasource = bind_context_manager(g, sw).release();
}

void bind_selection(Borrowed g) {
  Ref context_var = call_kwargs(global(g, intern("ContextVar")), {str("datasource_context").get()},
                                {{"default", Py_None}});
  dict_set(g, "datasource_context", context_var);

  decorator_def = new Def(Def::of<decorator>("decorator"));
  decorator_def->param("target", &DecoratorArgs::target).annotate("Union[Callable, type]");
  Def::of<datasource>("datasource")
      .doc(kDatasourceDoc)
      .param("datasource_name", &DatasourceArgs::datasource_name)
      .annotate("str")
      .param("transactional", &DatasourceArgs::transactional)
      .annotate("bool")
      .def(Py_False)
      .bind(g, g);

  class_init_def = new Def(Def::of<class_init>("__init__"));
  class_init_def->param("self", &ClassInitArgs::self)
      .param("args", &ClassInitArgs::args, Kind::VarPos)
      .param("kwargs", &ClassInitArgs::kwargs, Kind::VarKw);
  class_getattribute_def = new Def(Def::of<class_getattribute>("__getattribute__"));
  class_getattribute_def->param("self", &ClassGetattributeArgs::self)
      .param("name", &ClassGetattributeArgs::name);
  Def::of<decorate_class>("_decorate_class")
      .doc(kDecorateClassDoc)
      .param("cls", &DecorateClassArgs::cls)
      .annotate("type")
      .param("datasource_name", &DecorateClassArgs::datasource_name)
      .annotate("str")
      .param("transactional", &DecorateClassArgs::transactional)
      .annotate("bool")
      .returns("type")
      .bind(g, g);

  wrapped_method_def = new Def(Def::of<wrapped_method>("wrapped_method"));
  wrapped_method_def->param("args", &WrappedArgs::args, Kind::VarPos)
      .param("kwargs", &WrappedArgs::kwargs, Kind::VarKw);
  Def::of<create_wrapped_method>("_create_wrapped_method")
      .doc(kCreateWrappedDoc)
      .param("method", &CreateWrappedArgs::method)
      .annotate("Callable")
      .param("datasource_name", &CreateWrappedArgs::datasource_name)
      .annotate("str")
      .param("transactional", &CreateWrappedArgs::transactional)
      .annotate("bool")
      .param("mark_decorated", &CreateWrappedArgs::mark_decorated)
      .annotate("bool")
      .def(Py_False)
      .returns("Callable")
      .bind(g, g);

  Def session = Def::of<db_session>("db_session");
  session.generator();
  session.doc(kDbSessionDoc)
      .param("datasource_name", &DbSessionArgs::datasource_name)
      .annotate("str")
      .def(Py_None);
  bind_context_manager(g, session);
}

}  // namespace wisp::facade
