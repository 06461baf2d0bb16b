"""wisp.db.db_gateway: per-context transactions, mapped statements by id, row
mapping into result types, and the pass-through operations, on SQLite and on
MariaDB."""

import asyncio
import contextvars
import dataclasses
import gc
import inspect
import sqlite3
import sys
import threading
import typing

import psycopg
import pymysql
import pytest

import memcheck
from pydantic import BaseModel
from sqlalchemy import Integer, String, delete, event, insert, select, text, update
from sqlalchemy.exc import DBAPIError, IntegrityError
from sqlalchemy.orm import DeclarativeBase, Mapped, Session, mapped_column

from wisp.db import db_gateway
from wisp.db.db_gateway import TransactionRolledBackError, WispDbGateway, results_handle
from wisp.db.query_runner import Page, QueryRunner

from conftest import make_engine

DRIVER_INTEGRITY_ERRORS = (sqlite3.IntegrityError, pymysql.err.IntegrityError, psycopg.IntegrityError)

ARG_MSG = "Argument '{}' has incorrect type (expected {}, got {})"


class StrSub(str):
    pass


@dataclasses.dataclass
class UserDC:
    id: int
    name: str
    age: int = None


class UserPD(BaseModel):
    id: int
    name: str
    age: typing.Optional[int] = None


class Base(DeclarativeBase):
    pass


class UserORM(Base):
    __tablename__ = "users"
    id: Mapped[int] = mapped_column(Integer, primary_key=True, autoincrement=True)
    name: Mapped[str] = mapped_column(String(40), unique=True)
    age: Mapped[int] = mapped_column(Integer, nullable=True)


@dataclasses.dataclass
class Other:
    id: int = 0


class TableMapper:
    """A mapper as the gateway sees one: get_sql(sql_id=..., params=...) gives the
    statement, its bind values, its kind and its result type."""

    def __init__(self, **statements):
        self.statements = statements

    def get_sql(self, sql_id, params):
        sql, kind, result_type = self.statements[sql_id]
        return text(sql), dict(params or {}), kind, result_type


MAPPER = TableMapper(
    all=("SELECT id, name, age FROM users ORDER BY id", "select", dict),
    older=("SELECT id, name, age FROM users WHERE age > :age ORDER BY id", "select", UserDC),
    older_pd=("SELECT id, name, age FROM users WHERE age > :age ORDER BY id", "select", UserPD),
    older_orm=("SELECT id, name, age FROM users WHERE age > :age ORDER BY id", "select", UserORM),
    ages=("SELECT age, name FROM users ORDER BY id", "select", int),
    add=("INSERT INTO users (name, age) VALUES (:name, :age)", "insert", dict),
    grow=("UPDATE users SET age = age + 1 WHERE age >= :age", "update", dict),
    drop=("DELETE FROM users WHERE age >= :age", "delete", dict),
    frag=("THIS IS NOT SQL", "sql", dict),
)


def names(engine):
    with engine.connect() as c:
        return [r[0] for r in c.execute(text("SELECT name FROM users ORDER BY id"))]


def con(gw):
    return gw._WispDbGateway__con()


def depth(gw):
    return gw._tx_depth.get()


@pytest.fixture
def gw(users):
    yield (g := WispDbGateway({"users": MAPPER}, users))
    if con(g) is not None:  # a failed test must not leave its locks to the next one
        con(g).close()


@pytest.fixture
def commits(users):
    """Database commits issued on the engine, counted."""
    seen = []
    event.listen(users, "commit", lambda conn: seen.append(1))
    return seen


def add(gw, name):
    return gw.insert(text("INSERT INTO users (name) VALUES (:n)"), {"n": name})


# --- surface and construction ----------------------------------------------------


def test_module_and_class_surface():
    public = [k for k in vars(db_gateway) if not k.startswith("__")]
    assert public == ["Dict", "Any", "List", "get_args", "Engine", "TextClause", "sessionmaker", "Page",
                      "QueryRunner", "is_container_type", "is_result_class", "get_base_type",
                      "results_handle", "ContextVar", "WispDbGateway", "TransactionRolledBackError"]
    assert [k for k in vars(WispDbGateway) if not k.startswith("__")] == [
        "_WispDbGateway__con", "begin_tx", "begin_savepoint", "commit", "rollback", "close", "get_ori_session",
        "execute_sql", "select_one", "select_list", "select_page", "insert", "insert_list", "delete",
        "update", "add", "add_all", "select_all_orm1", "select_all_orm2", "select_one_orm1",
        "select_one_orm2", "delete_orm2", "update_orm2", "bulk_update_mappings", "insert_orm2"]
    sig = lambda f: str(inspect.signature(f))
    assert sig(WispDbGateway.__init__) == "(self, mapper_dict: dict, data_source: sqlalchemy.engine.base." \
        "Engine = None, query_runner: wisp.db.query_runner.QueryRunner = None)"
    assert sig(WispDbGateway.execute_sql) == "(self, sql_id: str, namespace: str = None, ori_params: dict " \
        "= None, page: wisp.db.query_runner.Page = None, return_type: Any = None)"
    assert sig(WispDbGateway.insert) == "(self, sql: sqlalchemy.sql.elements.TextClause, sql_param)"
    assert sig(WispDbGateway.update_orm2) == "(self, statement, sql_param: dict | None = None)"
    assert sig(WispDbGateway.bulk_update_mappings) == "(self, table_model, data_list: list[dict] | None = None)"
    assert WispDbGateway._WispDbGateway__con.__name__ == "__con"


def test_construction(users):
    mappers = {}
    gw = WispDbGateway(mappers, users)
    assert list(vars(gw)) == ["mapper_dict", "data_source", "connection_local", "_tx_depth", "query_runner",
                              "_savepoints"]
    assert gw.mapper_dict is mappers and gw.data_source is users and gw.query_runner.data_source is users
    assert gw.connection_local.name == f"connection_{id(gw)}" and gw.connection_local.get() is None
    assert gw._tx_depth.name == f"tx_depth_{id(gw)}" and gw._tx_depth.get() == 0
    assert gw._savepoints.name == f"savepoints_{id(gw)}" and gw._savepoints.get() == ()
    other = WispDbGateway({}, users)
    assert other.connection_local is not gw.connection_local
    runner = QueryRunner(users)
    adopted = WispDbGateway({}, "ignored", query_runner=runner)
    assert adopted.query_runner is runner and adopted.data_source is users
    s1, s2 = gw.get_ori_session(), gw.get_ori_session()
    assert s1 is not s2 and isinstance(s1, Session) and s1.bind is users and not s1.expire_on_commit
    assert con(gw) is None
    s1.close()
    s2.close()


@pytest.mark.parametrize("args, exc, message", [
    (({}, None), Exception, "query_runner can't init"),
    (({}, ""), Exception, "query_runner can't init"),
    ((None, "engine"), TypeError, ARG_MSG.format("mapper_dict", "dict", "NoneType")),
    ((type("D", (dict,), {})(), "engine"), TypeError, ARG_MSG.format("mapper_dict", "dict", "D")),
])
def test_construction_refusals(args, exc, message):
    with pytest.raises(exc) as e:
        WispDbGateway(*args)
    assert type(e.value) is exc and str(e.value) == message


@pytest.mark.parametrize("call, message", [
    (lambda g: g.execute_sql(5), ARG_MSG.format("sql_id", "str", "int")),
    (lambda g: g.execute_sql(StrSub("all"), "users"), ARG_MSG.format("sql_id", "str", "StrSub")),
    (lambda g: g.execute_sql("all", b"users"), ARG_MSG.format("namespace", "str", "bytes")),
    (lambda g: g.execute_sql("all", "users", [1]), ARG_MSG.format("ori_params", "dict", "list")),
    (lambda g: g.update_orm2(text("x"), [{"a": 1}]), ARG_MSG.format("sql_param", "dict", "list")),
    (lambda g: g.bulk_update_mappings(UserORM, ({"id": 1},)), ARG_MSG.format("data_list", "list", "tuple")),
    (lambda g: g.insert_orm2(insert(UserORM), ({"name": "x"},)), ARG_MSG.format("data_list", "list", "tuple")),
    (lambda g: g.insert(text("x")), "WispDbGateway.insert() missing 1 required positional argument: 'sql_param'"),
])
def test_argument_refusals(call, message):
    gw = WispDbGateway({"users": MAPPER}, "engine-never-used")
    with pytest.raises(TypeError) as e:
        call(gw)
    assert str(e.value) == message


@pytest.mark.parametrize("namespace, message", [("no.such.ns", "not found namespace: no.such.ns"),
                                                (None, "not found namespace: None")])
def test_unknown_namespace(namespace, message):
    gw = WispDbGateway({"users": MAPPER}, "engine-never-used")
    with pytest.raises(Exception) as e:
        gw.execute_sql("all", namespace)
    assert type(e.value) is Exception and str(e.value) == message


# --- results_handle ------------------------------------------------------------

ROWS = [{"id": 1, "name": "a", "age": 10}, {"id": 2, "name": "b", "age": 20}, {"id": 3, "name": "c", "age": None}]


@pytest.mark.parametrize("return_type, result_type, expected", [
    (None, dict, ROWS),
    (list, dict, ROWS),
    (typing.List, dict, ROWS),
    (list[dict], dict, ROWS),
    (list[UserDC], UserDC, [UserDC(**r) for r in ROWS]),
    (typing.List[UserPD], UserPD, [UserPD(**r) for r in ROWS]),
    (list, UserDC, [UserDC(**r) for r in ROWS]),
    (list[int], int, [1, 2, 3]),
    (None, int, [1, 2, 3]),
    (dict, dict, ROWS[0]),
    (typing.Dict, dict, ROWS[0]),
    (dict[str, int], UserPD, UserPD(**ROWS[0])),
    (dict, UserDC, UserDC(**ROWS[0])),
    (UserDC, UserDC, UserDC(**ROWS[0])),
    (int, int, 1),
    (tuple, str, 1),
])
def test_results_handle_pairs(return_type, result_type, expected):
    assert results_handle(list(ROWS), result_type, return_type) == expected


def test_results_handle_keeps_and_builds_objects():
    rows = list(ROWS)
    assert results_handle(rows, dict, None) is rows
    orm = results_handle(rows, UserORM, list[UserORM])
    assert [(u.id, u.name, u.age) for u in orm] == [(1, "a", 10), (2, "b", 20), (3, "c", None)]
    empty = []
    assert results_handle(empty, list, UserDC) is empty  # no rows: no checks at all


@pytest.mark.parametrize("return_type, result_type, message", [
    (list[UserDC], Other, f"please check return_result_type: {UserDC}, resultType: {Other}"),
    (typing.List[int], str, "please check return_result_type: <class 'int'>, resultType: <class 'str'>"),
    (dict, int, "please check return_type: <class 'dict'>, resultType: <class 'int'>"),
    (dict, list, "please check return_type: <class 'dict'>, resultType: <class 'list'>"),
    (UserDC, dict, f"please check return_type: {UserDC}, resultType: <class 'dict'>"),
    (int, str, "please check return_type: <class 'int'>, resultType: <class 'str'>"),
    (list, list, "please check result type"),
    (None, typing.List, "please check result type"),
    (tuple, list, "please check result type"),
])
def test_results_handle_refusals(return_type, result_type, message):
    with pytest.raises(TypeError) as e:
        results_handle(list(ROWS), result_type, return_type)
    assert str(e.value) == message


def test_results_handle_constructor_and_row_errors():
    with pytest.raises(TypeError):  # a column the dataclass has no field for
        results_handle([{"id": 1, "name": "a", "extra": 0}], UserDC, None)
    with pytest.raises(Exception) as e:  # pydantic's own validation error
        results_handle([{"id": "x", "name": "a"}], UserPD, UserPD)
    assert type(e.value).__name__ == "ValidationError"
    with pytest.raises(StopIteration):
        results_handle([{}], int, list)


class Probing(type):
    """Converts rows of many new pairs of types, once armed, while results_handle asks about its class."""
    armed = False

    def __getattr__(cls, name):
        if Probing.armed:
            Probing.armed = False
            for c in [type("C", (), {}) for _ in range(1100)]:
                results_handle([{"a": 1}], c, c)
        raise AttributeError(name)


@pytest.mark.parametrize("armed", [False, True])
def test_results_handle_survives_code_run_by_its_type_tests(armed):
    R = Probing("R", (), {})
    results_handle([{"a": 0}], R, list)
    Probing.armed = armed
    assert results_handle([{"a": 1}, {"a": 2}], R, list) == [1, 2]


# --- execute_sql and pass-throughs on both back ends ----------------------------------


def test_execute_sql_selects(gw):
    assert gw.execute_sql("all", "users") == [
        {"id": i, "name": f"u{i}", "age": i * 10} for i in range(1, 6)]
    assert gw.execute_sql("older", "users", {"age": 30}, return_type=list[UserDC]) == [
        UserDC(4, "u4", 40), UserDC(5, "u5", 50)]
    assert gw.execute_sql("older_pd", "users", {"age": 30}, None, typing.List[UserPD]) == [
        UserPD(id=4, name="u4", age=40), UserPD(id=5, name="u5", age=50)]
    orm = gw.execute_sql("older_orm", "users", {"age": 30}, None, list[UserORM])
    assert [(u.id, u.name) for u in orm] == [(4, "u4"), (5, "u5")]
    assert gw.execute_sql("older", "users", {"age": 10}, return_type=UserDC) == UserDC(2, "u2", 20)
    assert gw.execute_sql("older", "users", {"age": 10}, return_type=dict) == UserDC(2, "u2", 20)
    assert gw.execute_sql("older", "users", {"age": 99}, return_type=UserDC) == []
    assert gw.execute_sql("ages", "users", return_type=list[int]) == [10, 20, 30, 40, 50]
    assert gw.execute_sql("ages", "users", return_type=int) == 10
    with pytest.raises(TypeError, match="please check return_type: "):
        gw.execute_sql("all", "users", return_type=UserDC)
    assert gw.data_source.pool.checkedout() == 0


def test_execute_sql_pages(gw):
    page = gw.execute_sql("older", "users", {"age": 10}, Page(2, 3), list[UserDC])
    assert list(page) == ["pageNum", "pageSize", "total", "list"]
    assert page == {"pageNum": 2, "pageSize": 3, "total": 4, "list": [UserDC(5, "u5", 50)]}
    assert gw.execute_sql("older", "users", {"age": 99}, Page(1, 3), UserDC) == \
        {"pageNum": 1, "pageSize": 3, "total": 0, "list": []}
    assert gw.execute_sql("all", "users", None, Page(1, 2), dict)["list"] == \
        {"id": 1, "name": "u1", "age": 10}  # a single-object return type maps the first row only


def test_execute_sql_writes(gw, users):
    assert gw.execute_sql("add", "users", {"name": "new", "age": 70}) == 6
    assert gw.execute_sql("grow", "users", {"age": 50}) == 2
    assert gw.execute_sql("drop", "users", {"age": 50}) == 2
    assert gw.execute_sql("frag", "users") is None  # other kinds run nothing
    assert names(users) == ["u1", "u2", "u3", "u4"]
    gw.mapper_dict["later"] = TableMapper(n=("SELECT COUNT(*) AS n FROM users", "select", int))
    assert gw.execute_sql("n", "later", return_type=int) == 4


def test_pass_throughs_borrow_the_context_session(gw, users):
    gw.begin_tx()
    assert gw.insert(text("INSERT INTO users (name) VALUES (:n)"), {"n": "p"}) == 6
    gw.insert_list(text("INSERT INTO users (name) VALUES (:n)"), [{"n": "q"}, {"n": "r"}])
    assert gw.update(text("UPDATE users SET age = 1 WHERE name IN ('p', 'q')"), None) == 2
    assert gw.delete(text("DELETE FROM users WHERE name = :n"), {"n": "r"}) == 1
    u = UserORM(name="orm")
    gw.add(u)
    gw.add_all([UserORM(name="orm2")])
    gw.insert_orm2(insert(UserORM), [{"name": "io"}])
    assert gw.update_orm2(update(UserORM).where(UserORM.id == 1).values(age=5)) == 1
    assert gw.update_orm2(text("UPDATE users SET age = :a WHERE id = 2"), {"a": 6}) == 1
    gw.bulk_update_mappings(UserORM, [{"id": 3, "age": 7}])
    assert gw.delete_orm2(delete(UserORM).where(UserORM.name == "io")) == 1
    # every read sees the transaction's own writes
    assert u.id == 9 and gw.select_one_orm2(select(UserORM).where(UserORM.name == "orm2")).id == 10
    assert gw.select_one(text("SELECT name FROM users WHERE id = 6")) == {"name": "p"}
    assert gw.select_list(text("SELECT name FROM users WHERE age = :a"), {"a": 1}) == [{"name": "p"}, {"name": "q"}]
    assert gw.select_page(text("SELECT name FROM users ORDER BY id"), Page(5, 2))["list"] == [{"name": "orm2"}]
    assert gw.select_one_orm1(select(UserORM.age).where(UserORM.id == 1)) == {"age": 5}
    assert [tuple(r) for r in gw.select_all_orm1(select(UserORM.age).where(UserORM.id <= 3))] == [(5,), (6,), (7,)]
    assert gw.select_all_orm2(select(UserORM.id).order_by(UserORM.id)) == [1, 2, 3, 4, 5, 6, 7, 9, 10]
    assert names(users) == ["u1", "u2", "u3", "u4", "u5"]  # nothing committed yet
    gw.rollback()
    gw.close()
    assert names(users) == ["u1", "u2", "u3", "u4", "u5"] and users.pool.checkedout() == 0


# --- transactions ---------------------------------------------------------------------


def test_nested_commit_commits_once_at_the_outermost(gw, users, commits):
    gw.begin_tx()
    s = con(gw)
    gw.begin_tx()
    gw.close()  # inside a transaction: nothing
    assert depth(gw) == 2 and con(gw) is s
    add(gw, "t1")
    gw.execute_sql("add", "users", {"name": "t2", "age": 1})
    gw.commit()
    assert depth(gw) == 1 and "t1" not in names(users) and commits == []
    gw.close()
    assert con(gw) is s and depth(gw) == 1
    gw.commit()
    assert depth(gw) == 0 and names(users)[-2:] == ["t1", "t2"] and commits == [1]
    gw.close()
    assert con(gw) is None and depth(gw) == 0 and users.pool.checkedout() == 0


@pytest.mark.parametrize("levels", [1, 2, 3])
def test_rollback_at_any_depth_discards_everything(gw, users, levels):
    for i in range(levels):
        gw.begin_tx()
        add(gw, f"r{i}")
    s = con(gw)
    gw.rollback()
    assert depth(gw) == levels - 1 and con(gw) is s and not s.in_transaction()
    for outer in range(levels - 1, 0, -1):  # the outer levels can only roll back
        for step in (lambda: add(gw, "late"), gw.commit):
            refused(step, " by an inner level", earlier="")
        gw.close()  # inside a transaction: nothing
        gw.rollback()
        assert depth(gw) == outer - 1 and con(gw) is s
    gw.commit()  # depth 0: commits the (empty) session again, no error
    gw.close()
    assert con(gw) is None and names(users) == ["u1", "u2", "u3", "u4", "u5"]


def test_without_a_session_and_after_commit_without_close(gw, users, commits):
    for step in (gw.commit, gw.rollback, gw.close):  # no session, depth 0: only the depth is set
        step()
        assert con(gw) is None and depth(gw) == 0
    gw.begin_tx()
    add(gw, "a")
    gw.commit()
    s = con(gw)
    assert s is not None and depth(gw) == 0 and "a" in names(users)
    add(gw, "b")  # still borrows the session: not committed on its own
    assert "b" not in names(users) and s.in_transaction()
    gw.commit()  # commits the same session again
    assert "b" in names(users) and commits == [1, 1] and con(gw) is s
    add(gw, "c")
    gw.rollback()
    assert con(gw) is s and depth(gw) == 0 and "c" not in names(users)
    add(gw, "d")
    gw.begin_tx()  # a new session replaces the old one, which is dropped as it is
    assert con(gw) is not s and depth(gw) == 1 and s.in_transaction()
    gw.rollback()
    gw.close()
    s.rollback()
    s.close()
    assert con(gw) is None and names(users)[-2:] == ["a", "b"] and users.pool.checkedout() == 0


def test_nested_failure_as_the_wrappers_do_it(gw, users):
    gw.begin_tx()  # outer
    add(gw, "outer")
    gw.begin_tx()  # inner
    with pytest.raises(IntegrityError) as e:
        add(gw, "u1")  # the database refuses a duplicate name
    assert isinstance(e.value.orig, DRIVER_INTEGRITY_ERRORS)
    s = con(gw)
    gw.rollback()  # inner: the transaction is rolled back and the outer level sees it failed
    gw.close()
    assert con(gw) is s and depth(gw) == 1
    refused(lambda: add(gw, "after"))
    gw.rollback()  # outer
    gw.close()
    assert con(gw) is None and depth(gw) == 0
    assert names(users) == ["u1", "u2", "u3", "u4", "u5"] and users.pool.checkedout() == 0


def test_threads_have_their_own_transactions(gw, users):
    ready, done = threading.Barrier(2), threading.Barrier(2)
    seen = {}

    def writer():
        gw.begin_tx()
        add(gw, "from-writer")
        seen["writer"] = (con(gw), depth(gw))
        ready.wait()
        done.wait()
        gw.commit()
        gw.close()

    def reader():
        ready.wait()
        gw.begin_tx()
        gw.begin_tx()
        seen["reader"] = (con(gw), depth(gw))
        seen["visible"] = gw.select_one(text("SELECT COUNT(*) AS n FROM users WHERE name = 'from-writer'"))
        gw.rollback()
        gw.rollback()
        gw.close()
        seen["after"] = (con(gw), depth(gw))
        done.wait()

    threads = [threading.Thread(target=writer), threading.Thread(target=reader)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert seen["writer"][1] == 1 and seen["reader"][1] == 2
    assert seen["writer"][0] is not seen["reader"][0]
    assert seen["visible"] == {"n": 0} and seen["after"] == (None, 0)
    assert con(gw) is None and depth(gw) == 0  # the main thread saw none of it
    assert "from-writer" in names(users) and users.pool.checkedout() == 0


def test_async_tasks_have_their_own_transactions(gw, users):
    async def main():
        written, finished = asyncio.Event(), asyncio.Event()
        seen = {}

        async def writer():
            gw.begin_tx()
            add(gw, "task-a")
            seen["writer"] = con(gw)
            written.set()
            await finished.wait()
            assert depth(gw) == 1 and con(gw) is seen["writer"]
            gw.commit()
            gw.close()

        async def other():
            await written.wait()
            assert con(gw) is None and depth(gw) == 0
            gw.begin_tx()
            seen["other"] = con(gw)
            seen["visible"] = gw.select_list(text("SELECT name FROM users WHERE name = 'task-a'"))
            gw.rollback()
            gw.close()
            finished.set()

        await asyncio.gather(writer(), other())
        assert seen["writer"] is not seen["other"] and seen["visible"] == []

        gw.begin_tx()  # a task made now starts with a copy of this context

        async def child():
            assert con(gw) is outer and depth(gw) == 1
            gw.commit()
            return depth(gw)

        outer = con(gw)
        assert await asyncio.create_task(child()) == 0
        assert depth(gw) == 1 and con(gw) is outer
        gw.rollback()
        gw.close()

    asyncio.run(main())
    assert "task-a" in names(users) and users.pool.checkedout() == 0


def test_failing_statement_in_a_transaction_commits_nothing(gw, users, commits):
    gw.begin_tx()
    gw.execute_sql("add", "users", {"name": "first", "age": 1})
    with pytest.raises(IntegrityError) as e:
        gw.execute_sql("add", "users", {"name": "u2", "age": 1})
    assert isinstance(e.value.orig, DRIVER_INTEGRITY_ERRORS)
    gw.rollback()
    gw.close()
    assert "first" not in names(users) and commits == [] and users.pool.checkedout() == 0


# --- a transaction whose statement failed ----------------------------------------------


def refused(call, where="", earlier=" after an earlier error"):
    try:
        raise KeyError("being handled")  # the refusal must not chain to it
    except KeyError:
        with pytest.raises(TransactionRolledBackError) as e:
            call()
    assert str(e.value) == f"the transaction was rolled back{earlier}{where}; it must be ended with rollback()"
    assert e.value.__cause__ is None and e.value.__context__ is None and e.value.__suppress_context__


# The server's own id of the connection a statement runs on, and how another connection ends
# it; how a statement is given a time limit.
CONNECTION_ID = {"mariadb": "SELECT CONNECTION_ID() AS i", "postgresql": "SELECT pg_backend_pid() AS i"}
END_CONNECTION = {"mariadb": "KILL {}", "postgresql": "SELECT pg_terminate_backend({})"}
TIME_LIMITED = {"mariadb": (None, "SET STATEMENT max_statement_time=0.05 FOR SELECT SLEEP(5)"),
                "postgresql": ("SET LOCAL statement_timeout = 50", "SELECT pg_sleep(5)")}


def kill(gw, server):
    connection_id = gw.select_one(text(CONNECTION_ID[server.kind]))["i"]
    with server.root_connect() as root:
        root.cursor().execute(END_CONNECTION[server.kind].format(connection_id))
    add(gw, "C")


def time_limit(gw, server):
    setting, sql = TIME_LIMITED[server.kind]
    if setting:
        gw.update(text(setting), None)
    gw.select_one(text(sql))


def own_transaction(gw, name):  # in a thread or task of its own
    gw.begin_tx()
    add(gw, name)
    gw.commit()
    gw.close()


async def in_a_task(*args):
    own_transaction(*args)


FAILURES = {  # each fails in the database, or loses the connection (servers), after "A" was written
    "mapped": lambda g, server: g.execute_sql("add", "users", {"name": "u1", "age": 1}),
    "insert": lambda g, server: add(g, "u1"),
    "select": lambda g, server: g.select_list(text("SELECT nope FROM users")),
    "restart": lambda g, server: (server.restart(), add(g, "C")),
    "kill": kill,
    "time limit": time_limit,
}


@pytest.mark.parametrize("failure", FAILURES)
@pytest.mark.parametrize("nested", [0, 1])
def test_nothing_runs_or_commits_after_a_swallowed_failure(backend, gw, users, commits, failure, nested):
    if not backend.server and failure in ("restart", "kill", "time limit"):
        pytest.skip("a server connection to lose exists on the servers only")
    gw.begin_tx()
    for call in (lambda: gw.execute_sql("all", "users", return_type=UserDC), lambda: gw.execute_sql("x", "no")):
        with pytest.raises(Exception):  # errors before or after the statement keep the transaction
            call()
    add(gw, "A")
    for _ in range(nested):
        gw.begin_tx()
    with pytest.raises(DBAPIError):
        FAILURES[failure](gw, backend.server)
    where = " in statement 'add' of namespace 'users'" if failure == "mapped" else ""
    for step in (lambda: add(gw, "C"), lambda: gw.execute_sql("all", "users", None, Page(1, 1)),
                 lambda: gw.select_all_orm2(select(UserORM)), gw.commit):
        refused(step, where)
    (t := threading.Thread(target=own_transaction, args=(gw, "T"))).start()  # other contexts go on
    t.join(60)
    contextvars.Context().run(asyncio.run, in_a_task(gw, "K"))
    gw.begin_tx()  # a transaction nested in the failed one fails with it
    gw.begin_savepoint()  # and so does a savepoint: no SAVEPOINT in a rolled-back transaction
    assert depth(gw) == 3 + nested and gw._savepoints.get() == ()
    for level in range(3 + nested, 0, -1):  # the first failure stays named until the outermost ends
        refused(gw.commit, where)
        gw.rollback()
        gw.close()
        assert depth(gw) == level - 1
    own_transaction(gw, "B")  # this context works again
    assert names(users) == ["u1", "u2", "u3", "u4", "u5", "T", "K", "B"] and len(commits) == 3


def test_server_restart_between_calls_is_survived(backend, users, gw):
    if not backend.server:
        pytest.skip("restarting a server applies to the servers only")
    assert gw.select_one(text("SELECT COUNT(*) AS n FROM users")) == {"n": 5}
    assert users.pool.checkedin() == 1  # a pooled connection that the restart kills
    backend.server.restart()
    assert gw.select_one(text("SELECT COUNT(*) AS n FROM users")) == {"n": 5}


def test_no_reference_kept(gw):
    params, page, rt = {"age": 10}, Page(1, 2), list[UserDC]
    gc.collect()
    before = [sys.getrefcount(o) for o in (params, page, rt, UserDC, MAPPER)]
    for _ in range(30):
        gw.execute_sql("older", "users", params, page, rt)
        gw.execute_sql("older", "users", params, None, UserDC)
        with pytest.raises(TypeError):
            gw.execute_sql("older", "users", params, None, Other)
        with pytest.raises(Exception):
            gw.execute_sql("older", "nowhere", params)
    gc.collect()
    assert [sys.getrefcount(o) for o in (params, page, rt, UserDC, MAPPER)] == before
    result = gw.execute_sql("older", "users", params)
    counts = sys.getrefcount(result), sys.getrefcount(result[0])
    assert counts == (2, 2)


def test_memory_stays_flat(tmp_path):
    engine = make_engine("sqlite:///" + str(tmp_path / "flat.db"))
    with engine.begin() as c:
        c.execute(text("CREATE TABLE users (id INTEGER PRIMARY KEY, name VARCHAR(40) UNIQUE, age INTEGER)"))
        c.execute(text("INSERT INTO users (name, age) VALUES ('a', 1), ('b', 2)"))
    gw = WispDbGateway({"users": MAPPER}, engine)
    failing = [
        lambda: gw.execute_sql("all", "users", None, None, UserDC),
        lambda: gw.execute_sql("all", "nowhere"),
        lambda: add(gw, "a"),
        lambda: gw.query_runner.bulk_update_mappings(UserORM, ({"id": 1},)),
        lambda: results_handle([{}], int, None),
    ]

    def one_round():
        gw.execute_sql("older", "users", {"age": 0}, Page(1, 1), list[UserDC])
        gw.execute_sql("older_pd", "users", {"age": 0}, None, UserPD)
        gw.begin_tx()
        gw.begin_tx()
        gw.select_one(text("SELECT 1 AS one"))
        gw.commit()
        gw.rollback()
        gw.close()
        for call in failing:
            try:
                call()
            except (Exception, StopIteration):
                pass

    for _ in range(100):
        one_round()
    try:
        memcheck.assert_flat(lambda: [one_round() for _ in range(100)], rss_limit=None,
                             what="100 rounds")
    finally:
        engine.dispose()


# --- with mapper files -------------------------------------------------------------

MAPPER_XML = """<?xml version="1.0" encoding="UTF-8"?>
<mapper namespace="UserMapper">
  <sql id="cols">id, name, age</sql>
  <select id="find" resultType="{module}.UserDC">
    SELECT <include refid="cols"/> FROM users
    <where><if test="params.get('min_age') is not None">AND age &gt;= #{{min_age}}</if></where>
    ORDER BY id
  </select>
  <select id="find_pd" resultType="{module}.UserPD">SELECT id, name, age FROM users ORDER BY id</select>
  <select id="rows">SELECT id, name FROM users WHERE id &lt;= #{{id}} ORDER BY id</select>
  <select id="ages" resultType="int">SELECT age FROM users ORDER BY id</select>
  <insert id="add">INSERT INTO users (name, age) VALUES (#{{name}}, #{{age}})</insert>
  <update id="grow">UPDATE users SET age = age + 1 WHERE age &gt;= #{{age}}</update>
  <delete id="drop">DELETE FROM users WHERE name = #{{name}}</delete>
</mapper>
"""


@pytest.fixture
def xml_gw(users, tmp_path):
    xml_reader = pytest.importorskip("wisp.mapper.xml_reader")
    path = tmp_path / "user_mapper.xml"
    path.write_text(MAPPER_XML.format(module=__name__), encoding="utf-8")
    mapper = xml_reader.ParseMapper(xml_path=str(path))
    return WispDbGateway({mapper.namespace: mapper}, users)


def test_execute_sql_with_a_mapper_file(xml_gw, users):
    run = xml_gw.execute_sql
    assert run("find", "UserMapper", {"min_age": 40}, return_type=list[UserDC]) == [
        UserDC(4, "u4", 40), UserDC(5, "u5", 50)]
    assert run("find", "UserMapper", {"min_age": None}, return_type=UserDC) == UserDC(1, "u1", 10)
    assert run("find_pd", "UserMapper", {}, Page(2, 2), list[UserPD]) == {
        "pageNum": 2, "pageSize": 2, "total": 5,
        "list": [UserPD(id=3, name="u3", age=30), UserPD(id=4, name="u4", age=40)]}
    assert run("rows", "UserMapper", {"id": 2}) == [{"id": 1, "name": "u1"}, {"id": 2, "name": "u2"}]
    assert run("ages", "UserMapper", {}, return_type=list[int]) == [10, 20, 30, 40, 50]
    with pytest.raises(TypeError, match="please check return_result_type: "):
        run("find", "UserMapper", {"min_age": 0}, return_type=list[UserPD])
    assert run("add", "UserMapper", {"name": "x", "age": 1}) == 6
    assert run("grow", "UserMapper", {"age": 50}) == 1
    assert run("drop", "UserMapper", {"name": "x"}) == 1
    with pytest.raises(Exception, match="Missing id"):
        run("nope", "UserMapper", {})
    assert users.pool.checkedout() == 0


def test_mapper_file_statements_join_the_transaction(xml_gw, users):
    xml_gw.begin_tx()
    xml_gw.execute_sql("add", "UserMapper", {"name": "tx", "age": 1})
    assert xml_gw.execute_sql("rows", "UserMapper", {"id": 6}, return_type=list)[-1] == {"id": 6, "name": "tx"}
    assert "tx" not in names(users)
    xml_gw.commit()
    xml_gw.close()
    assert "tx" in names(users)
