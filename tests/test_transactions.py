"""Transactions that compose, on SQLite and MariaDB: an inner level that rolls back leaves the
whole transaction able only to roll back, `transaction(savepoint=True)` undoes a failing
block alone, and every context (thread, task) has levels of its own. Also what the SQLite
engines of the registry do to make savepoints work, and what they leave as it was."""

import asyncio
import contextlib
import logging
import threading

import pytest
from sqlalchemy import event, select, text
from sqlalchemy.exc import IntegrityError

from mapper_models import User, w  # noqa: F401  (w: "main" on the backend, "other" SQLite)
from wisp.db.db_gateway import TransactionRolledBackError

INNER = "the transaction was rolled back by an inner level; it must be ended with rollback()"


def gateway(w, name=None):
    return w.BaseMapper.datasource[name or w.get_current_db()]["db_gateway"]


def add(w, name, fail=False):
    """A row in the data source in force: names are unique, so adding one twice fails."""
    gateway(w).insert(text("INSERT INTO users (name) VALUES (:n)"), {"n": name})
    if fail:
        raise ValueError(name)


def added(w, source="main"):
    with w.BaseMapper.datasource[source]["db"].connect() as c:
        names = c.execute(text("SELECT name FROM users ORDER BY id")).scalars().all()
    return [n for n in names if n not in ("u1", "u2", "u3", "u4", "u5")]


def idle(w):
    for gw in (gateway(w, "main"), gateway(w, "other")):
        assert (gw._tx_depth.get(), gw._savepoints.get(), gw._WispDbGateway__con()) == (0, (), None)


def checkout(w, style, pay):
    """An order that books "a", then "b" (which fails, and is skipped), then pays."""
    def order(book):
        book(w, "a")
        with contextlib.suppress(ValueError):
            book(w, "b", fail=True)
        return pay(lambda name: book(w, name))

    if style == "class":
        @w.datasource("main", transactional=True)
        class Shop:
            def book(self, *args, **kwargs):
                return add(*args, **kwargs)

            def order(self):
                return order(self.book)

        return Shop().order()
    if style == "with":
        with w.BaseMapper.switch_datasource("main"):
            return order(lambda *args, **kwargs: w.transaction()(add)(*args, **kwargs))
    wrap = w.datasource("main", transactional=True) if style == "datasource" else w.transaction("main")
    return wrap(order)(wrap(add))


def book_then_fail(book):
    book("c")
    raise RuntimeError("payment failed")


@pytest.mark.parametrize("style", ["datasource", "transaction", "class", "with"])
@pytest.mark.parametrize("pay", [book_then_fail, lambda book: "paid"], ids=["raises", "returns"])
def test_an_inner_rollback_leaves_the_outer_only_a_rollback(w, style, pay):
    with pytest.raises(TransactionRolledBackError) as e:
        checkout(w, style, pay)
    assert str(e.value) == INNER and added(w) == []
    idle(w)
    w.transaction("main")(add)(w, "next")  # the context works again
    assert added(w) == ["next"]


def savepoint(w, body, fails=None):
    """`with transaction(savepoint=True): body()`, whose exception (of type `fails`) is caught."""
    with pytest.raises(fails) if fails else contextlib.nullcontext(), w.transaction(savepoint=True):
        body()


def swallowed_statement(w):  # caught inside the block: its further statements are refused
    add(w, "x")
    with contextlib.suppress(IntegrityError):
        add(w, "a")
    add(w, "y")


def swallowed_inner_level(w):  # the block's end is refused
    add(w, "x")
    with contextlib.suppress(ValueError):
        w.datasource("main", transactional=True)(add)(w, "v", fail=True)


def three_deep(w):
    add(w, "b")
    savepoint(w, lambda: (add(w, "c"), savepoint(w, lambda: add(w, "x", fail=True), ValueError)))
    savepoint(w, lambda: (savepoint(w, lambda: add(w, "y")), add(w, "y2", fail=True)), ValueError)


SCENARIOS = {  # each runs inside `with transaction("main")` between add(w, "a") and add(w, "z")
    "fails": (lambda w: savepoint(w, lambda: add(w, "x", fail=True), ValueError), ["a", "z"]),
    "statement fails": (lambda w: savepoint(w, lambda: (add(w, "x"), add(w, "a")), IntegrityError),
                        ["a", "z"]),
    "released": (lambda w: savepoint(w, lambda: add(w, "s")), ["a", "s", "z"]),
    "three deep": (lambda w: savepoint(w, lambda: three_deep(w)), ["a", "b", "c", "z"]),
    "swallowed statement": (lambda w: savepoint(w, lambda: swallowed_statement(w),
                                                TransactionRolledBackError), ["a", "z"]),
    "swallowed inner level": (lambda w: savepoint(w, lambda: swallowed_inner_level(w),
                                                  TransactionRolledBackError), ["a", "z"]),
}


@pytest.mark.parametrize("scenario", SCENARIOS)
def test_savepoints_undo_their_own_block(w, scenario):
    run, rows = SCENARIOS[scenario]
    with w.transaction("main"):
        add(w, "a")
        run(w)
        assert (gateway(w)._tx_depth.get(), gateway(w)._savepoints.get()) == (1, ())
        add(w, "z")
    assert added(w) == rows
    idle(w)


@pytest.mark.parametrize("name", ["main", None])
def test_a_savepoint_without_a_transaction_or_first_in_one(w, name):
    with pytest.raises(KeyError), w.transaction(name):
        w.transaction(savepoint=True)(add)(w, "first")  # on SQLite: after the engine's BEGIN
        raise KeyError
    w.transaction(name, savepoint=True)(add)(w, "alone")  # opens a transaction of its own
    with pytest.raises(ValueError), w.transaction(name, savepoint=True):
        add(w, "x", fail=True)
    assert added(w) == ["alone"]
    idle(w)


def test_a_savepoint_that_cannot_begin_leaves_the_outer_failed(w):
    with pytest.raises(TransactionRolledBackError), w.transaction("main") as gw:
        add(w, "a")
        gw.select_one_orm2(select(User).where(User.name == "u1")).name = "u2"
        with pytest.raises(IntegrityError), w.transaction(savepoint=True):  # flushes first
            pass
        add(w, "b")
    assert added(w) == [] and w.rows("SELECT name FROM users WHERE id = 1") == [("u1",)]
    idle(w)


def test_threads_and_tasks_keep_their_own_levels(w):
    """Workers on "main" and "other" at once, each inside a failing savepoint while the other
    is inside its own; one transaction object is shared by all of them."""
    shared, barrier = w.transaction(savepoint=True), threading.Barrier(2)

    def worker(source, tag, meet):  # a generator: it yields where the workers meet
        with w.transaction(source):
            add(w, tag + "1")
            with pytest.raises(KeyError), shared:
                add(w, tag + "x")
                yield from meet(source)
                levels = {s: (gateway(w, s)._tx_depth.get(), len(gateway(w, s)._savepoints.get()))
                          for s in ("main", "other")}
                assert levels == {s: (2, 1) if s == source else (0, 0) for s in levels}
                raise KeyError
            with shared:
                add(w, tag + "2")

    def meet_in_threads(source):
        barrier.wait()
        yield

    threads = [threading.Thread(target=lambda s=s: [*worker(s, "t", meet_in_threads)])
               for s in ("main", "other")]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)

    async def tasks():
        inside = {"main": asyncio.Event(), "other": asyncio.Event()}

        def meet_in_tasks(source):
            inside[source].set()
            yield inside["other" if source == "main" else "main"]

        async def task(source):
            for other_inside in worker(source, "k", meet_in_tasks):
                await other_inside.wait()

        await asyncio.gather(task("main"), task("other"))

    asyncio.run(tasks())
    assert [added(w, s) for s in ("main", "other")] == [["t1", "t2", "k1", "k2"]] * 2
    idle(w)


def test_transaction_object(w):
    async def rows():  # an async generator: its body would run after the transaction
        yield 1

    for call, error, message in [(lambda: w.transaction(5), TypeError, "Argument 'name' has incorrect type"),
                                 (lambda: w.transaction()(5), TypeError, "decorates a function, not int"),
                                 (lambda: w.transaction()(rows), TypeError, "does not decorate async generator"),
                                 (lambda: w.transaction().__exit__(None, None, None), RuntimeError, "not entered"),
                                 (lambda: w.transaction("nowhere").__enter__(), ValueError, "Unknown data source")]:
        with pytest.raises(error, match=message):
            call()

    named, in_force = w.transaction("other")(w.get_current_db), w.transaction()(w.get_current_db)
    assert named.__wrapped__ is w.get_current_db and named._datasource_decorated  # not wrapped again
    assert not hasattr(in_force, "_datasource_decorated")  # by a class's `datasource`
    with w.switch_datasource("other"):
        assert (named(), in_force()) == ("other", "other")
    assert (named(), in_force(), w.get_current_db()) == ("other", "main", "main")
    with w.transaction() as gw:
        assert gw is gateway(w, "main") and gw._tx_depth.get() == 1
    idle(w)


def test_sqlite_engines_begin_themselves_and_change_nothing_else(w, caplog):
    engine, main = (w.BaseMapper.datasource[s]["db"] for s in ("other", "main"))

    def ours(e):  # the package's own listeners: the same two objects on every SQLite engine
        return [f for f in [*e.dispatch.begin, *e.pool.dispatch.connect] if f.__module__ == "wisp.wisp"]

    assert [f.__name__ for f in ours(engine)] == ["_sqlite_begin", "_sqlite_connect"]
    assert ours(main) == (ours(engine) if main.dialect.name == "sqlite" else [])
    seen = []
    event.listen(engine, "before_cursor_execute", lambda *args: seen.append(args[2]))
    caplog.set_level(logging.INFO, "sqlalchemy.engine.Engine")
    engine.echo = True
    insert = text("INSERT INTO users (name) VALUES (:n)")
    with engine.connect() as c:
        c.execute(insert, {"n": "dropped"})  # never committed
    with engine.connect().execution_options(isolation_level="AUTOCOMMIT") as c:
        c.execute(insert, {"n": "autocommitted"})
    with engine.connect() as c:
        assert c.get_isolation_level() == "SERIALIZABLE"
    with pytest.raises(KeyError), w.db_session("other") as s:  # DDL in a transaction: rolled back
        s.execute(text("CREATE TABLE scratch (x INTEGER)"))
        raise KeyError
    engine.echo = False
    assert "BEGIN" not in seen + [r.getMessage() for r in caplog.records]  # echo and events as before
    with engine.connect() as c:
        assert c.execute(text("SELECT name FROM sqlite_master WHERE name = 'scratch'")).all() == []
    assert added(w, "other") == ["autocommitted"]
