"""Statements run without a session of the caller's (owned) skip SQLAlchemy's Session, and
beneath it the execution layer, while nothing could tell: on SQLite and MariaDB, every path
gives the same rows, errors, commits and pool events, and each guard sends a call down the
full path, which behaves as it always did."""

import contextlib
import logging
import sqlite3
import threading
from typing import Optional

import pytest
from sqlalchemy import String, event, text
from sqlalchemy.exc import CompileError, DBAPIError, IntegrityError
from sqlalchemy.orm import DeclarativeBase, Mapped, Session, mapped_column, sessionmaker

from mapper_models import Person, User, mapper_for, w  # noqa: F401  (w: the configured registry)
from wisp.db import query_runner
from wisp.db.db_gateway import WispDbGateway
from wisp.db.query_runner import Page, QueryRunner
from wisp.mapper.xml_reader import ParseMapper

probe = pytest.importorskip("wisp._rt_probe")
PATHS = ("session", "connection", "driver")


def prepared(sql, **params):
    """A clause as the decorators make it (kept in the shared clause cache) and its binds."""
    return ParseMapper.to_prepared_statement(sql, params)


def on_path(fn):
    """fn()'s value and the path it took."""
    before = probe.path_counts()
    value = fn()
    moved = [after - b for b, after in zip(before, probe.path_counts())]
    assert sorted(moved) == [0, 0, 1], moved
    return value, PATHS[moved.index(1)]


@contextlib.contextmanager
def forced(path, engine, monkeypatch):
    """Owned calls take `path` in the block: a replaced sessionmaker keeps the Session, an
    engine listener keeps the Connection."""
    def listener(*args):
        pass

    with monkeypatch.context() as m:
        if path == "session":
            m.setattr(query_runner, "sessionmaker", lambda **kw: sessionmaker(**kw))
        elif path == "connection":
            event.listen(engine, "before_cursor_execute", listener)
        try:
            yield
        finally:
            if path == "connection":
                event.remove(engine, "before_cursor_execute", listener)


def stored(engine, sql="SELECT id, name, age FROM users ORDER BY id"):
    with engine.connect() as c:
        return [tuple(r) for r in c.execute(text(sql))]


CALLS = {
    "select_list": lambda gw, n: gw.select_list(*prepared(
        "SELECT id, name, age FROM users WHERE age >= #{a} ORDER BY id", a=20)),
    "select_one": lambda gw, n: gw.select_one(*prepared(
        "SELECT name, age FROM users WHERE id = #{i}", i=2)),
    "select_one none": lambda gw, n: gw.select_one(*prepared(
        "SELECT name FROM users WHERE id = #{i}", i=99)),
    "no binds": lambda gw, n: gw.select_list(*prepared("SELECT COUNT(*) AS n, 'a%b' AS p FROM users")),
    "same name twice": lambda gw, n: gw.select_list(*prepared("SELECT 1 AS a, 2 AS a, 3 AS b")),
    "page": lambda gw, n: gw.select_page(*prepared(
        "SELECT name FROM users WHERE age > #{a} ORDER BY id", a=10)[:1], Page(2, 2), {"a": 10}),
    "insert": lambda gw, n: gw.insert(*prepared("INSERT INTO users (name, age) VALUES (#{n}, 7)", n=n)),
    "update": lambda gw, n: gw.update(*prepared("UPDATE users SET age = age WHERE age > #{a}", a=20)),
    "delete": lambda gw, n: gw.delete(*prepared("DELETE FROM users WHERE name = #{n}", n="u5")),
    "mapped": lambda gw, n: gw.execute_sql("older", "Owned", {"a": 30}, None, list),
}


@pytest.fixture
def gw(users):
    return WispDbGateway(mapper_dict={"Owned": OwnedMapper()}, data_source=users)


class OwnedMapper:
    def get_sql(self, sql_id, params):
        clause, binds = prepared("SELECT name FROM users WHERE age > #{a} ORDER BY id", **params)
        return clause, binds, "select", dict


@pytest.mark.parametrize("call", CALLS)
def test_every_path_gives_the_same(gw, users, monkeypatch, backend, call):
    results = {}
    for path in PATHS:
        with users.begin() as c:  # the five rows of the fixture, as they were
            c.execute(text("DELETE FROM users"))
            c.execute(text("INSERT INTO users (id, name, age) VALUES (:i, :n, :a)"),
                      [{"i": i, "n": f"u{i}", "a": i * 10} for i in range(1, 6)])
        with forced(path, users, monkeypatch):
            value, took = on_path(lambda: CALLS[call](gw, "new"))
        # PostgreSQL has no last row id: an insert reads its key on the Connection.
        pg_key = call == "insert" and backend.kind == "postgresql" and path == "driver"
        assert took == ("connection" if pg_key else path)
        if call == "insert":  # the id of the row it wrote, committed
            value = stored(users, "SELECT id FROM users WHERE name = 'new'") == [(value,)]
        results[path] = (value, stored(users, "SELECT name, age FROM users ORDER BY name"))
        assert users.pool.checkedout() == 0
    assert results["driver"] == results["connection"] == results["session"]


def test_a_statement_that_gives_no_rows_where_rows_are_wanted(gw, users, monkeypatch):
    errors = []
    for path in PATHS:
        with forced(path, users, monkeypatch):
            with pytest.raises(Exception) as e:
                on_path(lambda: gw.select_list(*prepared("UPDATE users SET age = 1 WHERE id = 1")))
            errors.append((type(e.value), str(e.value)))
    assert errors[0] == errors[1] == errors[2] and "does not return rows" in errors[0][1]
    assert stored(users)[0][2] == 10  # rolled back on every path


def pool_events(engine):
    seen = []
    for name in ("checkout", "checkin"):
        event.listen(engine.pool, name, lambda *a, name=name: seen.append(name))
    event.listen(engine.pool, "reset",
                 lambda c, r, state: seen.append(("reset", state.transaction_was_reset)))
    return seen


@pytest.mark.parametrize("fails", [False, True], ids=["commits", "duplicate key"])
def test_errors_commits_and_pool_events_are_the_same(gw, users, monkeypatch, fails):
    """Pool listeners do not close the driver path: the pool is used alike."""
    seen, outcome = pool_events(users), {}
    for path in PATHS:
        with forced(path, users, monkeypatch):
            before = len(stored(users))
            seen.clear()
            name = "u1" if fails else "p-" + path
            try:
                on_path(lambda: gw.insert(*prepared("INSERT INTO users (name) VALUES (#{n})", n=name)))
                error = None
            except IntegrityError as e:
                error = (str(e), e.orig.args, e.connection_invalidated)
                assert seen[-1] == "checkin"  # the pool has it back before the caller sees the error
            outcome[path] = (error, list(seen), len(stored(users)) - before, users.pool.checkedout())
    assert outcome["driver"] == outcome["connection"] == outcome["session"]
    assert (outcome["driver"][0] is not None) is fails and outcome["driver"][2] == (0 if fails else 1)


class Interrupting:
    pass


def interrupt(value):
    raise KeyboardInterrupt


def test_an_interrupt_in_the_driver_gives_the_connection_back(gw, users, monkeypatch, backend):
    if backend.server:
        pytest.skip("the interrupt is raised by an SQLite parameter adapter")
    monkeypatch.setitem(sqlite3.adapters, (Interrupting, sqlite3.PrepareProtocol), interrupt)
    for path in PATHS:
        with forced(path, users, monkeypatch):
            with pytest.raises(KeyboardInterrupt):
                on_path(lambda: gw.select_list(*prepared("SELECT #{x} AS x", x=Interrupting())))
            assert users.pool.checkedout() == 0
            assert on_path(lambda: gw.select_one(*prepared("SELECT 1 AS one")))[0] == {"one": 1}


@pytest.mark.mariadb
@pytest.mark.parametrize("path", PATHS)
def test_a_connection_lost_mid_statement(mariadb_server, monkeypatch, path):
    from conftest import make_engine

    engine = make_engine(mariadb_server.url)
    gw = WispDbGateway(mapper_dict={}, data_source=engine)
    with forced(path, engine, monkeypatch):
        own_id = gw.select_one(*prepared("SELECT CONNECTION_ID() AS i"))["i"]

        def kill():
            with mariadb_server.root_connect() as root:
                root.cursor().execute(f"KILL {own_id}")

        threading.Timer(0.3, kill).start()
        with pytest.raises(DBAPIError) as e:
            on_path(lambda: gw.select_list(*prepared("SELECT SLEEP(5) AS s")))
        assert e.value.connection_invalidated and engine.pool.checkedout() == 0
        # The killed connection is gone; the next call gets another and works.
        assert gw.select_one(*prepared("SELECT CONNECTION_ID() AS i"))["i"] != own_id
        # One killed while idle in the pool is found by the pre-ping and replaced.
        own_id = gw.select_one(*prepared("SELECT CONNECTION_ID() AS i"))["i"]
        kill()
        assert on_path(lambda: gw.select_one(*prepared("SELECT 1 AS one")))[1] == path
    engine.dispose()


def echo_on(engine, monkeypatch, caplog, request):
    monkeypatch.setattr(engine, "echo", True)
    return lambda: [r.getMessage() for r in caplog.records if r.name.startswith("sqlalchemy.engine")]


def logger_at_info(engine, monkeypatch, caplog, request):
    caplog.set_level(logging.INFO, logger="sqlalchemy.engine")
    return lambda: [r.getMessage() for r in caplog.records if r.name.startswith("sqlalchemy.engine")]


def engine_listener(engine, monkeypatch, caplog, request):
    seen = []
    event.listen(engine, "before_cursor_execute", lambda conn, cur, sql, *a: seen.append(sql))
    return lambda: seen


def dialect_listener(engine, monkeypatch, caplog, request):
    seen = []
    event.listen(engine, "do_execute", lambda cursor, sql, params, ctx: seen.append(sql))
    return lambda: seen


def isolation_option(engine, monkeypatch, caplog, request):
    engine.update_execution_options(isolation_level="AUTOCOMMIT")
    return lambda: [engine.get_execution_options()["isolation_level"]]


def session_listener(engine, monkeypatch, caplog, request):
    seen = []
    fn = lambda session, *a: seen.append("after_begin")  # noqa: E731
    event.listen(Session, "after_begin", fn)
    request.addfinalizer(lambda: event.remove(Session, "after_begin", fn))
    return lambda: seen


def patched_sessionmaker(engine, monkeypatch, caplog, request):
    made = []
    monkeypatch.setattr(query_runner, "sessionmaker", lambda **kw: made.append(kw) or sessionmaker(**kw))
    return lambda: made


def replaced_do_execute(engine, monkeypatch, caplog, request):
    seen = []
    own = engine.dialect.do_execute
    monkeypatch.setattr(engine.dialect, "do_execute",
                        lambda cursor, sql, *a: seen.append(sql) or own(cursor, sql, *a))
    return lambda: seen


def replaced_result_processor(engine, monkeypatch, caplog, request):
    seen = []
    cls = engine.dialect.execution_ctx_cls
    own = cls.get_result_processor
    monkeypatch.setattr(cls, "get_result_processor",
                        lambda self, *a: seen.append(a) or own(self, *a))
    return lambda: seen


GUARDS = {  # what trips it, and the path the call then takes
    "engine listener": (engine_listener, "connection"),
    "dialect listener": (dialect_listener, "connection"),
    "echo": (echo_on, "connection"),
    "engine logger at INFO": (logger_at_info, "connection"),
    "isolation-level option": (isolation_option, "connection"),
    "do_execute replaced after use": (replaced_do_execute, "connection"),
    "result processor replaced after use": (replaced_result_processor, "connection"),
    "Session listener": (session_listener, "session"),
    "patched sessionmaker": (patched_sessionmaker, "session"),
}


GUARDED_CALLS = {
    "select_list": lambda gw, n: gw.select_list(*prepared(
        "SELECT name FROM users WHERE age < #{a} ORDER BY id", a=25)),
    "page": CALLS["page"],
}


@pytest.mark.parametrize("called", GUARDED_CALLS)
@pytest.mark.parametrize("guard", GUARDS)
def test_each_guard_takes_the_full_path(gw, users, monkeypatch, caplog, request, guard, called):
    call = lambda: GUARDED_CALLS[called](gw, 0)  # noqa: E731
    expected, took = on_path(call)
    assert took == "driver"
    trip, path = GUARDS[guard]
    observed = trip(users, monkeypatch, caplog, request)
    assert on_path(call) == (expected, path)
    seen = observed()
    assert seen, guard  # the observer saw the call
    if guard in ("echo", "engine logger at INFO"):
        assert seen[0] == "BEGIN (implicit)" and seen[-1] == "COMMIT"
    assert users.pool.checkedout() == 0


def test_a_page_with_a_replaced_text_leaves_the_driver(gw, users, monkeypatch):
    call = lambda: CALLS["page"](gw, 0)  # noqa: E731
    expected, took = on_path(call)
    assert took == "driver"
    made = []
    monkeypatch.setattr(query_runner, "text", lambda sql: made.append(sql) or text(sql))
    assert on_path(call) == (expected, "connection")
    assert len(made) == 2 and made[0].lower().startswith("select count(*)")
    assert users.pool.checkedout() == 0


def test_an_overridden_scope_and_a_borrowed_session_keep_theirs(users):
    class Runner(QueryRunner):
        def get_session(self, session=None):
            return super().get_session(session)

    clause = prepared("SELECT 1 AS one")[0]
    call = lambda runner, con=None: runner.select_list(clause, con=con)  # noqa: E731
    before = probe.path_counts()
    assert call(Runner(users)) == [{"one": 1}]
    with Session(users) as s:
        assert call(QueryRunner(users), s) == [{"one": 1}]
    assert probe.path_counts() == before  # neither is owned by the runner's own scope


def test_the_registrys_sqlite_engines_keep_the_driver_path(wisp_registry, tmp_path):
    w = wisp_registry
    w.WispConfig(w.DBConfig("s", s={"db_type": "sqlite", "sqlite_path": str(tmp_path / "s.db")}))
    engine = w.BaseMapper.datasource["s"]["db"]

    @w.insert("INSERT INTO t (v) VALUES (#{v})")
    def add(v): ...

    @w.select_list("SELECT v FROM t ORDER BY v")
    def values() -> list[int]: ...

    with engine.begin() as c:
        c.execute(text("CREATE TABLE t (v INTEGER UNIQUE)"))
    assert on_path(lambda: add(1)) == (1, "driver")  # its own BEGIN listener is not an observer
    with pytest.raises(IntegrityError):
        with w.transaction():
            add(2)
            with pytest.raises(IntegrityError):
                with w.transaction(savepoint=True):
                    add(3)
                    add(1)
            add(1)
    assert values() == [1]
    event.listen(engine, "begin", lambda conn: None)  # another listener is
    assert on_path(lambda: add(4))[1] == "connection" and values() == [1, 4]


# --- BaseMapper and the decorators: what they keep -----------------------------------------


def test_basemapper_insert_is_the_same_on_the_connection(w, monkeypatch, request):
    m = mapper_for(w, User)
    keys = {}
    for path in ("connection", "session"):
        with monkeypatch.context() as mp:
            if path == "session":
                mp.setattr(query_runner, "sessionmaker", lambda **kw: sessionmaker(**kw))
            keys[path] = on_path(lambda: m.insert({"name": "n-" + path}))
        assert keys[path][1] == path
    rows = w.rows("SELECT id, name, age FROM users WHERE name LIKE 'n-%' ORDER BY id")
    assert rows == [(keys["connection"][0], "n-connection", 0), (keys["session"][0], "n-session", 0)]
    fn = lambda session, *a: None  # noqa: E731
    event.listen(Session, "after_begin", fn)
    request.addfinalizer(lambda: event.remove(Session, "after_begin", fn))
    assert on_path(lambda: m.insert({"name": "n-observed"}))[1] == "session"


@pytest.mark.parametrize("guard", [None, *GUARDS, "transaction", "SQL expression",
                                   "replaced insert_statement", WispDbGateway, QueryRunner])
def test_basemapper_insert_builds_its_statement_while_anything_could_tell(
        w, monkeypatch, caplog, request, guard):
    """Unobserved, the row is passed as parameters of the statement kept for the model;
    under each guard the statement is built with values(), and the row is the same."""
    from sqlalchemy import func
    from sqlalchemy.sql.dml import Insert

    engine, m, built = w.BaseMapper.datasource["main"]["db"], mapper_for(w, User), []
    real = Insert.values
    monkeypatch.setattr(Insert, "values", lambda self, *a, **kw: built.append(kw) or real(self, *a, **kw))
    row, observed = {"name": "g-x", "age": 5}, lambda: [True]
    if guard in GUARDS:
        observed = GUARDS[guard][0](engine, monkeypatch, caplog, request)
    elif guard == "SQL expression":
        row["name"] = func.lower("G-X")
    elif guard == "replaced insert_statement":
        monkeypatch.setattr(w, "insert_statement", insert_of)
    elif guard in (WispDbGateway, QueryRunner):  # a replaced insert_orm2 is called
        seen, own = [], guard.insert_orm2
        monkeypatch.setattr(guard, "insert_orm2",
                            lambda self, *a, **kw: seen.append(a) or own(self, *a, **kw))
        observed = lambda: seen  # noqa: E731
    with w.transaction() if guard == "transaction" else contextlib.nullcontext():
        key = m.insert(row)
    assert w.rows(f"SELECT id, name, age FROM users WHERE id = {int(key)}") == [(key, "g-x", 5)]
    assert bool(built) == (guard is not None) and observed(), guard
    assert engine.pool.checkedout() == 0
    if guard is None:  # a key that names no column is refused as values() refuses it
        with pytest.raises(CompileError, match="Unconsumed column names: nick"):
            m.insert({"name": "g-y", "nick": "y"})


class Kinds(DeclarativeBase):
    pass


class Animal(Kinds):  # one table for the hierarchy: the ORM writes the kind
    __tablename__ = "animals"
    id: Mapped[int] = mapped_column(primary_key=True)
    kind: Mapped[str] = mapped_column(String(10))
    name: Mapped[str] = mapped_column(String(20))
    __mapper_args__ = {"polymorphic_on": kind, "polymorphic_identity": "animal"}


class Cat(Animal):
    __mapper_args__ = {"polymorphic_identity": "cat"}


@pytest.mark.parametrize("model", [Animal, Cat])
def test_a_model_in_a_hierarchy_keeps_values(w, monkeypatch, model):
    from sqlalchemy.sql.dml import Insert

    Kinds.metadata.create_all(w.BaseMapper.datasource["main"]["db"])
    built, real = [], Insert.values
    monkeypatch.setattr(Insert, "values", lambda self, *a, **kw: built.append(kw) or real(self, *a, **kw))
    key = mapper_for(w, model).insert({"name": "tom", "kind": model.__name__.lower()})
    assert built and w.rows(f"SELECT kind, name FROM animals WHERE id = {int(key)}") == [
        (model.__name__.lower(), "tom")]


def test_kept_statements_and_decisions_give_way_to_replacements(w, monkeypatch):
    from sqlalchemy import select

    m = mapper_for(w, User)
    both = select(User.id, User.name).order_by(User.id)
    assert m.select_all(both)[0] == (1, "u1") and m.insert({"name": "k1"})
    made = []
    monkeypatch.setattr(w, "insert_statement", lambda model: made.append(model) or insert_of(model))
    m.insert({"name": "k2"})
    m.insert({"name": "k3"})
    assert made == [User, User]  # a replaced constructor is called every time
    type(m)._use_orm2 = lambda self, statement: True  # an override is asked every time
    assert m.select_all(both)[:2] == [1, 2]


def insert_of(model):
    from sqlalchemy import insert

    return insert(model)


def test_decorators_and_mapped_methods_ask_replaced_typing_helpers_again(w, monkeypatch):
    class UserMapper(w.BaseMapper[User]):
        def by_name(self, name) -> Optional[list[dict[str, int]]]: ...

        def by_age(self, age) -> w.PageResult[dict]: ...

    @w.select_list("SELECT id, name, age FROM users WHERE age >= #{age} ORDER BY id")
    def older(age) -> list[Person]: ...

    @w.select_one("SELECT name FROM users WHERE age = #{age}")
    def name_of(age) -> str: ...

    mapper = UserMapper()
    expected = [Person(4, "u4", 40), Person(5, "u5", 50)]
    def calls():
        assert older(40) == expected and name_of(20) == "u2"
        assert mapper.by_name("u4") == [{"name": "u4", "age": 40}] and mapper.by_name("-") == []
        assert mapper.by_age(40) == {"list": [{"name": "u4"}, {"name": "u5"}], "total": 2,
                                     "pageNum": 1, "pageSize": 10}

    calls()
    calls()
    from wisp.utils import class_probe

    for module, name in ((w, "get_args"), (w, "get_base_type"), (class_probe, "get_origin"),
                         (w, "get_origin"), (w, "List")):
        real, seen = getattr(module, name), []
        if name == "List":
            class Seen:
                def __getitem__(self, t, real=real, seen=seen):
                    return seen.append(t) or real[t]

            fake = Seen()
        else:
            fake = lambda t, real=real, seen=seen: seen.append(t) or real(t)  # noqa: E731
        with monkeypatch.context() as mp:
            mp.setattr(module, name, fake)
            calls()
        assert seen, name
        calls()  # and kept again once restored
    with monkeypatch.context() as mp:  # another PageResult: the annotation is no page then
        mp.setattr(w, "PageResult", type("PageResult", (), {}))
        assert mapper.by_age(40) == {"name": "u4"}  # a row
    calls()
    # Annotations replaced on the method are read afresh.
    monkeypatch.setitem(UserMapper.by_name.__annotations__, "return", w.PageResult[dict])
    assert mapper.by_name("-") == {"list": [], "total": 0, "pageNum": 1, "pageSize": 10}


def test_an_awaited_call_leaves_the_sync_calls_their_path(wisp_registry, tmp_path, arun):
    """The registry engine of a data source used from asyncio gets the package's own
    "engine_disposed" listener, which observes no statement."""
    w = wisp_registry
    w.WispConfig(w.DBConfig("s", s={"db_type": "sqlite", "sqlite_path": str(tmp_path / "s.db")}))
    engine = w.BaseMapper.datasource["s"]["db"]
    with engine.begin() as c:
        c.execute(text("CREATE TABLE t (v INTEGER)"))
        c.execute(text("INSERT INTO t (v) VALUES (1), (2)"))

    @w.select_list("SELECT v FROM t ORDER BY v")
    async def awaited() -> list[int]: ...

    @w.select_list("SELECT v FROM t ORDER BY v")
    def values() -> list[int]: ...

    assert arun(awaited()) == [1, 2] and len(engine.dispatch.engine_disposed) == 1
    assert on_path(values) == ([1, 2], "driver")
    event.listen(engine, "engine_disposed", lambda engine: None)  # another listener is an observer
    assert on_path(values) == ([1, 2], "connection")
