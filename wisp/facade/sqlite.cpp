// wisp.wisp, SQLite engines of the registry: BEGIN taken over from the
// driver, as the pysqlite dialect's documentation describes.
//
// Left to itself, Python's sqlite3 begins a transaction only before INSERT,
// UPDATE, DELETE and REPLACE. A SAVEPOINT that comes first then starts a
// transaction of its own, whose release commits it at once, and a rollback
// of the transaction around it no longer undoes that work. So every SQLite
// engine the registry makes gets two listeners:
//
//     @event.listens_for(engine, "connect")
//     def _sqlite_connect(dbapi_connection, connection_record):
//         dbapi_connection.isolation_level = None    # the driver begins nothing
//
//     @event.listens_for(engine, "begin")
//     def _sqlite_begin(conn):
//         if conn.get_execution_options().get("isolation_level") != "AUTOCOMMIT":
//             conn.connection.dbapi_connection.execute("BEGIN")
//
// The driver still commits and rolls back as before. BEGIN goes to the
// driver connection directly, not through SQLAlchemy's execution: the echo
// log already shows "BEGIN (implicit)" there, and cursor events see the
// same statements as before. A connection in SQLAlchemy's AUTOCOMMIT mode
// begins nothing, as before.
//
// The two function objects are made once, at import, and kept here: every
// engine is given these same objects, which tells them apart from
// listeners of the application.
#include "facade.h"

#include "wisp/engines.h"

using namespace wisp;
using namespace wisp::facade;

namespace {

PyObject* event_listen;      // sqlalchemy.event.listen
PyObject* connect_listener;  // _sqlite_connect
PyObject* begin_listener;    // _sqlite_begin

struct ConnectArgs {
  Ref dbapi_connection, connection_record;
};
Ref sqlite_connect(FunctionObject*, ConnectArgs& a) {
  setattr(a.dbapi_connection, names->isolation_level, Py_None);
  return none();
}

struct BeginArgs {
  Ref conn;
};
Ref sqlite_begin(FunctionObject*, BeginArgs& a) {
  Ref options = call_method(a.conn, names->get_execution_options, {});
  Ref level = call_method(options, names->get, {names->isolation_level});
  if (level.get() != Py_None && equals(level, names->autocommit)) return none();
  Ref pooled = getattr(a.conn, names->connection);
  Ref driver_connection = getattr(pooled, names->dbapi_connection);
  call_method(driver_connection, names->execute, {names->begin});
  return none();
}

bool attr_is(Borrowed o, PyObject* name, PyObject* text) {
  Ref value = getattr_opt(o, name);
  return value && PyUnicode_Check(value.get()) && PyUnicode_Compare(value.get(), text) == 0;
}

}  // namespace

namespace wisp::facade {

void bind_sqlite_listeners(Borrowed g) {
  event_listen = import_attr("sqlalchemy.event", "listen").release();
  Def connect = Def::of<sqlite_connect>("_sqlite_connect");
  connect.param("dbapi_connection", &ConnectArgs::dbapi_connection)
      .param("connection_record", &ConnectArgs::connection_record);
  connect_listener = connect.build(g).release();
  Def begin = Def::of<sqlite_begin>("_sqlite_begin");
  begin.param("conn", &BeginArgs::conn);
  begin_listener = begin.build(g).release();
  // The runner recognises it, and does its work itself where it skips
  // SQLAlchemy's execution.
  engines::set_own_listener(engines::Own::Begin, begin_listener);
}

void take_over_sqlite_begin(Borrowed engine) {
  Ref dialect = getattr_opt(engine, names->dialect);
  // The sync_engine of an async engine over aiosqlite too: its adapted
  // connection takes both steps, awaiting the driver.
  if (!dialect || !attr_is(dialect, names->name, names->sqlite) ||
      (!attr_is(dialect, names->driver, names->pysqlite) &&
       !attr_is(dialect, names->driver, names->aiosqlite))) {
    return;
  }
  dialect.reset();
  call(Borrowed(event_listen), {engine.get(), names->on_connect, connect_listener});
  call(Borrowed(event_listen), {engine.get(), names->on_begin, begin_listener});
}

}  // namespace wisp::facade
