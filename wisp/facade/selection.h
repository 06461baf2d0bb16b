// wisp.wisp, what the selection of a data source gives the other sources:
// the body of switch_datasource, run inline where the module's own is in
// force, and the body of both db_session context managers. Defined in
// selection.cpp.
#pragma once

#include "facade.h"

namespace wisp::facade {

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
  Ref switcher = global(f, names->switch_datasource);
  if (switcher.get() != originals.switch_datasource) {
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

// What every scope over a data source's gateway holds: the module
// namespace, the class whose registry is read (null: BaseMapper, looked up
// when the block is entered), the data source's name (None: the one
// get_current_db() gives then) and what the scope yields once entered.
class SourceScope : public ContextBody {
 public:
  int traverse(visitproc visit, void* arg) override;

 protected:
  SourceScope(Ref globals, Ref owner, Ref name)
      : globals_(std::move(globals)), owner_(std::move(owner)), name_(std::move(name)) {}
  // <owner>.datasource[name]; with `check_name`, a name that get_current_db()
  // gives must be a str or None.
  Ref entry(bool check_name);
  // entry(check_name)["db_gateway"] (inside an awaited call, the gateway of
  // the data source's async engine: gateway_of).
  Ref gateway(bool check_name);

  Ref globals_;
  Ref owner_;
  Ref name_;
  Ref value_;
};

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
// With `check_name`, a name that get_current_db() gives must be a str or
// None. The steps are taken on `steps_`, the session itself here; the async
// session body (async_mapper.cpp) yields an AsyncSession and takes them on
// its sync_session.
class SessionBody : public SourceScope {
 public:
  SessionBody(Ref globals, Ref owner, Ref name, bool check_name)
      : SourceScope(std::move(globals), std::move(owner), std::move(name)),
        check_name_(check_name) {}
  int traverse(visitproc visit, void* arg) override;

 protected:
  Ref enter() override;
  void on_success() override;
  void on_error(Borrowed exc) override;
  void on_finally() override;

  Ref steps_;
  bool check_name_;
};

}  // namespace wisp::facade
