"""wisp.db.query_runner: session ownership, every operation, pagination and the
count/limit rewriting, on SQLite and on MariaDB."""

import dataclasses
import inspect
import typing
from decimal import Decimal

import pytest
import sqlalchemy
from sqlalchemy import Integer, String, select, text
from sqlalchemy.exc import IntegrityError, MultipleResultsFound
from sqlalchemy.orm import DeclarativeBase, Mapped, Session, mapped_column

from wisp.db import query_runner
from wisp.db.query_runner import Page, PageInfo, QueryRunner, count_query, limit_query

ARG_MSG = "Argument '{}' has incorrect type (expected {}, got {})"


class Base(DeclarativeBase):
    pass


class User(Base):
    __tablename__ = "users"
    id: Mapped[int] = mapped_column(Integer, primary_key=True, autoincrement=True)
    name: Mapped[str] = mapped_column(String(40), unique=True)
    age: Mapped[int] = mapped_column(Integer, nullable=True)


def names(engine):
    with engine.connect() as c:
        return [r[0] for r in c.execute(text("SELECT name FROM users ORDER BY id"))]


# --- surface ------------------------------------------------------------------


def test_module_and_class_surface():
    public = [k for k in vars(query_runner) if not k.startswith("__")]
    assert public == ["re", "contextlib", "Any", "TextClause", "text", "sessionmaker", "dataclass",
                      "PageInfo", "Page", "QueryRunner", "count_query", "limit_query"]
    methods = [k for k in vars(QueryRunner) if not k.startswith("__")]
    assert methods == [
        "insert", "insert_list", "insert_orm2", "add", "add_all", "delete", "delete_orm2",
        "update_orm2", "update", "bulk_update_mappings", "select_one_orm1", "select_one_orm2",
        "select_all_orm1", "select_all_orm2", "select_one", "select_list", "select_page",
        "get_session"]
    sig = lambda f: str(inspect.signature(f))
    assert sig(QueryRunner.select_page) == "(self, sql: sqlalchemy.sql.elements.TextClause, " \
        "page: wisp.db.query_runner.Page, con=None, args=None)"
    assert sig(QueryRunner.insert_orm2) == "(self, statement, data_list, con=None)"
    assert sig(QueryRunner.bulk_update_mappings) == \
        "(self, table_model, arg_marks: list[dict] | None = None, con=None)"
    assert QueryRunner.add.__annotations__ == {"data": typing.Any}
    assert QueryRunner.bulk_update_mappings.__doc__ == (
        "\n        orm2.0 core or origin_sql\n        :param table_model:\n        :param arg_marks:"
        "\n        :param con:\n        :return:\n        ")
    assert QueryRunner.select_one.__doc__ is None
    assert QueryRunner.get_session.__wrapped__.__qualname__ == "QueryRunner.get_session"
    assert count_query.__annotations__ == {"sql": sqlalchemy.TextClause}
    assert limit_query.__annotations__ == {"sql": sqlalchemy.TextClause, "page": Page}
    assert vars(QueryRunner("x")) == {"data_source": "x"}


def test_page_and_page_info():
    assert [f.name for f in dataclasses.fields(PageInfo)] == ["pageSize", "pageNum", "total", "list"]
    assert PageInfo.__annotations__ == {"pageSize": int, "pageNum": int, "total": int, "list": list}
    assert PageInfo() == PageInfo(None, None, None, None)
    assert repr(PageInfo(1, 2, 3, [])) == "PageInfo(pageSize=1, pageNum=2, total=3, list=[])"
    p = Page(2.9, 10.0)
    assert vars(p) == {"pageSize": 10, "pageNum": 2} and list(vars(p)) == ["pageSize", "pageNum"]
    assert type(p.pageNum) is int and vars(Page(True, Decimal("3.7"))) == {"pageSize": 3, "pageNum": 1}
    assert vars(Page(page_size=0, page_num=-4)) == {"pageSize": 0, "pageNum": -4}


@pytest.mark.parametrize("args, name, got", [(("2", 10), "page_num", "str"),
                                             ((1, None), "page_size", "NoneType")])
def test_page_refuses_non_numbers(args, name, got):
    with pytest.raises(TypeError) as e:
        Page(*args)
    assert str(e.value) == ARG_MSG.format(name, "int", got)


# --- sessions -----------------------------------------------------------------


def test_get_session_owned_and_borrowed(users):
    runner = QueryRunner(users)
    with runner.get_session() as s:
        assert isinstance(s, Session) and s.bind is users and s.expire_on_commit is False
        s.execute(text("INSERT INTO users (name) VALUES ('a')"))
    assert "a" in names(users) and users.pool.checkedout() == 0
    borrowed = Session(users)
    with runner.get_session(borrowed) as s:
        assert s is borrowed
        s.execute(text("INSERT INTO users (name) VALUES ('b')"))
    assert borrowed.in_transaction() and "b" not in names(users)
    borrowed.rollback()
    borrowed.close()
    boom = RuntimeError("boom")
    with pytest.raises(RuntimeError) as e:
        with runner.get_session() as s:
            s.execute(text("INSERT INTO users (name) VALUES ('c')"))
            raise boom
    assert e.value is boom and "c" not in names(users) and users.pool.checkedout() == 0

    @runner.get_session()
    def decorated():
        return "ran"
    assert decorated() == "ran"


def test_get_session_rolls_back_only_on_exception(users):
    runner = QueryRunner(users)
    s = Session(users)
    with pytest.raises(KeyboardInterrupt):
        with runner.get_session(s):
            s.execute(text("INSERT INTO users (name) VALUES ('k')"))
            raise KeyboardInterrupt
    assert s.in_transaction()  # not rolled back: only Exception is
    s.rollback()
    s.close()


def test_the_module_sessionmaker_is_looked_up_per_call(users, monkeypatch):
    calls = []

    def spy(**kw):
        calls.append(kw)
        return sqlalchemy.orm.sessionmaker(**kw)

    monkeypatch.setattr(query_runner, "sessionmaker", spy)
    runner = QueryRunner(users)
    assert runner.select_one(text("SELECT COUNT(*) AS n FROM users")) == {"n": 5}
    assert calls == [{"bind": users, "expire_on_commit": False}]
    with pytest.raises(TypeError, match=r"Argument 'arg_marks' has incorrect type \(expected list, got tuple\)"):
        runner.bulk_update_mappings(User, ({"id": 1, "age": 1},))
    assert len(calls) == 1  # refused before any session was made


class LoggingRunner(QueryRunner):
    """Overrides get_session: every operation must go through the override."""

    def __init__(self, data_source):
        super().__init__(data_source)
        self.log = []

    def get_session(self, session=None):
        cm = super().get_session(session)
        outer = self

        class Scope:
            def __enter__(self):
                outer.log.append("enter")
                return cm.__enter__()

            def __exit__(self, *exc):
                outer.log.append("exit" if exc[0] is None else "exit:" + exc[0].__name__)
                return cm.__exit__(*exc)
        return Scope()


def test_operations_use_an_overriding_get_session(users):
    runner = LoggingRunner(users)
    assert runner.select_list(text("SELECT name FROM users WHERE age > :a"), args={"a": 40}) == [{"name": "u5"}]
    with pytest.raises(IntegrityError):
        runner.insert(text("INSERT INTO users (name) VALUES ('u1')"))
    assert runner.log == ["enter", "exit", "enter", "exit:IntegrityError"]
    assert users.pool.checkedout() == 0


# --- operations on both back ends ---------------------------------------------


def test_text_operations(users):
    runner = QueryRunner(users)
    new_id = runner.insert(text("INSERT INTO users (name, age) VALUES (:n, :a)"), None, {"n": "x", "a": 7})
    assert new_id == 6 and names(users)[-1] == "x"
    assert runner.insert_list(text("INSERT INTO users (name) VALUES (:n)"), args=[{"n": "y"}, {"n": "z"}]) is None
    for empty in ([], ()):  # nothing to insert: nothing runs
        assert runner.insert_list(text("INSERT INTO users (name) VALUES ('e')"), args=empty) is None
    assert runner.select_one(text("SELECT name, age FROM users WHERE age >= :a ORDER BY age"), args={"a": 30}) \
        == {"name": "u3", "age": 30}
    assert runner.select_one(text("SELECT name FROM users WHERE age > 99")) is None
    assert runner.select_list(text("SELECT name FROM users WHERE age > 99")) == []
    assert runner.select_list(text("SELECT id, name FROM users WHERE id <= 2 ORDER BY id")) == \
        [{"id": 1, "name": "u1"}, {"id": 2, "name": "u2"}]
    assert runner.update(text("UPDATE users SET age = 0 WHERE age > 99")) == 0
    assert runner.update(text("UPDATE users SET age = age + 1 WHERE age >= :a"), args={"a": 40}) == 2
    assert runner.delete(text("DELETE FROM users WHERE name IN ('y', 'z')")) == 2
    assert users.pool.checkedout() == 0


@pytest.mark.parametrize("sql", [
    "SELECT id, name, age FROM users ORDER BY id",
    "SELECT id AS x, name AS x, age FROM users ORDER BY id",  # a repeated name: the last value, as _asdict
    "SELECT age, age * 2 FROM users ORDER BY id",
])
def test_rows_become_the_dicts_asdict_makes(users, sql):
    with users.connect() as c:
        expected = [row._asdict() for row in c.execute(text(sql)).all()]
    runner = QueryRunner(users)
    assert runner.select_list(text(sql)) == expected
    assert runner.select_one(text(sql)) == expected[0]
    page = runner.select_page(text(sql), Page(2, 2))["list"]
    assert page == expected[2:4] and all(list(d) == list(expected[0]) for d in page)


def test_a_replaced_row_asdict_is_called(users, monkeypatch):
    from sqlalchemy.engine.row import Row
    monkeypatch.setattr(Row, "_asdict", lambda row: {"replaced": tuple(row)})
    runner = QueryRunner(users)
    assert runner.select_list(text("SELECT id FROM users WHERE id < 3 ORDER BY id")) == \
        [{"replaced": (1,)}, {"replaced": (2,)}]
    assert runner.select_one(text("SELECT id FROM users WHERE id = 3")) == {"replaced": (3,)}


def test_orm_operations(users):
    runner = QueryRunner(users)
    u = User(name="orm", age=1)
    assert runner.add(u) is None and u.id == 6 and u.name == "orm"  # readable after close
    us = [User(name="o2"), User(name="o3")]
    runner.add_all(us)
    assert [x.id for x in us] == [7, 8]
    assert runner.select_one_orm2(select(User).where(User.name == "o2")).id == 7
    assert runner.select_one_orm2(select(User).where(User.age == 999)) is None
    with pytest.raises(MultipleResultsFound):
        runner.select_one_orm2(select(User).where(User.id > 6))
    assert runner.select_one_orm1(select(User.id, User.name).where(User.id == 1)) == {"id": 1, "name": "u1"}
    assert runner.select_one_orm1(select(User.id).where(User.id == 99)) is None
    rows = runner.select_all_orm1(select(User.id, User.age).where(User.id < 3).order_by(User.id))
    assert [tuple(r) for r in rows] == [(1, 10), (2, 20)]
    assert runner.select_all_orm2(select(User.name).where(User.id < 3).order_by(User.id)) == ["u1", "u2"]
    assert runner.update_orm2(sqlalchemy.update(User).where(User.id > 6).values(age=5)) == 2
    assert runner.update_orm2(text("UPDATE users SET age = :a WHERE id = 1"), sql_param={"a": 3}) == 1
    assert runner.bulk_update_mappings(User, [{"id": 1, "age": 11}, {"id": 2, "age": 22}]) is None
    assert runner.select_all_orm2(select(User.age).where(User.id < 3).order_by(User.id)) == [11, 22]
    assert runner.insert_orm2(sqlalchemy.insert(User), [{"name": "i1"}, {"name": "i2"}]) is not None
    assert runner.delete_orm2(sqlalchemy.delete(User).where(User.name.in_(["i1", "i2"]))) == 2
    assert users.pool.checkedout() == 0


FAILING = [
    ("insert", lambda r, s: r.insert(text("INSERT INTO users (name) VALUES ('u1')"), s)),
    ("insert_list", lambda r, s: r.insert_list(text("INSERT INTO users (name) VALUES (:n)"), s, [{"n": "u2"}])),
    ("update", lambda r, s: r.update(text("UPDATE users SET name = 'u1' WHERE id = 2"), s)),
    ("delete", lambda r, s: r.delete(text("DELETE FROM nowhere"), s)),
    ("select_list", lambda r, s: r.select_list(text("SELECT nothing FROM users"), s)),
    ("select_page", lambda r, s: r.select_page(text("SELECT nothing FROM users"), Page(1, 2), s)),
    ("add", lambda r, s: r.add(User(name="u3"), s)),
    ("select_one_orm2", lambda r, s: r.select_one_orm2(select(User), s)),
]


@pytest.mark.parametrize("op", [f for _, f in FAILING], ids=[n for n, _ in FAILING])
@pytest.mark.parametrize("savepoint", [False, True])
def test_failures_owned_and_borrowed(users, op, savepoint):
    runner = QueryRunner(users)
    with pytest.raises(sqlalchemy.exc.SQLAlchemyError):
        op(runner, None)
    assert users.pool.checkedout() == 0
    s = Session(users)
    runner.insert(text("INSERT INTO users (name) VALUES ('pending')"), s)
    if savepoint:  # the caller's SAVEPOINT: only what was done since it is rolled back
        nested = s.begin_nested()
        runner.insert(text("INSERT INTO users (name) VALUES ('in savepoint')"), s)
    with pytest.raises(sqlalchemy.exc.SQLAlchemyError):
        op(runner, s)
    # the borrowed session was rolled back (its pending row is gone) and is still usable
    assert s.in_transaction() is savepoint and not (savepoint and nested.is_active)
    assert runner.select_one(text("SELECT COUNT(*) AS n FROM users"), s) == {"n": 5 + savepoint}
    s.commit()
    s.close()
    assert names(users) == ["u1", "u2", "u3", "u4", "u5"] + ["pending"] * savepoint
    assert users.pool.checkedout() == 0


def test_borrowed_session_is_neither_committed_nor_closed(users):
    runner = QueryRunner(users)
    s = Session(users)
    runner.insert(text("INSERT INTO users (name) VALUES ('b1')"), s)
    runner.update(text("UPDATE users SET age = 1 WHERE name = 'b1'"), s)
    assert runner.select_one(text("SELECT age FROM users WHERE name = 'b1'"), s) == {"age": 1}
    assert "b1" not in names(users) and s.in_transaction()
    s.commit()
    s.close()
    assert "b1" in names(users)


# --- pagination ---------------------------------------------------------------


@pytest.mark.parametrize("num, size, expected", [
    (1, 2, ["u1", "u2"]), (2, 2, ["u3", "u4"]), (3, 2, ["u5"]), (4, 2, []), (1, 10, ["u1", "u2", "u3", "u4", "u5"]),
])
def test_select_page(users, num, size, expected):
    runner = QueryRunner(users)
    page = runner.select_page(text("SELECT name FROM users WHERE age >= :a ORDER BY id;"), Page(num, size),
                              args={"a": 0})
    assert list(page) == ["pageNum", "pageSize", "total", "list"]
    assert page == {"pageNum": num, "pageSize": size, "total": 5, "list": [{"name": n} for n in expected]}
    assert users.pool.checkedout() == 0


@pytest.mark.parametrize("sql, total", [
    ("SELECT name FROM users WHERE age > 99", 0),
    ("SELECT DISTINCT age FROM users", 5),
    ("SELECT age, COUNT(*) AS n FROM users GROUP BY age HAVING COUNT(*) > 0", 5),
    ("SELECT name FROM users WHERE age < 30 UNION SELECT name FROM users WHERE age > 30", 4),
    ("SELECT (SELECT MAX(age) FROM users) AS m, name FROM users WHERE age > 20", 3),
    ("SELECT 'x from y' AS t, name FROM users", 5),
    ("SELECT MAX(age) AS m FROM users", 1),
    ("SELECT COUNT(*) AS n, MIN(name) AS first FROM users WHERE age > 20", 1),
])
def test_count_forms_run_on_the_database(users, sql, total):
    page = QueryRunner(users).select_page(text(sql), PageInfo(pageSize=2, pageNum=1))
    assert page["total"] == total and len(page["list"]) == min(total, 2)


def test_select_page_uses_the_module_functions(users, monkeypatch):
    seen = []

    def spy(name, real):
        def wrapper(*args):
            seen.append(name)
            return real(*args)
        return wrapper

    monkeypatch.setattr(query_runner, "count_query", spy("count", count_query))
    monkeypatch.setattr(query_runner, "limit_query", spy("limit", limit_query))
    # no ORDER BY: PostgreSQL refuses one beside the COUNT(*) of count_query's simple form
    page = QueryRunner(users).select_page(text("SELECT name FROM users WHERE age > :a"), Page(2, 1),
                                          args={"a": 10})
    assert seen == ["count", "limit"]
    assert page == {"pageNum": 2, "pageSize": 1, "total": 4, "list": [{"name": "u3"}]}


def test_page_zero_is_left_to_the_database(users, backend):
    runner = QueryRunner(users)
    sql = text("SELECT name FROM users ORDER BY id")
    if backend.kind == "sqlite":  # a negative offset counts as zero
        assert runner.select_page(sql, Page(0, 2))["list"] == [{"name": "u1"}, {"name": "u2"}]
    else:  # MariaDB and PostgreSQL refuse a negative offset
        with pytest.raises((sqlalchemy.exc.ProgrammingError, sqlalchemy.exc.DataError)):
            runner.select_page(sql, Page(0, 2))
    assert users.pool.checkedout() == 0


def test_page_in_a_borrowed_session_sees_its_own_rows(users):
    runner = QueryRunner(users)
    s = Session(users)
    runner.insert(text("INSERT INTO users (name, age) VALUES ('zz', 60)"), s)
    page = runner.select_page(text("SELECT name FROM users WHERE age >= 50 ORDER BY id"), Page(1, 5), s)
    assert page["total"] == 2 and page["list"] == [{"name": "u5"}, {"name": "zz"}]
    s.rollback()
    s.close()


@pytest.mark.parametrize("sql", ["SELECT name FROM users ORDER BY id -- oldest first",
                                 "SELECT name FROM users ORDER BY id -- oldest first;\n",
                                 "SELECT DISTINCT name FROM users ORDER BY name -- wrapped count"])
def test_page_of_a_statement_ending_in_a_line_comment(users, sql):
    # neither the limit clause nor the count's closing parenthesis may land
    # inside the comment
    page = QueryRunner(users).select_page(text(sql), Page(2, 2))
    assert page["total"] == 5 and page["list"] == [{"name": "u3"}, {"name": "u4"}]
