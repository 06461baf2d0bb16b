// wisp.wisp, the awaited forms of the session and the generic mapper, bound
// after the specified names:
//
//     def async_db_session(name: "str | None" = None): ...   # async with ... as session
//
//     class AsyncBaseMapper(Generic[T]):
//         datasource: "dict" = None     # published by WispConfig, as BaseMapper's
//         default_key: "str" = None
//         raw_sql: "bool" = False
//         _sig_cache = WeakKeyDictionary()
//         ...                           # BaseMapper's private helpers, the same objects
//         @classmethod
//         def db_session(cls, datasource_name: "str" = None): ...      # async with
//         @classmethod
//         def switch_datasource(cls, datasource_name: "str"): ...      # async with
//         async def add(self, data: "Any"): ...                       # and every other
//         ...                                                          # public method
//         def __getattribute__(self, name: "str"): ...
//
// Each public method is a coroutine function standing for BaseMapper's
// (coroutine_twin: the same parameters, defaults, annotations and checks):
// awaiting it runs BaseMapper's own body, on self, in the bridge, where
// `self.session` is the async gateway of the data source in force. A
// subclass's `async def` declared by its signature alone runs the XML
// statement of the same name, by the dispatch BaseMapper has.
#include "selection.h"

using namespace wisp;
using namespace wisp::facade;

namespace {

struct AsyncMapperState {
  PyObject* session_manager;  // contextmanager(_async_session): the sync steps of a session block
  PyObject* mapper_switch;    // BaseMapper.switch_datasource's contextmanager function
};
AsyncMapperState mapper_state;

LazyRef s_async_session_class;

// The body of an AsyncSession block: db_session's, run in the bridge, with
// an AsyncSession(bind=<the data source's async engine>,
// expire_on_commit=False) yielded and its sync_session committed, rolled
// back and closed.
class AsyncSessionBody : public SessionBody {
 public:
  using SessionBody::SessionBody;

 protected:
  Ref enter() override {
    Ref engine = async_engine_of(globals_, entry(check_name_));
    value_ = async_session(engine);
    steps_ = getattr(value_, names->sync_session);
    return value_;
  }
};

// def _async_session(owner, name, check_name), wrapped by contextmanager
struct SessionArgs {
  Ref owner, name, check_name;
};
Ref session_steps(FunctionObject* f, SessionArgs& a) {
  Ref owner = a.owner.get() == Py_None ? Ref() : a.owner;
  auto body = std::make_unique<AsyncSessionBody>(Ref::borrow(f->globals), owner, a.name,
                                                 a.check_name.get() == Py_True);
  return new_generator(std::move(body), f->name, f->qualname);
}

// def async_db_session(name: "str | None" = None)
struct AsyncDbSessionArgs {
  Ref name;
};
Ref async_db_session(FunctionObject*, AsyncDbSessionArgs& a) {
  Ref manager = call(Borrowed(mapper_state.session_manager), {Py_None, a.name.get(), Py_True});
  return async_block(manager);
}

const char kAsyncDbSessionDoc[] =
    "An AsyncSession of the data source `name` (the one in force when None), for\n"
    "`async with`: committed when the block ends normally, rolled back when it raises,\n"
    "closed always. The selection in force is not changed.";

// @classmethod def db_session(cls, datasource_name: "str" = None)
struct DbSessionArgs {
  Ref cls, datasource_name;
};
Ref mapper_db_session(FunctionObject*, DbSessionArgs& a) {
  Ref manager =
      call(Borrowed(mapper_state.session_manager), {a.cls.get(), a.datasource_name.get(), Py_False});
  return async_block(manager);
}

// @classmethod def switch_datasource(cls, datasource_name: "str"): BaseMapper's
// block (a switch and one transaction), its steps run in the bridge.
struct SwitchArgs {
  Ref cls, datasource_name;
};
Ref mapper_switch(FunctionObject*, SwitchArgs& a) {
  Ref manager = call(Borrowed(mapper_state.mapper_switch), {a.cls.get(), a.datasource_name.get()});
  return async_block(manager);
}

// The start of every public method: BaseMapper's body in the bridge.
Ref start_method(FunctionObject*, Borrowed target, Borrowed args, Borrowed kwargs) {
  return spawn(target, args, kwargs);
}

// The public methods of BaseMapper, in class order; _use_orm2 (private,
// shared) sits before select_all.
const char* const kPublicBefore[] = {
    "add",    "add_all",          "save_batch",
    "insert", "delete_by_id",     "delete",
    "update_by_id", "update",     "bulk_update_mappings",
    "select_page_by_orm", "select_page_by_sql", "select_all_by_sql"};
const char* const kPublicAfter[] = {"select_all", "select_one", "select_by_id"};

}  // namespace

namespace wisp::facade {

Ref async_session(Borrowed engine) {
  Borrowed cls = s_async_session_class.get(
      [] { return import_attr("sqlalchemy.ext.asyncio", "AsyncSession"); });
  return call_kwargs(cls, {}, {{"bind", engine.get()}, {"expire_on_commit", Py_False}});
}

void bind_async(Borrowed g) {
  Def steps = Def::of<session_steps>("_async_session");
  steps.generator();
  steps.param("owner", &SessionArgs::owner)
      .param("name", &SessionArgs::name)
      .param("check_name", &SessionArgs::check_name);
  mapper_state.session_manager = call(global(g, intern("contextmanager")), {steps.build(g).get()}).release();

  Def::of<async_db_session>("async_db_session")
      .doc(kAsyncDbSessionDoc)
      .param("name", &AsyncDbSessionArgs::name)
      .annotate("str | None")
      .def(Py_None)
      .bind(g, g);

  Ref base_mapper = global(g, names->BaseMapper);
  Ref base_ns = getattr(base_mapper, names->dunder_dict);
  auto shared = [&](const char* name) { return getitem(base_ns, str(name)); };
  mapper_state.mapper_switch = getattr(shared("switch_datasource"), names->dunder_func).release();

  ClassBuilder cb("AsyncBaseMapper", g);
  cb.doc(
      "The generic mapper, awaited: BaseMapper's methods as coroutine methods with the same "
      "names, parameters and results; a subclass's `async def` declared by its signature "
      "alone runs the mapper XML statement of the same name. switch_datasource and "
      "db_session are async context managers.");
  cb.annotated("datasource", "dict", Py_None);
  cb.annotated("default_key", "str", Py_None);
  cb.annotated("raw_sql", "bool", Py_False);
  cb.attr("_sig_cache", call(import_attr("weakref", "WeakKeyDictionary")));
  for (const char* name : {"_BaseMapper__type_parameter", "_BaseMapper__exclude_pk",
                           "_get_auto_pk", "_convert_data", "_BaseMapper__session", "session"}) {
    cb.attr(name, shared(name));
  }

  Def db_sess = Def::of<mapper_db_session>("db_session");
  db_sess.param("cls", &DbSessionArgs::cls)
      .param("datasource_name", &DbSessionArgs::datasource_name)
      .annotate("str")
      .def(Py_None);
  cb.classmethod(db_sess);

  Def sw = Def::of<mapper_switch>("switch_datasource");
  sw.param("cls", &SwitchArgs::cls).param("datasource_name", &SwitchArgs::datasource_name);
  sw.annotate("str");
  cb.classmethod(sw);

  std::string prefix = std::string(cb.qualname()) + ".";
  auto twin = [&](const char* name) {
    Ref qualname = str(prefix + name);
    cb.attr(name, coroutine_twin(shared(name), qualname, start_method));
  };
  for (const char* name : kPublicBefore) twin(name);
  cb.attr("_use_orm2", shared("_use_orm2"));
  for (const char* name : kPublicAfter) twin(name);

  add_mapper_dispatch(cb, g, true);

  Ref generic = getitem(global(g, intern("Generic")), global(g, intern("T")));
  dict_set(g, "AsyncBaseMapper", cb.make_generic(tuple({generic.get()})));
}

}  // namespace wisp::facade
