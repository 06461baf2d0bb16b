// Sessions as `sessionmaker(bind=bind, expire_on_commit=False)()` makes them,
// shared by wisp.db.query_runner and wisp.db.db_gateway.
//
// SQLAlchemy's sessionmaker makes a fresh Session subclass per factory, and
// preparing the event dispatch of a new class costs as much as a whole small
// query. Nothing can hold on to the factory, so when the module's
// `sessionmaker` global is still SQLAlchemy's own, the session it would
// produce is built directly with the same arguments (sessionmaker passes
// bind, autoflush and expire_on_commit). A replaced `sessionmaker` is called
// exactly as written above.
#pragma once

#include "wisp/function.h"

namespace wisp::db {

class SessionFactory {
 public:
  // At module import, with the object bound as the module's `sessionmaker`.
  void init(Borrowed sessionmaker) {
    sessionmaker_ = Py_NewRef(sessionmaker.get());
    session_cls_ = import_attr("sqlalchemy.orm", "Session").release();
    kw_maker_ = names_tuple({"bind", "expire_on_commit"}).release();
    kw_session_ = names_tuple({"bind", "autoflush", "expire_on_commit"}).release();
    name_ = intern("sessionmaker");
  }

  // Whether the module namespace `globals` still binds SQLAlchemy's own
  // `sessionmaker`.
  bool original(Borrowed globals) const {
    return global(globals, name_).get() == sessionmaker_;
  }

  // A new session bound to `bind`, with `sessionmaker` looked up in the
  // module namespace `globals` at call time.
  Ref make(Borrowed globals, Borrowed bind) const {
    GlobalRef maker = global(globals, name_);
    if (maker.get() == sessionmaker_) {
      return call_kw(session_cls_, {bind.get(), Py_True, Py_False}, kw_session_);
    }
    Ref factory = call_kw(maker, {bind.get(), Py_False}, kw_maker_);
    return call(factory);
  }

 private:
  // Kept for the life of the process, like the module that holds them.
  PyObject* sessionmaker_ = nullptr;
  PyObject* session_cls_ = nullptr;
  PyObject* kw_maker_ = nullptr;
  PyObject* kw_session_ = nullptr;
  PyObject* name_ = nullptr;
};

}  // namespace wisp::db
