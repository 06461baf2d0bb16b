// wisp.wisp, transactions: the scope every transactional wrapper runs its
// block in (TxScope), the same scope under a switch of data source
// (TransactionBody, for BaseMapper.switch_datasource and `transaction`), and
// the class `transaction`:
//
//     class transaction:
//         def __init__(self, name: "str | None" = None, *, savepoint: "bool" = False): ...
//         def __enter__(self): ...            # the data source's gateway
//         def __exit__(self, exc_type, exc_value, traceback): ...
//         def __call__(self, func: "Callable") -> "Callable": ...
//
// A `with` block of a transaction object is a context manager made by
// contextlib.contextmanager over a TransactionBody generator; what a
// context has entered and not yet left is kept per context (threads and
// tasks sharing one object never see each other's blocks). A decorated
// function runs its own scope inline on every call.
#include "transaction.h"

using namespace wisp;
using namespace wisp::facade;

namespace wisp::facade {

// ---------------------------------------------------------------------------
// TxScope

Ref TxScope::enter() {
  value_ = gateway(false);
  try {
    call_method(value_, savepoint_ ? names->begin_savepoint : names->begin_tx, {});
  } catch (...) {
    translate_exception();
    Ref exc = fetch_exception();
    ended_ = true;
    // A savepoint that failed to begin opened no level: the level in force
    // is the enclosing one's, which its own scope ends.
    if (savepoint_) {
      restore_exception(std::move(exc));
      throw PyError{};
    }
    while_handling(exc, [&] {
      if (usable()) call_method(value_, names->rollback, {});
    });
    while_handling(exc, [&] {
      if (usable()) call_method(value_, names->close, {});
    });
    restore_exception(std::move(exc));
    throw PyError{};
  }
  return value_;
}

void TxScope::on_success() {
  call_method(value_, names->commit, {});
  ended_ = true;
}

void TxScope::on_error(Borrowed) {
  ended_ = true;
  if (usable()) call_method(value_, names->rollback, {});
}

void TxScope::on_finally() {
  // An exception that is not an Exception skips on_error: rolled back here.
  if (!ended_ && usable()) call_method(value_, names->rollback, {});
  ended_ = true;
  if (usable()) call_method(value_, names->close, {});
}

bool TxScope::usable() {
  if (!value_) return false;
  return is_not_none_ ? value_.get() != Py_None : truthy(value_);
}

// ---------------------------------------------------------------------------
// TransactionBody

TransactionBody::TransactionBody(Ref globals, Ref owner, Ref name, bool savepoint, bool is_not_none)
    : globals_(globals), name_(name), scope_(globals, owner, name, savepoint, is_not_none) {}

Step TransactionBody::resume(Borrowed) {
  if (state_ == 0) {
    state_ = 1;
    enter_switch();
    Ref gateway;
    try {
      gateway = scope_.resume(Py_None).value;
    } catch (...) {
      translate_exception();
      return leave_switch(fetch_exception());
    }
    return Step::yield(gateway);
  }
  state_ = 2;
  try {
    scope_.resume(Py_None);  // commit, close; cleaned up already when it fails
  } catch (...) {
    translate_exception();
    return leave_switch(fetch_exception());
  }
  leave_switch();
  return Step::finish();
}

Step TransactionBody::resume_throw(Ref exc) {
  if (state_ != 1) {  // nothing entered yet
    state_ = 2;
    restore_exception(std::move(exc));
    throw PyError{};
  }
  state_ = 2;
  try {
    scope_.resume_throw(std::move(exc));  // rolls back, closes and re-raises
  } catch (...) {
    translate_exception();
  }
  return leave_switch(fetch_exception());
}

int TransactionBody::traverse(visitproc visit, void* arg) {
  Py_VISIT(globals_.get());
  Py_VISIT(name_.get());
  if (int r = scope_.traverse(visit, arg)) return r;
  if (native_) {
    if (int r = native_->traverse(visit, arg)) return r;
  }
  if (block_) return block_->traverse(visit, arg);
  return 0;
}

void TransactionBody::enter_switch() {
  if (name_.get() == Py_None) return;
  Ref switcher = global(globals_, names->switch_datasource);
  if (switcher.get() == originals.switch_datasource) {
    native_.emplace(globals_, name_);
    native_->enter();
    return;
  }
  Ref manager = call(switcher, {name_.get()});
  block_ = std::make_unique<With>(manager);
}

// Leaves the switch with `exc` propagating; a replaced switch may suppress
// it, and the body then ends after its `with` block.
Step TransactionBody::leave_switch(Ref exc) {
  if (native_) {
    native_->leave(exc);
  } else if (block_ && block_->exit(exc)) {
    block_.reset();
    return Step::finish();
  }
  block_.reset();
  restore_exception(std::move(exc));
  throw PyError{};
}

void TransactionBody::leave_switch() {
  if (native_) {
    native_->leave();
    return;
  }
  std::unique_ptr<With> block = std::move(block_);
  if (block) block->exit();
}

}  // namespace wisp::facade

namespace {

// contextmanager(_block): the maker of a `with` block of a transaction object.
PyObject* block_manager;
// ContextVar: ((transaction, its block), ...) entered in this context.
PyObject* entered_blocks;

// def _block(name, savepoint), wrapped by contextmanager: not a module global.
struct BlockArgs {
  Ref name, savepoint;
};
Ref block(FunctionObject* f, BlockArgs& a) {
  auto body = std::make_unique<TransactionBody>(Ref::borrow(f->globals), Ref(), a.name,
                                                a.savepoint.get() == Py_True, true);
  return new_generator(std::move(body), f->name, f->qualname);
}

// def __init__(self, name: "str | None" = None, *, savepoint: "bool" = False)
struct InitArgs {
  Ref self, name, savepoint;
};
Ref tx_init(FunctionObject*, InitArgs& a) {
  setattr(a.self, names->name, a.name);
  setattr(a.self, names->savepoint, a.savepoint);
  return none();
}

struct SelfArgs {
  Ref self;
};

// def __enter__(self)
Ref tx_enter(FunctionObject*, SelfArgs& a) {
  Ref savepoint = boolean(truthy(getattr(a.self, names->savepoint)));
  Ref manager =
      call(Borrowed(block_manager), {getattr(a.self, names->name).get(), savepoint.get()});
  Ref gateway = call_method(manager, names->enter, {});
  Ref entered = contextvar_get(Borrowed(entered_blocks));
  Ref pair = tuple({a.self.get(), manager.get()});
  contextvar_set(Borrowed(entered_blocks),
                 Ref::check(PySequence_Concat(entered.get(), tuple({pair.get()}).get())));
  return gateway;
}

// def __exit__(self, exc_type, exc_value, traceback)
//
// Leaves the innermost block this object has open in the context.
struct ExitArgs {
  Ref self, exc_type, exc_value, traceback;
};
Ref tx_exit(FunctionObject*, ExitArgs& a) {
  Ref entered = contextvar_get(Borrowed(entered_blocks));
  Py_ssize_t n = PyTuple_GET_SIZE(entered.get());
  Py_ssize_t i = n - 1;
  while (i >= 0 && PyTuple_GET_ITEM(PyTuple_GET_ITEM(entered.get(), i), 0) != a.self.get()) --i;
  if (i < 0) raise(PyExc_RuntimeError, "transaction block was not entered in this context");
  Ref manager = Ref::borrow(PyTuple_GET_ITEM(PyTuple_GET_ITEM(entered.get(), i), 1));
  Ref rest = Ref::check(PyTuple_New(n - 1));
  for (Py_ssize_t j = 0, k = 0; j < n; ++j) {
    if (j != i) PyTuple_SET_ITEM(rest.get(), k++, Py_NewRef(PyTuple_GET_ITEM(entered.get(), j)));
  }
  contextvar_set(Borrowed(entered_blocks), rest);
  return call_method(manager, names->exit,
                     {a.exc_type.get(), a.exc_value.get(), a.traceback.get()});
}

// The wrapper a transaction object makes of a function:
//
//     @wraps(func)
//     def wrapper(*args, **kwargs):
//         with transaction(name, savepoint=savepoint):
//             return func(*args, **kwargs)
struct WrapperVars {
  Ref func, name, savepoint;
  static auto fields() {
    return wisp::fields(&WrapperVars::func, &WrapperVars::name, &WrapperVars::savepoint);
  }
};
struct WrapperArgs {
  Ref args, kwargs;
};
Ref tx_wrapper(FunctionObject* f, WrapperArgs& a) {
  // Held here: the call below may run code that drops the function.
  const WrapperVars v = captured<WrapperVars>(f);
  auto in_transaction = [&] {
    TxScope scope(Ref::borrow(f->globals), Ref(), v.name, v.savepoint.get() == Py_True, true);
    return scope.run_inline([&](Borrowed) { return call_with(v.func, a.args, a.kwargs); });
  };
  if (v.name.get() == Py_None) return in_transaction();
  return in_switch(f, v.name, in_transaction);
}
Def* wrapper_def;

// def __call__(self, func: "Callable") -> "Callable"
//
// A coroutine function gets a coroutine function whose transaction encloses
// the awaited body (the wrapper runs in the bridge and awaits it). An async
// generator function is refused: its body runs piecemeal, after the
// transaction would have ended.
struct CallArgs {
  Ref self, func;
};
Ref tx_call(FunctionObject* f, CallArgs& a) {
  if (!PyCallable_Check(a.func.get())) {
    raise_format(PyExc_TypeError, "transaction() decorates a function, not %.200s",
                 Py_TYPE(a.func.get())->tp_name);
  }
  Ref inspect = global(f, names->inspect);
  if (truthy(call_method(inspect, names->isasyncgenfunction, {a.func.get()}))) {
    raise(PyExc_TypeError, "transaction() does not decorate async generator functions");
  }
  inspect.reset();
  const bool is_async = is_coroutine_function(f->globals, a.func);
  Ref name = getattr(a.self, names->name);
  Ref savepoint = boolean(truthy(getattr(a.self, names->savepoint)));
  Ref func = is_async ? awaiting(f, a.func) : a.func;
  Ref made = wrapper_def->closure(f, WrapperVars{func, name, savepoint});
  Ref wrapped = is_async ? async_shell(f, a.func, made)
                         : apply_wraps(global(f, names->wraps), a.func, made);
  // Bound to its data source, as a `datasource` function is: a decorated
  // class does not wrap it again.
  if (name.get() != Py_None) setattr(wrapped, names->decorated_attr, Py_True);
  return wrapped;
}

const char kTransactionDoc[] =
    "A transaction of a data source, as a context manager or a function decorator.\n"
    "\n"
    "The block (or each call) runs with the data source `name` selected, or the one in\n"
    "force when `name` is None. Without an open transaction of that data source in the\n"
    "context, it opens one, commits it when the block ends normally and rolls it back on\n"
    "any exception. Inside one, it joins it; should it then end with an exception, the\n"
    "whole transaction can only roll back. With `savepoint=True` it marks a SAVEPOINT\n"
    "instead: an exception rolls back the block's own work only, and the transaction\n"
    "around it goes on. Entering gives the data source's gateway.";

}  // namespace

namespace wisp::facade {

void bind_transaction(Borrowed g) {
  Def block_def = Def::of<block>("_block");
  block_def.generator();
  block_def.qualname("transaction._block")
      .param("name", &BlockArgs::name)
      .param("savepoint", &BlockArgs::savepoint);
  Ref block_fn = block_def.build(g);
  block_manager = call(global(g, intern("contextmanager")), {block_fn.get()}).release();
  // Every context starts with nothing entered.
  Ref none_entered = Ref::check(PyTuple_New(0));
  entered_blocks = call_kwargs(global(g, intern("ContextVar")), {str("transaction_blocks").get()},
                               {{"default", none_entered.get()}})
                       .release();

  wrapper_def = new Def(Def::of<tx_wrapper>("wrapper"));
  wrapper_def->param("args", &WrapperArgs::args, Kind::VarPos)
      .param("kwargs", &WrapperArgs::kwargs, Kind::VarKw);

  ClassBuilder cb("transaction", g);
  cb.doc(kTransactionDoc);
  Def init_def = Def::of<tx_init>("__init__");
  init_def.param("self", &InitArgs::self)
      .param("name", &InitArgs::name)
      .annotate("str | None")
      .def(Py_None)
      .param("savepoint", &InitArgs::savepoint, Kind::KwOnly)
      .annotate("bool")
      .def(Py_False);
  cb.method(init_def);
  Def enter_def = Def::of<tx_enter>("__enter__");
  enter_def.param("self", &SelfArgs::self);
  cb.method(enter_def);
  Def exit_def = Def::of<tx_exit>("__exit__");
  exit_def.param("self", &ExitArgs::self)
      .param("exc_type", &ExitArgs::exc_type)
      .param("exc_value", &ExitArgs::exc_value)
      .param("traceback", &ExitArgs::traceback);
  cb.method(exit_def);
  add_transaction_async(cb);
  Def call_def = Def::of<tx_call>("__call__");
  call_def.param("self", &CallArgs::self)
      .param("func", &CallArgs::func)
      .annotate("Callable")
      .returns("Callable");
  cb.method(call_def);
  dict_set(g, "transaction", cb.make());
}

}  // namespace wisp::facade
