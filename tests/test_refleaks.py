"""Reference-leak loop over the public functions of every module: representative
calls, failing ones included, repeated until the interpreter's counters settle
(see refleak.py). A module that is not built is skipped.

To cover a module, add a builder to MODULES: it gets a scratch folder and an
SQLite engine with a `users` table, and returns (name, call) pairs."""

import asyncio
import ctypes
import gc
import inspect
import itertools
import pathlib
import traceback

import pytest
import sqlalchemy
import sqlalchemy.pool
from sqlalchemy import select, text
from sqlalchemy.orm import Session

import refleak
import test_leaks
from test_db_gateway import MAPPER_XML, Base, UserDC, UserPD
from test_db_gateway import UserORM as User

MAPPERS = pathlib.Path(__file__).parent / "mappers"


def ok(func, *args, **kwargs):
    return lambda: func(*args, **kwargs)


def caught(error):
    """Drops what the frames of a caught error's traceback hold. SQLAlchemy
    raises the error it wraps a driver's error in from a frame that keeps both
    in its variables: the error, its traceback and all those frames hold (the
    session, its connections) become a reference cycle, which only the
    collector frees, at a point that depends on how many calls ran. Sessions
    kept until then fill SQLAlchemy's registry of sessions to a size that
    depends on it too. Cleared, they go when the call ends, as they would
    without the cycle; what a call leaks stays leaked."""
    traceback.clear_frames(error.__traceback__)


def fails(exc, func, *args, **kwargs):
    def call():
        try:
            func(*args, **kwargs)
        except exc as error:
            caught(error)
            return
        raise AssertionError(f"{func.__qualname__}{args!r} did not raise {exc.__name__}")
    return call


def from_leak_cases(cases):
    """The (func, args, kwargs, exc) cases of the memory tests as calls."""
    return [(f"{func.__name__}{args!r}"[:80], ok(func, *args, **kwargs) if exc is None
             else fails(exc, func, *args, **kwargs)) for func, args, kwargs, exc in cases]


def user_mapper(tmp_path):
    from wisp.mapper.xml_reader import ParseMapper

    path = tmp_path / "user_mapper.xml"
    path.write_text(MAPPER_XML.format(module="test_db_gateway"), encoding="utf-8")
    return ParseMapper(str(path))


# --- the modules -------------------------------------------------------------------


def xml_reader_calls(tmp_path, engine):
    from wisp.mapper.xml_reader import ParseMapper

    render = str(MAPPERS / "render_mapper.xml")
    users = str(MAPPERS / "user_mapper.xml")
    mapper = ParseMapper(render)
    search = {"name": "n", "min_age": 1, "max_age": 9, "note": 1, "ids": [1, 2, 3],
              "order": "age", "with_age": 1}
    return [
        ("load", ok(ParseMapper, render)),
        ("load users", ok(ParseMapper, xml_path=users)),
        ("load malformed", fails(Exception, ParseMapper, str(MAPPERS / "malformed.xml"))),
        ("load missing", fails(OSError, ParseMapper, str(tmp_path / "absent.xml"))),
        ("load wrong type", fails(TypeError, ParseMapper, 5)),
        ("get_sql", ok(mapper.get_sql, "search", search)),
        ("get_sql empty", ok(mapper.get_sql, "search", {})),
        ("get_sql missing id", fails(Exception, mapper.get_sql, "no_such_id", {})),
        ("get_sql wrong type", fails(TypeError, mapper.get_sql, 5, {})),
        ("select", ok(mapper.select, "search", search)),
        ("update", ok(mapper.update, "update_user", {"id": 1, "name": "x", "age": 3})),
        ("insert", ok(mapper.insert, "add_note", {"name": "x"})),
        ("bad test", fails(KeyError, mapper.select, "bad_test", {})),
        ("bad refid", fails(Exception, mapper.select, "bad_refid", {})),
        ("not a list", fails(Exception, mapper.select, "not_list", {"ids": 5})),
        ("list_statement", ok(lambda: list(mapper.list_statement()))),
        ("to_prepared_statement", ok(ParseMapper.to_prepared_statement,
                                     "a = #{a} and b in #{b}", {"a": 1, "b": [1, 2]})),
        ("to_replace", ok(ParseMapper.to_replace, "select ${t}", {"t": "users"})),
        ("_format_sql", ok(ParseMapper._format_sql, " select  1\n\t from  t ")),
        ("_trim_prefix", ok(ParseMapper._trim_prefix, "AND a = 1", {"AND", "OR"})),
        ("_trim_suffix", ok(ParseMapper._trim_suffix, "a = 1,", {","})),
    ] + mapper_language_calls(tmp_path)


SCOPES = """<mapper namespace="Scopes">
  <select id="rows"><bind name="p" value="'%' + params['q']"/>#{p}
    <foreach collection="rows" item="r" index="i" open="" separator="," close="">
      <if test="r['tags']">(#{i}, #{r.name}<foreach collection="r['tags']" item="t" open=""
        separator="" close="">, #{t}</foreach>)</if></foreach></select>
</mapper>"""


def mapper_language_calls(tmp_path):
    """foreach fields, index and nesting, bind; checking files and classes; the command."""
    import contextlib
    import io

    from wisp._command import main
    from wisp.mapper.xml_reader import ParseMapper, check_mappers

    path = tmp_path / "scopes.xml"
    path.write_text(SCOPES, encoding="utf-8")
    mapper = ParseMapper(str(path))
    anonymous = ParseMapper(str(MAPPERS / "anonymous_mapper.xml"))
    rows = {"q": "a", "rows": [{"name": "x", "tags": [1, 2]}, {"name": "y", "tags": [3]}]}

    class Scopes:
        def rows(self): ...

        def lost(self): ...

    class AsyncScopes(Scopes):  # checked as an async mapper: its plain defs are errors
        async def kept(self): ...

    def quiet(call):
        def run():
            with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
                call()
        return run

    return [
        ("foreach fields and bind", ok(mapper.select, "rows", rows)),
        ("missing field", fails(KeyError, mapper.select, "rows", {"q": "", "rows": [{"tags": [1]}]})),
        ("no namespace", fails(AttributeError, lambda: anonymous.namespace)),
        ("check files", ok(check_mappers, MAPPERS, str(path), mappers=[Scopes])),
        ("check async classes", ok(check_mappers, str(path), async_mappers=[AsyncScopes])),
        ("check refuses", fails(Exception, check_mappers, MAPPERS, on_error="raise")),
        ("command check", quiet(lambda: main(["check", str(MAPPERS)]))),
        ("command render", quiet(lambda: main(["render", str(path), "Scopes.rows", "--params",
                                               '{"q": "a", "rows": []}', "--page", "1,5"]))),
        ("command render unresolved", quiet(lambda: main(
            ["render", str(MAPPERS / "unknown_result.xml"), "Broken.rows"]))),
    ]


def query_runner_calls(tmp_path, engine):
    from wisp.db.query_runner import Page, PageInfo, QueryRunner, count_query, limit_query

    runner = QueryRunner(engine)
    names = (f"n{i}" for i in itertools.count())

    def insert_and_delete():
        new_id = runner.insert(text("INSERT INTO users (name, age) VALUES (:n, 1)"), None,
                               {"n": next(names)})
        runner.delete(text("DELETE FROM users WHERE id = :id"), None, {"id": new_id})

    def orm_add_and_delete():
        runner.add(User(name=next(names)))
        runner.delete_orm2(sqlalchemy.delete(User).where(User.age.is_(None)))

    def borrowed():
        with Session(engine) as s:
            runner.select_list(text("SELECT id FROM users"), s)
            runner.update(text("UPDATE users SET age = age WHERE id = 1"), s)
            s.rollback()

    def owned_session_fails():
        with runner.get_session() as s:
            s.execute(text("SELECT 1"))
            raise LookupError

    def borrowed_fails():
        with Session(engine) as s:
            runner.insert(text("INSERT INTO users (name) VALUES ('u1')"), s)

    page_sql = text("SELECT id, name FROM users WHERE age >= :a ORDER BY id")
    return [
        ("QueryRunner", ok(QueryRunner, engine)),
        ("Page", ok(Page, 1, 10)),
        ("Page wrong", fails(TypeError, Page, "x", 10)),
        ("PageInfo", ok(PageInfo, 10, 1, 0, [])),
        ("count_query", ok(count_query, text("SELECT a FROM t WHERE b = (SELECT 1 FROM u)"))),
        ("count_query wrong type", fails(Exception, count_query, "SELECT 1")),
        ("limit_query", ok(limit_query, text("SELECT a FROM t -- c"), Page(2, 5))),
        ("select_one", ok(runner.select_one, text("SELECT id, name FROM users WHERE id = :id"),
                          None, {"id": 1})),
        ("select_list", ok(runner.select_list, text("SELECT id, name, age FROM users"))),
        ("select_page", ok(runner.select_page, page_sql, Page(2, 2), None, {"a": 0})),
        ("insert and delete", insert_and_delete),
        ("update", ok(runner.update, text("UPDATE users SET age = age WHERE id = :id"), None,
                      {"id": 2})),
        ("insert_list", ok(runner.insert_list, text("INSERT INTO users (name) SELECT 'x' WHERE 0"),
                           None, [{}, {}])),
        ("orm reads", ok(lambda: (runner.select_one_orm2(select(User).where(User.id == 1)),
                                  runner.select_all_orm1(select(User.id, User.name)),
                                  runner.select_all_orm2(select(User.name)),
                                  runner.select_one_orm1(select(User.id).where(User.id == 2))))),
        ("orm add and delete", orm_add_and_delete),
        ("update_orm2", ok(runner.update_orm2, sqlalchemy.update(User).where(User.id == 1)
                           .values(age=10))),
        ("bulk_update_mappings", ok(runner.bulk_update_mappings, User, [{"id": 1, "age": 10}])),
        ("borrowed session", borrowed),
        ("owned session fails", fails(LookupError, owned_session_fails)),
        ("borrowed session fails", fails(sqlalchemy.exc.IntegrityError, borrowed_fails)),
        ("bad sql", fails(sqlalchemy.exc.OperationalError, runner.select_list,
                          text("SELECT nothing FROM nowhere"))),
        ("duplicate", fails(sqlalchemy.exc.IntegrityError, runner.insert,
                            text("INSERT INTO users (name) VALUES ('u1')"))),
    ] + driver_calls(runner, names)


def driver_calls(runner, names):
    """The runner's owned statements on the pool's driver connection: clauses of the shared
    clause cache, as mapped statements and the decorators give them."""
    from wisp.db.query_runner import Page
    from wisp.mapper.xml_reader import ParseMapper

    def cached(sql):
        return ParseMapper.to_prepared_statement(sql, {})[0]

    page_sql = cached("SELECT id, name FROM users WHERE age >= #{a} ORDER BY id")
    added = cached("INSERT INTO users (name, age) VALUES (#{n}, 1)")
    removed = cached("DELETE FROM users WHERE id = #{id}")

    def insert_and_delete():
        runner.delete(removed, None, {"id": runner.insert(added, None, {"n": next(names)})})

    return [
        ("driver select_one", ok(runner.select_one, cached("SELECT id FROM users WHERE id = #{i}"),
                                 None, {"i": 1})),
        ("driver select_list", ok(runner.select_list, cached("SELECT 1 AS a, 2 AS a"))),
        ("driver select_page", ok(runner.select_page, page_sql, Page(2, 2), None, {"a": 0})),
        ("driver insert and delete", insert_and_delete),
        ("driver duplicate", fails(sqlalchemy.exc.IntegrityError, runner.insert,
                                   cached("INSERT INTO users (name) VALUES ('u1')"))),
        ("driver no rows", fails(sqlalchemy.exc.ResourceClosedError, runner.select_list,
                                 cached("UPDATE users SET age = age WHERE id = 0"))),
        ("driver missing bind", fails(sqlalchemy.exc.StatementError, runner.select_list,
                                      cached("SELECT #{x} AS x"), None, {})),
    ]


def db_gateway_calls(tmp_path, engine):
    from wisp.db.db_gateway import WispDbGateway, results_handle
    from wisp.db.query_runner import Page

    mapper = user_mapper(tmp_path)
    gw = WispDbGateway({mapper.namespace: mapper}, engine)
    run = gw.execute_sql

    def nested_transactions():
        gw.begin_tx()
        gw.begin_tx()
        run("grow", "UserMapper", {"age": 1000})
        gw.commit()
        gw.rollback()
        gw.close()
        gw.close()

    def failure_in_transaction():
        gw.begin_tx()
        try:
            gw.insert(text("INSERT INTO users (name) VALUES ('u1')"), {})
        finally:
            gw.rollback()
            gw.close()

    def ori_session():
        gw.get_ori_session().close()

    return [
        ("WispDbGateway", ok(WispDbGateway, {mapper.namespace: mapper}, engine)),
        ("WispDbGateway wrong", fails(TypeError, WispDbGateway, [], engine)),
        ("execute_sql dataclasses", ok(run, "find", "UserMapper", {"min_age": 20}, None,
                                       list[UserDC])),
        ("execute_sql one", ok(run, "find", "UserMapper", {"min_age": None}, None, UserDC)),
        ("execute_sql page", ok(run, "find", "UserMapper", {}, Page(1, 2), list[UserDC])),
        ("execute_sql dicts", ok(run, "rows", "UserMapper", {"id": 3})),
        ("execute_sql values", ok(run, "ages", "UserMapper", {}, None, list[int])),
        ("execute_sql update", ok(run, "grow", "UserMapper", {"age": 1000})),
        ("execute_sql wrong result", fails(TypeError, run, "find", "UserMapper", {}, None,
                                           list[UserPD])),
        ("execute_sql missing id", fails(Exception, run, "nope", "UserMapper", {})),
        ("execute_sql no namespace", fails(Exception, run, "find", "Nowhere", {})),
        ("execute_sql wrong type", fails(TypeError, run, 5, "UserMapper", {})),
        ("nested transactions", nested_transactions),
        ("failure in transaction", fails(sqlalchemy.exc.IntegrityError, failure_in_transaction)),
        ("get_ori_session", ori_session),
        ("pass-through reads", ok(lambda: (gw.select_one(text("SELECT 1 AS one")),
                                           gw.select_list(text("SELECT id FROM users")),
                                           gw.select_page(text("SELECT id FROM users"), Page(1, 2)),
                                           gw.select_all_orm2(select(User.name))))),
        ("results_handle", ok(results_handle, [{"id": 1, "name": "a"}], UserDC, list[UserDC])),
        ("results_handle model", refleak.foreign(ok(results_handle, [{"id": 1, "name": "a"}],
                                                    UserPD, UserPD))),
        ("results_handle wrong", fails(TypeError, results_handle, [{"id": 1}], UserDC,
                                       list[UserPD])),
    ]


def probe_calls(tmp_path, engine):
    probe = pytest.importorskip("wisp._rt_probe", reason="runtime probe module not built")

    def generator(*throw):
        g = probe.count(0, 5)
        next(g)
        g.throw(*throw) if throw else (g.send(3), list(g))

    def context(exc=None):
        with probe.recorder([], "v"):
            if exc:
                raise exc

    class Sub(probe.Holder[int]):
        pass

    box = probe.Box(3)
    return [
        ("bind", ok(probe.bind, 1, 2, 3, c=1, d="s", z=0)),
        ("bind missing", fails(TypeError, probe.bind)),
        ("bind wrong type", fails(TypeError, probe.bind, 1, 2, d=5)),
        ("strict", ok(probe.strict, "s", {}, [], set(), int, None)),
        ("strict subclass", fails(TypeError, probe.strict, test_leaks.StrSub("s"), {}, [],
                                  set(), int, None)),
        ("echo_str wrong", fails(TypeError, probe.echo_str, 3)),
        ("closure", ok(lambda: probe.make_adder(1)(2))),
        ("closure wrong call", fails(TypeError, lambda: probe.make_adder(1)(1, 2))),
        ("signature", ok(lambda: (inspect.signature(probe.bind), probe.bind.__code__))),
        ("generator", generator),
        ("generator throw", fails(ValueError, lambda: generator(ValueError("x")))),
        ("generator throw 3", fails(ValueError,
                                    lambda: generator(ValueError, ValueError("x"), None))),
        ("generator dropped", ok(lambda: next(probe.count(0, 5)))),
        ("generator close", ok(lambda: probe.count(0, 3).close())),
        ("context", context),
        ("context fails", fails(KeyError, lambda: context(KeyError("x")))),
        ("context decorator", ok(lambda: probe.recorder([])(lambda: None)())),
        ("Box", ok(lambda: probe.Box(1).get())),
        ("Box missing", fails(AttributeError, lambda: probe.Box.get(object.__new__(probe.Box)))),
        ("Box method", ok(box.get)),
        ("Holder", ok(lambda: Sub().model())),
        ("Point", ok(lambda: (repr(probe.Point(1, 2)), probe.Point(3) == probe.Point(3, 0),
                              probe.Point(-3, 4).norm1()))),
    ]


def facade_calls(tmp_path, engine):
    # Calls that need no WispConfig: that one is built once per process, by
    # the facade's own tests. Extend with the data-source and mapper calls.
    wisp = pytest.importorskip("wisp.wisp", reason="facade module not built")
    sqlite = {"db_type": "sqlite", "sqlite_path": str(tmp_path / "facade.db")}
    return [
        ("DataSource", ok(lambda: repr(wisp.DataSource("sqlite", sqlite_path="x.db")))),
        ("DBConfig", ok(wisp.DBConfig, "main", None, False, main=sqlite)),
        ("DBConfig wrong", fails(TypeError, wisp.DBConfig, 5)),
        ("get_current_db", ok(wisp.get_current_db)),
        ("switch_datasource wrong", fails(TypeError, wisp.switch_datasource, 5)),
        ("result_type_handle", ok(wisp.result_type_handle, UserDC, {"id": 1, "name": "a"})),
        ("result_type_handle wrong", fails(TypeError, wisp.result_type_handle, UserDC, [])),
        ("select_list factory", ok(lambda: wisp.select_list("SELECT 1")(lambda: None))),
        ("select_one wrong", fails(TypeError, wisp.select_one, 5)),
    ] + mapper_calls(wisp, tmp_path, engine)


def mapper_calls(wisp, tmp_path, engine):
    """BaseMapper over a registry like the one WispConfig builds, installed for each call."""
    from wisp.db.db_gateway import WispDbGateway

    mappers = {"UserMapper": user_mapper(tmp_path)}
    registry = {"main": {"db": engine, "db_gateway": WispDbGateway(mappers, engine),
                         "mapper_dict": mappers}}
    base = wisp.BaseMapper

    class UserMapper(base[User]):
        def find(self, min_age, page: wisp.Page) -> list[UserDC]: ...

        def rows(self, id) -> dict | None: ...

        def ages(self, page: wisp.Page | None = None) -> wisp.PageResult[int]: ...

        def missing(self): ...

    mapper = UserMapper()

    def installed(call):
        def run():
            saved = base.datasource, base.default_key
            base.datasource, base.default_key = registry, "main"
            try:
                call()
            finally:
                base.datasource, base.default_key = saved
        return run

    def writes_in_a_failing_transaction():
        with UserMapper.switch_datasource("main"):
            new_id = mapper.insert({"name": "new", "age": 1})
            mapper.save_batch([{"name": "b1"}, User(name="b2")])
            loaded = mapper.select_by_id(str(new_id))
            mapper.delete_by_id(new_id)
            mapper.insert(loaded)  # written again under its own key
            mapper.update_by_id({"id": new_id, "age": None}, True)
            raise LookupError

    def savepoints_in_a_failing_transaction():
        with wisp.transaction("main"):
            mapper.insert({"name": "t1", "age": 1})
            try:
                with wisp.transaction(savepoint=True) as gateway:
                    gateway.insert(text("INSERT INTO users (name) VALUES ('t1')"), {})
            except sqlalchemy.exc.IntegrityError as error:
                caught(error)
            wisp.transaction(savepoint=True)(mapper.insert)({"name": "t2"})
            raise LookupError

    def async_user_mapper():
        class UserMapper(wisp.AsyncBaseMapper[User]):  # the namespace UserMapper, awaited
            async def find(self, min_age, page: wisp.Page) -> list[UserDC]: ...

            async def missing(self): ...

        return UserMapper()

    async_mapper = async_user_mapper()

    @wisp.select_list("SELECT name FROM users WHERE age >= #{age}")
    async def names_from(age: int) -> list[str]: ...

    async def awaited_calls():
        await async_mapper.find(20)
        await async_mapper.select_by_id(1)
        await names_from(age=10)
        async with wisp.transaction("main"):
            await async_mapper.insert({"name": "a1", "age": 1})
            async with wisp.async_db_session() as session:
                await session.execute(text("SELECT 1"))
            raise LookupError

    async def awaited_failures():
        with pytest.raises(NotImplementedError):
            await async_mapper.missing()
        with pytest.raises(TypeError):
            await names_from(bogus=1)
        names_from(age=1).close()  # never awaited
        raise LookupError

    def awaited(make):  # on one loop: its async engine, and aiosqlite's thread, made once
        return lambda: EVENT_LOOP.run(make())

    def installed_async(call):
        def run():
            saved = wisp.AsyncBaseMapper.datasource, wisp.AsyncBaseMapper.default_key
            wisp.AsyncBaseMapper.datasource, wisp.AsyncBaseMapper.default_key = registry, "main"
            try:
                call()
            finally:
                wisp.AsyncBaseMapper.datasource, wisp.AsyncBaseMapper.default_key = saved
        return installed(run)

    return [("awaited calls", installed_async(fails(LookupError, awaited(awaited_calls)))),
            ("awaited failures", installed_async(fails(LookupError, awaited(awaited_failures)))),
            ] + [(name, installed(call)) for name, call in [
        ("mapped method", ok(lambda: mapper.find(20))),
        ("savepoints", fails(LookupError, savepoints_in_a_failing_transaction)),
        ("mapped page", ok(lambda: mapper.find(page=wisp.Page(1, 2), min_age=0))),
        ("mapped left out", fails(TypeError, lambda: mapper.rows())),
        ("mapped surplus", fails(TypeError, lambda: mapper.rows(1, bogus=2))),
        ("mapped page result and optional", ok(lambda: (mapper.ages(), mapper.rows(2),
                                                        mapper.rows(0)))),
        ("no statement", fails(NotImplementedError, lambda: mapper.missing())),
        ("unknown data source", fails(ValueError, lambda: wisp.switch_datasource("x").__enter__())),
        ("new mapper", ok(lambda: (UserMapper().find, UserMapper().select_by_id(1)))),
        ("writes", fails(LookupError, writes_in_a_failing_transaction)),
        ("wrong argument", fails(TypeError, lambda: mapper.update_by_id([]))),
    ]]


MODULES = {
    "wisp.utils.class_probe": lambda *_: from_leak_cases(test_leaks.CLASS_PROBE_CASES),
    "wisp.utils.literal_tools": lambda *_: from_leak_cases(test_leaks.LITERAL_CASES),
    "wisp.utils.clause_edit": lambda *_: from_leak_cases(test_leaks.CLAUSE_CASES),
    "wisp.utils.eval_funcs": lambda *_: from_leak_cases(test_leaks.EVAL_CASES),
    "wisp.utils.arg_marks": lambda *_: from_leak_cases(test_leaks.ARG_MARKS_CASES),
    "wisp.mapper.xml_reader": xml_reader_calls,
    "wisp.db.query_runner": query_runner_calls,
    "wisp.db.db_gateway": db_gateway_calls,
    "wisp._rt_probe": probe_calls,
    "wisp.wisp": facade_calls,
}


# The loop the awaited calls of the loop run on, for the whole module.
EVENT_LOOP = asyncio.Runner()


@pytest.fixture(scope="module", autouse=True)
def event_loop_closed_at_the_end():
    yield
    EVENT_LOOP.close()


@pytest.fixture
def sqlite_users(tmp_path):
    # Without a pool: an SQLite connection keeps a weak reference to each of
    # its cursors and drops the dead ones only every few hundred, which would
    # look like a leak of a pooled connection's users.
    engine = sqlalchemy.create_engine("sqlite:///" + str(tmp_path / "refleak.db"),
                                      poolclass=sqlalchemy.pool.NullPool)
    Base.metadata.create_all(engine)
    with engine.begin() as c:
        c.execute(text("INSERT INTO users (name, age) VALUES (:name, :age)"),
                  [{"name": f"u{i}", "age": i * 10} for i in range(1, 6)])
    yield engine
    engine.dispose()


@pytest.mark.skipif(not refleak.counters(), reason="no counter to watch on this interpreter")
@pytest.mark.parametrize("module", list(MODULES))
def test_counters_settle(module, tmp_path, sqlite_users):
    pytest.importorskip(module, reason=f"{module} not built")
    pairs = MODULES[module](tmp_path, sqlite_users)
    refleak.check([call for _, call in pairs], [name for name, _ in pairs])


@pytest.mark.skipif(not refleak.counters(), reason="no counter to watch on this interpreter")
@pytest.mark.postgresql
@pytest.mark.parametrize("backend", ["postgresql"], indirect=True)
def test_counters_settle_on_postgresql(engine):
    """The paths only PostgreSQL takes: the key of an insert found after it (a value drawn from a
    sequence, none at all, a RETURNING row, a failed insert) and a page counted in its syntax.
    psycopg's compiled part counts its references past the debug interpreter's total."""
    from wisp.db.query_runner import Page, QueryRunner

    with engine.begin() as c:
        c.execute(text("CREATE TABLE serials (id SERIAL PRIMARY KEY, name TEXT)"))
        c.execute(text("CREATE TABLE uuids (id UUID PRIMARY KEY DEFAULT gen_random_uuid(), name TEXT)"))
    runner = QueryRunner(engine)
    pairs = [
        ("sequence key", ok(runner.insert, text("INSERT INTO serials (name) VALUES (:n)"), None,
                            {"n": "a"})),
        ("no key", ok(runner.insert, text("INSERT INTO uuids (name) VALUES ('a')"))),
        ("returned key", ok(runner.insert, text("INSERT INTO uuids (name) VALUES ('b') RETURNING id"))),
        ("refused insert", fails(sqlalchemy.exc.IntegrityError, runner.insert,
                                 text("INSERT INTO serials (id, name) VALUES (1, 'dup')"))),
        ("page", ok(runner.select_page, text("SELECT $$x$$ AS x, name FROM serials WHERE id > :i"
                                             " ORDER BY id"), Page(1, 2), None, {"i": 0})),
    ]
    refleak.check([refleak.foreign(call) for _, call in pairs], [name for name, _ in pairs])


LIBC = ctypes.CDLL(None)
LIBC.malloc.restype = ctypes.c_void_p
HELD = object()

# What a native function can leak per call, and the counter that must see it.
LEAKS = [
    ("an object", lambda held: held.append(object()), "references"),
    ("an object", lambda held: held.append(object()), "blocks"),
    ("a reference", lambda held: ctypes.pythonapi.Py_IncRef(ctypes.py_object(HELD)), "references"),
    ("C heap", lambda held: LIBC.malloc(32), "heap bytes"),
]


@pytest.mark.parametrize("what, leak, counter", LEAKS, ids=[f"{w}-{c}" for w, _, c in LEAKS])
def test_the_loop_catches_one_leak_per_call(what, leak, counter):
    if counter not in refleak.counters():
        pytest.skip(f"no {counter} counter on this interpreter")
    held = []
    calls = [ok(list), lambda: leak(held)]
    with pytest.raises(AssertionError, match=r"leaking on their own: leak: \{.*'%s'" % counter):
        refleak.check(calls, ["list", "leak"], warmup=1, rounds=2, max_warmup=2)


def raise_kept(error):
    kept = error  # the error, its traceback and this frame: a reference cycle
    raise kept


def test_frames_kept_by_garbage_are_no_growth():
    """A body whose error stays in a reference cycle after it returned, its own
    frame included, reads as a body that does nothing."""
    read = refleak.counters()
    if not read:
        pytest.skip("no counter to watch on this interpreter")

    def body():
        try:
            raise_kept(ValueError("kept"))
        except ValueError:
            pass

    enabled = gc.isenabled()
    gc.disable()  # so the cycle is still there when the body returns
    try:
        refleak.one_round(read, body)
        empty = refleak.one_round(read, lambda: None)
        kept = refleak.one_round(read, body)
    finally:
        if enabled:
            gc.enable()
    assert kept == empty


def test_a_failed_statement_leaves_no_garbage(sqlite_users):
    """What `fails` catches is gone with the call: a cycle left to the
    collector would be freed at a point that depends on the calls before."""
    query_runner = pytest.importorskip("wisp.db.query_runner", reason="query_runner not built")
    runner = query_runner.QueryRunner(sqlite_users)
    call = fails(sqlalchemy.exc.IntegrityError, runner.insert,
                 text("INSERT INTO users (name) VALUES ('u1')"))
    call()
    enabled = gc.isenabled()
    gc.collect()
    gc.disable()
    try:
        call()
        assert gc.collect() == 0
    finally:
        if enabled:
            gc.enable()
