// wisp.db.query_runner: owned text statements without a Session.
//
// An operation called without a session runs in a session of its own,
// committed and closed at once (the scope of get_session). For a text
// statement that session adds nothing but its cost: SQLAlchemy's Session
// hands the statement to a Connection and commits that. So while nothing
// could tell the difference, the runner skips it:
//
// - On a Connection: no listener on Session events (class-level; the
//   session is made here, so nothing else can listen on it), the runner's
//   own get_session, SQLAlchemy's sessionmaker, an exact TextClause and an
//   exact Engine. The Connection is begun, committed, rolled back and closed
//   as the session would have; engine events and echo see what they saw.
// - On the driver connection of the pool, beneath that: when, besides, the
//   engine has no listeners of its own (other than the package's SQLite
//   BEGIN, whose work is done here instead), echo and the engine logger
//   are off, the engine has no execution options, and the dialect is one
//   whose execution of a text statement is known to add nothing to what the
//   driver does (no result processors, no parameter set-up, no name
//   translation). The statement is compiled once per clause and dialect by
//   SQLAlchemy (kept in the shared clause cache), its parameters processed
//   as SQLAlchemy would (bind processors included), and every failure is
//   handed to a Connection over the same pooled connection, whose own
//   handling wraps it (`DBAPIError.instance`), invalidates a lost
//   connection and rolls back. The pool's checkout (pre-ping), reset on
//   return and events are the pool's own on both paths.
//
// Anything unusual takes the path above it.
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>
#include <vector>

#include "wisp/rt.h"

namespace wisp::db {

// A reference to a callable, for the bodies passed below.
template <class Sig>
class FnRef;
template <class R, class... A>
class FnRef<R(A...)> {
 public:
  template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, FnRef>>>
  FnRef(F&& f)  // NOLINT: implicit by design
      : obj_(const_cast<void*>(static_cast<const void*>(&f))),
        call_([](void* o, A... a) -> R { return (*static_cast<std::decay_t<F>*>(o))(a...); }) {}
  R operator()(A... a) const { return call_(obj_, a...); }

 private:
  void* obj_;
  R (*call_)(void*, A...);
};

// What a statement's value is made of on the driver connection.
enum class Yield {
  FirstAsDict,  // the first row as a dict, or None
  RowsAsDicts,  // every row as a dict
  LastRowId,    // the cursor's lastrowid
  RowCount,     // the cursor's rowcount
  Scalar,       // the first column of the first row, or None
};

// One statement of an owned operation, with the parameters it is run with.
struct Statement {
  Borrowed clause;
  Borrowed params;
  Yield yield;
};

// At the module's import.
void init_owned();

// Whether an owned operation whose scope is the runner's own may skip the
// Session: `sessionmaker_original` tells whether the module's sessionmaker
// is SQLAlchemy's; the runner's data source must be an exact Engine, which
// `engine` receives. The statement must be one of the two below.
bool sessionless(Borrowed runner, bool sessionmaker_original, Ref& engine);

// An exact TextClause.
bool plain_text(Borrowed statement);
// An exact Insert, run without parameters, that returns nothing and has no
// execution options: the Session's ORM execution of it adds nothing to
// what the Connection does (its ORM compilation is the statement's own).
bool plain_insert(Borrowed statement, Borrowed params);

// Whether nothing observes `engine`'s statements: the driver path's
// condition above (no listener but the package's own, no echo or engine
// logging, no execution option, a dialect known to add nothing).
bool unobserved(Borrowed engine);

// Runs an owned operation on `engine` without a Session. On the driver
// connection, when it can: the statements run in order in one transaction
// and `assemble` makes the operation's value of theirs. Otherwise
// `on_connection` runs with a Connection standing in for the session.
Ref run_owned(Borrowed engine, const Statement* statements, size_t count,
              FnRef<Ref(std::vector<Ref>&)> assemble, FnRef<Ref(Borrowed)> on_connection);

// Runs `body` with a Connection of `engine` standing in for the session of
// an owned operation.
Ref run_on_connection(Borrowed engine, FnRef<Ref(Borrowed)> body);

}  // namespace wisp::db
