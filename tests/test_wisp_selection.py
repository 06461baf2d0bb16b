"""wisp.wisp data-source selection: switch_datasource, the datasource decorator (functions and
classes, transactions on SQLite and MariaDB), db_session, and isolation between contexts."""

import abc
import asyncio
import contextlib
import threading

import pytest
from pydantic import BaseModel
from sqlalchemy import text

import memcheck
from conftest import make_engine
from mapper_models import main_source, sqlite

INSERT = text("INSERT INTO users (name, age) VALUES (:name, :age)")
COUNT = text("SELECT COUNT(*) FROM users")


class StrSub(str):
    pass


@pytest.fixture
def w(wisp_registry, tmp_path):
    """Two SQLite file data sources, "a" (primary) and "b"."""
    wisp_registry.WispConfig(
        wisp_registry.DBConfig("a", a=sqlite(tmp_path / "a.db"), b=sqlite(tmp_path / "b.db")))
    return wisp_registry


@pytest.fixture
def db(wisp_registry, backend, users, tmp_path):
    """The backend's database as data source "main" (primary), an SQLite file as "other", and a
    count of users read through a connection of its own."""
    w = wisp_registry
    w.WispConfig(w.DBConfig("main", main=main_source(backend), other=sqlite(tmp_path / "other.db")))
    probe = make_engine(backend.url)

    def count():
        with probe.connect() as c:
            return c.execute(COUNT).scalar()

    w.count = count
    yield w
    del w.count
    probe.dispose()


def lines(capsys):
    return capsys.readouterr().out.splitlines()


@pytest.mark.parametrize("selected", [None, ""])
def test_current_db_falls_back_to_primary(w, selected):
    w.datasource_context.set(selected)
    assert w.get_current_db() == "a"
    with w.switch_datasource("b") as name:
        assert name == w.get_current_db() == "b"
    assert w.datasource_context.get() == selected


@pytest.mark.parametrize("raw_sql", [True, False])
@pytest.mark.parametrize("how", ["with", "decorated", "patched switch"])
def test_nested_switches_trace_and_refusal(w, capsys, monkeypatch, raw_sql, how):
    w.BaseMapper.raw_sql = raw_sql
    if how == "patched switch":  # wrappers must enter whatever the module holds
        original = w.switch_datasource
        monkeypatch.setattr(w, "switch_datasource", lambda db: original(db))

    def run(name, body):
        if how == "with":
            with w.switch_datasource(name):
                return body()
        return w.datasource(name)(body)()

    def inner_b():
        assert w.get_current_db() == "b"

    def refused():
        raise AssertionError("entered")

    def outer_a():
        run("b", inner_b)
        assert w.get_current_db() == "a"
        with pytest.raises(ValueError) as refusal:
            run("zz", refused)
        assert str(refusal.value) == "Unknown data source"
        assert w.get_current_db() == "a"
        return "done"

    assert run("a", outer_a) == "done"
    assert w.datasource_context.get() is None
    expected = ["None -> a", "a -> b", "b -> a", "a -> a", "a -> None"] if raw_sql else []
    assert lines(capsys) == ["change_datasource: " + e for e in expected]


@pytest.mark.parametrize("call, message", [
    (lambda w: w.switch_datasource(5), "Argument 'db' has incorrect type (expected str, got int)"),
    (lambda w: w.switch_datasource(StrSub("a")),
     "Argument 'db' has incorrect type (expected str, got StrSub)"),
    (lambda w: w.datasource(None), "Argument 'datasource_name' has incorrect type"),
    (lambda w: w.datasource("a")(abc.ABC), "Argument 'cls' has incorrect type (expected type"),
    (lambda w: w.datasource("a")(type("M", (BaseModel,), {"__module__": __name__})),
     "Argument 'cls' has incorrect type (expected type"),
    (lambda w: w.db_session(1), "Argument 'datasource_name' has incorrect type"),
])
def test_argument_types_refused_at_the_call(w, call, message):
    with pytest.raises(TypeError) as info:
        call(w)
    assert str(info.value).startswith(message)


def test_unconfigured_registry_and_no_primary(w, monkeypatch):
    monkeypatch.setattr(w.BaseMapper, "default_key", None)
    with pytest.raises(KeyError) as info:
        with w.db_session():
            pass
    assert info.value.args == (None,)
    monkeypatch.setattr(w.BaseMapper, "default_key", 7)
    with pytest.raises(TypeError, match="^Expected str, got int$"):
        with w.db_session():
            pass
    monkeypatch.setattr(w.BaseMapper, "datasource", None)
    with pytest.raises(TypeError, match="NoneType"):
        with w.switch_datasource("a"):
            pass
    assert w.datasource_context.get() is None


@pytest.mark.parametrize("exc", [ValueError("boom"), KeyboardInterrupt()])
def test_decorated_function_surface_and_exceptions(w, exc):
    def job(x: int, *, y="d") -> str:
        """job doc"""
        if x < 0:
            raise exc
        return f"{w.get_current_db()}:{x}:{y}"

    wrapped = w.datasource("b")(job)
    assert (wrapped.__name__, wrapped.__qualname__, wrapped.__doc__, wrapped.__wrapped__) == (
        "job", job.__qualname__, "job doc", job)
    assert wrapped._datasource_decorated is True and wrapped.__annotations__ == job.__annotations__
    assert wrapped(1, y="k") == "b:1:k"
    with w.switch_datasource("a"):
        with pytest.raises(type(exc)) as info:
            wrapped(-1)
        assert info.value is exc and w.get_current_db() == "a"
    assert w.datasource_context.get() is None
    assert not hasattr(w._create_wrapped_method(job, "b", False), "_datasource_decorated")
    assert w.datasource("b").__qualname__ == "datasource.<locals>.decorator"


def test_selection_is_per_thread_and_per_task(w):
    barrier, seen = threading.Barrier(2), {}

    def in_thread(name):
        with w.switch_datasource(name):
            barrier.wait()
            seen[name] = w.get_current_db()
            barrier.wait()

    threads = [threading.Thread(target=in_thread, args=(n,)) for n in ("a", "b")]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert seen == {"a": "a", "b": "b"}

    async def task(name):
        with w.switch_datasource(name):
            await asyncio.sleep(0)
            first = w.get_current_db()
            await asyncio.sleep(0)
            return first, w.get_current_db()

    async def both():
        with w.switch_datasource("a"):
            return await asyncio.gather(task("b"), task("a")), w.get_current_db()

    assert asyncio.run(both()) == ([("b", "b"), ("a", "a")], "a")


def test_decorated_class_methods(w):
    @w.datasource("b")
    class Service:
        label = "x"

        def __init__(self, early=False):
            if early:
                self.current()

        def current(self):
            return w.get_current_db()

        def _private(self):
            return w.get_current_db()

        @w.datasource("a")
        def own(self):
            return w.get_current_db()

    s = Service()
    assert (s.current(), s._private(), s.own(), s.label) == ("b", "b", "a", "x")
    assert s.current.__wrapped__ == s.__class__.current.__get__(s)
    assert s.__repr__() == object.__repr__(s) and not hasattr(s.__repr__, "__wrapped__")
    assert (s._datasource_name, s._transactional) == ("b", False)
    with pytest.raises(AttributeError, match="_datasource_name"):
        Service(early=True)


# An interrupt ends the transaction too: left open, it would swallow every later commit.
@pytest.mark.parametrize("error", [None, RuntimeError("stop"), KeyboardInterrupt(), SystemExit(2)])
def test_transactional_class_on_a_real_database(db, error):
    gateway = db.BaseMapper.datasource["main"]["db_gateway"]
    seen_inside = []
    fail = error is not None

    @db.datasource("main", transactional=True)
    class Users:
        def add(self, name):
            gateway.insert(INSERT, {"name": name, "age": 1})
            seen_inside.append((db.count(), gateway._tx_depth.get(), db.get_current_db()))
            if self.fail:
                raise error
            return name

        @db.datasource("other")
        def outside(self):
            return gateway._tx_depth.get(), db.get_current_db()

    users = Users()
    users.fail = fail
    if fail:
        with pytest.raises(type(error)) as info:
            users.add("new")
        assert info.value is error
    else:
        assert users.add("new") == "new"
    assert seen_inside == [(5, 1, "main")] and db.count() == (5 if fail else 6)
    assert users.outside() == (0, "other") and gateway._tx_depth.get() == 0
    users.fail = False
    assert users.add("again") == "again" and db.count() == (6 if fail else 7)


@pytest.mark.parametrize("fail", [False, True])
def test_db_session_commits_or_rolls_back_and_returns_the_connection(db, fail):
    engine = db.BaseMapper.datasource["main"]["db"]
    error = LookupError("stop")
    with db.switch_datasource("other"):
        with contextlib.suppress(LookupError):
            with db.db_session("main") as session:
                session.execute(INSERT, {"name": "new", "age": 2})
                assert db.get_current_db() == "other"
                if fail:
                    raise error
        assert db.count() == (5 if fail else 6)
    assert engine.pool.checkedout() == 0


def test_memory_flat_over_configuration_switches_and_calls(wisp_registry, tmp_path):
    w = wisp_registry
    records = {n: sqlite(tmp_path / f"{n}.db") for n in ("a", "b")}

    @w.datasource("b")
    def job(x):
        return x

    def configure():
        for _ in range(100):
            w.WispConfig(w.DBConfig("a", **records))
            for name in list(w.WispConfig.datasource):
                w.WispConfig.datasource[name]["db"].dispose()
                w.WispConfig.remove_datasource(name)
            w.WispConfig._instance, w.WispConfig._initialized = None, False

    def switch_and_call():
        for i in range(50_000):
            with w.switch_datasource("a"):
                job(i)
            with contextlib.suppress(ValueError):
                with w.switch_datasource("zz"):
                    pass

    with contextlib.redirect_stdout(None):
        configure()
        memcheck.assert_flat(configure, what="configuring data sources")
    w.WispConfig(w.DBConfig("a", **records))
    switch_and_call()
    memcheck.assert_flat(switch_and_call, what="switches and decorated calls")
