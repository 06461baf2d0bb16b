"""The async surface of wisp.wisp: the statement decorators, AsyncBaseMapper, transactions per
task and async sessions, awaited on asyncio drivers (aiosqlite, aiomysql, psycopg), on every
back end."""

import asyncio
import inspect
import sys
import time
import types

import pytest
from sqlalchemy import Integer, String, select, text
from sqlalchemy.orm import DeclarativeBase, Mapped, mapped_column

from conftest import make_users


class Base(DeclarativeBase):
    pass


class User(Base):
    __tablename__ = "users"
    id: Mapped[int] = mapped_column(Integer, primary_key=True)
    name: Mapped[str] = mapped_column(String(40))
    age: Mapped[int] = mapped_column(Integer, default=0)


MAPPER_XML = """<?xml version="1.0" encoding="UTF-8"?>
<mapper namespace="AsyncUserMapper">
  <select id="older" resultType="test_async.User">
    SELECT id, name, age FROM users WHERE age &gt;= #{age} ORDER BY id
  </select>
  <insert id="add_user">INSERT INTO users (name, age) VALUES (#{name}, #{age})</insert>
</mapper>
"""


def source_of(backend, path):
    if backend.kind == "sqlite":
        return {"db_type": "sqlite", "sqlite_path": path}
    return dict(backend.server.config)


@pytest.fixture
def wisp(arun, wisp_registry, backend, tmp_path):
    """wisp.wisp configured with "main" on the back end and "side" on an SQLite file, each with
    a `users` table of five rows (ages 10 to 50); the mapper namespace AsyncUserMapper."""
    (tmp_path / "mappers").mkdir()
    (tmp_path / "mappers" / "users.xml").write_text(MAPPER_XML)
    main = source_of(backend, str(tmp_path / "wisp.db"))
    side = {"db_type": "sqlite", "sqlite_path": str(tmp_path / "side.db")}
    wisp_registry.WispConfig(wisp_registry.DBConfig(
        primary="main", mapper_xml_path=str(tmp_path / "mappers"), main=main, side=side),
        quiet=True)
    for entry in wisp_registry.WispConfig.datasource.values():
        make_users(entry["db"])
    return wisp_registry


def names(wisp, source="main"):
    with wisp.WispConfig.datasource[source]["db"].connect() as c:
        return sorted(c.execute(text("SELECT name FROM users")).scalars())


async def async_pool(wisp, source="main"):
    """The pool of the data source's async engine: the gateway a transaction gives in an
    awaited call is the one over that engine's sync_engine."""
    async with wisp.transaction(source) as gateway:
        return gateway.data_source.pool


# --- the statement decorators ------------------------------------------------------------------

def make_decorated(w):
    @w.select_one("SELECT id, name, age FROM users WHERE name = #{name}")
    async def one_user(name: str) -> User | None: ...

    @w.select_one("SELECT age FROM users WHERE name = #{name}")
    async def one_age(name: str) -> int: ...

    @w.select_one("SELECT name, age FROM users WHERE name = #{name}")
    async def one_row(name: str) -> dict: ...

    @w.select_list("SELECT id, name, age FROM users WHERE age >= #{age} ORDER BY id")
    async def users_from(age: int) -> list[User]: ...

    @w.select_list("SELECT name FROM users WHERE age >= #{age} ORDER BY id")
    async def names_from(age: int) -> list[str]: ...

    @w.select_list("SELECT name FROM users ORDER BY id")
    async def wrong_shape() -> User: ...

    @w.select_page("SELECT id, name, age FROM users ORDER BY id")
    async def page_of(page: w.Page) -> list[User]: ...

    @w.insert("INSERT INTO users (name, age) VALUES (#{name}, #{age})")
    async def add(name: str, age: int): ...

    @w.update("UPDATE users SET age = #{age} WHERE age > #{over}")
    async def set_age(age: int, over: int): ...

    @w.delete("DELETE FROM users WHERE age < #{under}")
    async def remove(under: int): ...

    @w.insert_list("INSERT INTO users (name, age) VALUES (#{name}, #{age})")
    async def add_many(data: list): ...

    return locals()


CALLS = [
    ("one_user", ("u2",), lambda r: (type(r), r.name, r.age) == (User, "u2", 20)),
    ("one_user", ("nobody",), lambda r: r is None),
    ("one_age", ("u3",), lambda r: r == 30),
    ("one_row", ("u4",), lambda r: r == {"name": "u4", "age": 40}),
    ("users_from", (40,), lambda r: [(type(u), u.name) for u in r] == [(User, "u4"), (User, "u5")]),
    ("names_from", (30,), lambda r: r == ["u3", "u4", "u5"]),
    ("page_of", (None,), lambda r: r["total"] == 5 and [u.name for u in r["list"]] == ["u3", "u4"]),
    ("set_age", (1, 25), lambda r: r == 3),
    ("remove", (25,), lambda r: r == 2),
    ("add_many", ([{"name": "x", "age": 1}, {"name": "y", "age": 2}],), lambda r: True),
]


@pytest.mark.parametrize("name, args, good", CALLS, ids=[f"{c[0]}-{i}" for i, c in enumerate(CALLS)])
def test_each_decorator_awaited_with_its_result_shape(wisp, arun, name, args, good):
    fns = make_decorated(wisp)
    fn = fns[name]
    assert inspect.iscoroutinefunction(fn) and fn.__name__ == name and fn.__wrapped__
    if name == "page_of":
        args = (wisp.Page(2, 2),)
    assert good(arun(fn(*args)))


def test_decorated_writes_and_refusals_are_the_sync_ones(wisp, arun):
    fns = make_decorated(wisp)
    arun(fns["add"]("new", 7))
    assert "new" in names(wisp)
    with pytest.raises(TypeError, match="please check return type: "):
        arun(fns["wrong_shape"]())
    with pytest.raises(TypeError, match="missing a required argument: 'name'"):
        arun(fns["one_user"]())
    with pytest.raises(TypeError, match="unexpected keyword argument 'nope'"):
        arun(fns["one_user"]("u1", nope=1))


# --- AsyncBaseMapper ---------------------------------------------------------------------------

def mapper_class(w):
    class AsyncUserMapper(w.AsyncBaseMapper[User]):
        async def older(self, age: int, page: w.Page = None) -> list[User]: ...

        async def add_user(self, name: str, age: int) -> int: ...

        async def missing(self) -> int: ...

    return AsyncUserMapper


def test_async_mapper_crud_paging_and_mapped_methods(wisp, arun):
    mapper = mapper_class(wisp)()
    assert inspect.iscoroutinefunction(mapper.select_by_id)
    assert inspect.signature(mapper.update_by_id) == inspect.signature(
        wisp.BaseMapper.update_by_id.__get__(mapper))

    async def crud():
        key = await mapper.insert({"name": "ann", "age": 33})
        found = await mapper.select_by_id(key)
        await mapper.update_by_id({"id": key, "age": 34})
        again = await mapper.select_one(select(User).where(User.name == "ann"))
        page = await mapper.select_page_by_orm(select(User).order_by(User.id), wisp.Page(2, 2))
        count = await mapper.delete_by_id(key)
        await mapper.save_batch([{"name": "b1", "age": 60}, {"name": "b2", "age": 70}])
        mapped = await mapper.older(60)
        mapped_page = await mapper.older(10, wisp.Page(1, 3))
        await mapper.add_user("c1", 80)
        rows = await mapper.select_all_by_sql("SELECT name FROM users WHERE age >= :a", {"a": 70})
        return found, again, page, count, mapped, mapped_page, rows

    found, again, page, count, mapped, mapped_page, rows = arun(crud())
    assert (found.name, found.age, again.age, count) == ("ann", 33, 34, 1)
    assert page["total"] == 6 and [u.name for u in page["list"]] == ["u3", "u4"]
    assert [u.name for u in mapped] == ["b1", "b2"]
    assert mapped_page["total"] == 7 and len(mapped_page["list"]) == 3
    assert rows == [{"name": "b2"}, {"name": "c1"}]
    with pytest.raises(NotImplementedError, match="declared by its signature alone"):
        arun(mapper.missing())
    with pytest.raises(TypeError, match="Argument 'data' has incorrect type"):
        arun(mapper.update_by_id([1]))


def plain_def_mapper(w):
    class AsyncUserMapper(w.AsyncBaseMapper[User]):  # `async` forgotten on four of them
        def older(self, age: int) -> list[User]: ...

        def add_user(self, name: str, age: int) -> int:
            """Declared only."""

        def missing(self) -> int:
            pass

        @classmethod
        def older_cls(cls, age: int): ...

        def real(self, age: int) -> int:
            return age + 1

        def shout(self, word: str) -> str:
            return word.upper()

    return AsyncUserMapper


PLAIN_DEFS = [
    ("older", (10,), TypeError, "AsyncUserMapper.older is declared by its signature alone with "
     "a plain def, so the mapper statement 'older' of namespace 'AsyncUserMapper' cannot be "
     "awaited through it: declare it async def"),
    ("add_user", ("plain", 1), TypeError, "the mapper statement 'add_user' "),
    ("missing", (), NotImplementedError, "AsyncUserMapper.missing is declared by its signature "
     "alone, but the mapper namespace 'AsyncUserMapper' has no statement with the id 'missing'; "
     "an AsyncBaseMapper method declared by its signature alone must be declared async def"),
    ("older_cls", (10,), NotImplementedError, "no statement with the id 'older_cls'; "),
]


@pytest.mark.parametrize("backend", ["sqlite"], indirect=True)
@pytest.mark.parametrize("name, args, exc, message", PLAIN_DEFS, ids=[c[0] for c in PLAIN_DEFS])
def test_async_mapper_plain_def_by_signature_alone_fails_loudly(wisp, name, args, exc, message):
    mapper = plain_def_mapper(wisp)()
    method = getattr(mapper, name)
    assert method.__name__ == name and not inspect.iscoroutinefunction(method)
    assert getattr(mapper, name) is method  # made once per instance
    before = names(wisp)
    with pytest.raises(exc) as info:
        method(*args)
    assert type(info.value) is exc and message in str(info.value)
    assert names(wisp) == before  # no statement ran
    # a real body runs as written
    assert (mapper.real(41), mapper.shout("a"), inspect.ismethod(mapper.real)) == (42, "A", True)


def test_async_mapper_switch_and_session_blocks(wisp, arun):
    cls = mapper_class(wisp)
    mapper = cls()

    async def blocks():
        async with cls.switch_datasource("side"):
            await mapper.insert({"name": "on-side", "age": 1})
        with pytest.raises(ValueError):
            async with cls.switch_datasource("side"):
                await mapper.insert({"name": "rolled", "age": 1})
                raise ValueError
        async with cls.db_session("side") as session:
            return (await session.execute(select(User.name).where(User.age == 1))).scalars().all()

    assert arun(blocks()) == ["on-side"]
    assert "rolled" not in names(wisp, "side") and "on-side" not in names(wisp)


# --- transactions per task ---------------------------------------------------------------------

def test_nested_transactions_and_savepoints_per_task(wisp, arun):
    fns = make_decorated(wisp)
    add = fns["add"]
    started = asyncio.Event()

    async def keeps_outer():
        async with wisp.transaction("main"):
            await add("a-outer", 1)
            try:
                async with wisp.transaction("main", savepoint=True):
                    await add("a-inner", 1)
                    started.set()
                    await asyncio.sleep(0.05)
                    raise KeyError
            except KeyError:
                pass
            await add("a-after", 1)

    async def fails_whole():
        await started.wait()
        with pytest.raises(RuntimeError):
            async with wisp.transaction("main"):
                await add("b-outer", 2)

                @wisp.transaction()
                async def inner():
                    await add("b-inner", 2)
                    raise RuntimeError

                await inner()

    async def both():
        await asyncio.gather(keeps_outer(), fails_whole())

    arun(both())
    assert [n for n in names(wisp) if n[1] == "-"] == ["a-after", "a-outer"]


def test_fifty_tasks_on_two_data_sources_half_failing(wisp, arun):
    fns = make_decorated(wisp)
    add = fns["add"]

    @wisp.datasource("side", transactional=True)
    class Side:  # every coroutine method: on "side", in a transaction
        async def add(self, i):
            await add(f"t{i}", i)
            await asyncio.sleep(0)
            if i % 2:
                raise ValueError(i)

    async def one(i):  # a transaction on each data source; an odd task fails in both
        async with wisp.transaction("main"):
            await add(f"t{i}", i)
            await Side().add(i)

    async def all_tasks():
        return await asyncio.gather(*(one(i) for i in range(50)), return_exceptions=True)

    results = arun(all_tasks())
    assert [type(r) for r in results[1::2]] == [ValueError] * 25 and results[::2] == [None] * 25
    committed = sorted(f"t{i}" for i in range(0, 50, 2))
    for source in ("main", "side"):
        assert [n for n in names(wisp, source) if n.startswith("t")] == committed


async def depth_in_new_block(wisp):
    async with wisp.transaction("main") as gateway:
        return gateway._tx_depth.get()


@pytest.mark.parametrize("how", ["cancel", "wait_for"])
def test_a_cancelled_task_leaves_no_row_and_its_connection(wisp, backend, arun, how):
    fns = make_decorated(wisp)
    add = fns["add"]
    inside = asyncio.Event()
    sleep_sql = {"sqlite": None, "mariadb": "SELECT SLEEP(2)", "postgresql": "SELECT pg_sleep(2)"}

    @wisp.select_one(sleep_sql[backend.kind] or "SELECT 1")
    async def slow() -> int: ...

    @wisp.transaction("main")
    async def in_transaction():
        await add("cancelled", 1)
        inside.set()
        if sleep_sql[backend.kind]:
            await slow()  # cancelled in the middle of the statement
        await asyncio.sleep(5)

    async def work():
        try:
            await in_transaction()
        finally:  # the cancelled task's own context: no level left open
            depths.append(await depth_in_new_block(wisp))

    depths = []

    async def scenario():
        await slow()
        before = (await async_pool(wisp)).checkedout()
        if how == "cancel":
            task = asyncio.create_task(work())
            await inside.wait()
            await asyncio.sleep(0.2)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
        else:
            with pytest.raises(asyncio.TimeoutError):
                await asyncio.wait_for(work(), 0.3)
        await asyncio.sleep(0.05)
        return before, (await async_pool(wisp)).checkedout(), await depth_in_new_block(wisp)

    before, after, depth = arun(scenario())
    assert after == before and depth == 1 and depths == [1]
    assert "cancelled" not in names(wisp)


@pytest.mark.mariadb
def test_a_slow_statement_does_not_block_the_loop(wisp, backend, arun):
    if backend.kind != "mariadb":
        pytest.skip("SELECT SLEEP is MariaDB's")

    @wisp.select_one("SELECT SLEEP(0.5)")
    async def sleep() -> int: ...

    async def ticks():
        lags, last = [], time.perf_counter()
        for _ in range(40):
            await asyncio.sleep(0.01)
            now = time.perf_counter()
            lags.append(now - last - 0.01)
            last = now
        return max(lags)

    async def both():
        await sleep()  # connects first: only the statement is measured
        return (await asyncio.gather(sleep(), ticks()))[1]

    assert arun(both()) < 0.05


# --- what stays as it was ----------------------------------------------------------------------

def test_sync_calls_in_an_awaited_transaction_use_the_sync_engine(wisp, arun):
    @wisp.select_list("SELECT name FROM users WHERE name = 'in-tx'")
    def sync_names() -> list[str]: ...

    fns = make_decorated(wisp)

    @wisp.transaction("main")
    async def work():
        await fns["add"]("in-tx", 1)
        return sync_names()  # the sync gateway: not inside the async transaction

    assert arun(work()) == []
    assert "in-tx" in names(wisp)


def _plain():
    return 1


async def _coro():
    return 1


def _replace_inspect(wisp, monkeypatch, answer):
    monkeypatch.setattr(wisp, "inspect", types.SimpleNamespace(
        iscoroutinefunction=answer, isasyncgenfunction=inspect.isasyncgenfunction))


@pytest.mark.parametrize("replace", [
    _replace_inspect,
    lambda wisp, monkeypatch, answer: monkeypatch.setattr(inspect, "iscoroutinefunction", answer),
], ids=["module-global", "inspect-function"])
@pytest.mark.parametrize("decorate", [lambda w: w.datasource("main"), lambda w: w.transaction("main")],
                         ids=["datasource", "transaction"])
def test_a_replaced_inspect_decides_what_is_awaited(wisp_registry, monkeypatch, replace, decorate):
    """The code's own flag stands in for inspect.iscoroutinefunction only while the module's
    `inspect` and its function are the originals: a replaced one is asked instead."""
    real = inspect.iscoroutinefunction
    replace(wisp_registry, monkeypatch, lambda fn: fn is _plain)  # the opposite of the truth
    made = [decorate(wisp_registry)(fn) for fn in (_plain, _coro)]
    monkeypatch.undo()
    assert [real(m) for m in made] == [True, False]


@pytest.mark.skipif(not hasattr(inspect, "markcoroutinefunction"), reason="Python 3.12 on")
def test_a_function_marked_as_coroutine_function_gets_an_awaited_wrapper(wisp_registry):
    def marked():
        return _coro()

    inspect.markcoroutinefunction(marked)
    assert inspect.iscoroutinefunction(wisp_registry.datasource("main")(marked))
    assert not inspect.iscoroutinefunction(wisp_registry.datasource("main")(_plain))


@pytest.mark.parametrize("missing", ["greenlet", "aiosqlite"])
def test_a_missing_async_package_names_the_extra(wisp, backend, arun, monkeypatch, missing):
    if backend.kind != "sqlite":
        pytest.skip("the SQLite driver")
    fns = make_decorated(wisp)
    monkeypatch.setitem(sys.modules, missing, None)
    with pytest.raises(ModuleNotFoundError, match=r"wisp\[async\]") as info:
        arun(fns["one_age"]("u1"))
    assert info.value.name == missing


def test_disposing_the_registry_engine_disposes_its_async_twin(wisp, arun):
    fns = make_decorated(wisp)

    async def use_then_dispose():
        await fns["one_age"]("u1")
        pool = await async_pool(wisp)
        assert pool.checkedin() == 1
        wisp.WispConfig.datasource["main"]["db"].dispose()  # from a coroutine: a task
        await asyncio.sleep(0.05)
        return pool.checkedin(), await async_pool(wisp) is not pool

    assert arun(use_then_dispose()) == (0, True)



def test_each_event_loop_gets_connections_of_its_own(wisp):
    from sqlalchemy.util import greenlet_spawn

    one_age = make_decorated(wisp)["one_age"]

    async def once():  # the loop's connections are closed in it before it ends
        try:
            return await one_age("u2")
        finally:
            await greenlet_spawn(wisp.WispConfig.datasource["main"]["db"].dispose)

    assert [asyncio.run(once()) for _ in range(2)] == [20, 20]
