"""wisp.wisp keeps its word: a mistake fails loudly instead of giving a quiet wrong result, the
types a checker sees are what comes back, and the data written is the data given."""

import collections
import contextlib
import gc
import os
import weakref
from typing import Any, Optional

import pytest
from sqlalchemy import String, select, text
from sqlalchemy.orm import DeclarativeBase, Mapped, defer, mapped_column

from mapper_models import Person, Tag, User, mapper_for, sqlite, w  # noqa: F401  (w: fixture)
from wisp.db.query_runner import Page
from wisp.wisp import PageResult, delete, insert_list, select_list, select_one, select_page

PURGE_XML = """<mapper namespace="OrderMapper"><delete id="purge">
  DELETE FROM users <where><if test="params.get('age')">age = #{age}</if></where>
</delete></mapper>"""


@select_one("SELECT COUNT(*) AS n FROM users WHERE age >= #{age}")
def count_from(age: int) -> int: ...


@select_list("SELECT name FROM users WHERE age >= #{age} ORDER BY id")
def names_from(age: int, *rest, **extra) -> list[str]: ...


@select_page("SELECT id, name, age FROM users WHERE age >= #{age} ORDER BY id")
def people_from(age: int, page: Page | None = None) -> PageResult[Person]: ...


@delete("DELETE FROM users WHERE age >= #{age}")
def purge(age: int = 0) -> int: ...


@insert_list("INSERT INTO users (name, age) VALUES (#{name}, #{age})")
def add_all(data: list) -> None: ...


class Codes(DeclarativeBase):
    pass


class Code(Codes):  # a natural string key named `id`
    __tablename__ = "codes"
    id: Mapped[str] = mapped_column(String(20), primary_key=True)


@pytest.fixture
def shop(w, tmp_path):
    """w with the namespace OrderMapper (a purge whose filter is optional) and its mapper."""
    (tmp_path / "more").mkdir()
    (tmp_path / "more" / "orders.xml").write_text(PURGE_XML, encoding="utf-8")
    w.WispConfig._instance.scan_mapper_xml(str(tmp_path / "more"))

    class OrderMapper(w.BaseMapper[User]):
        def purge(self, age=None) -> int: ...
        def purg(self, age=None) -> int: ...
        def real(self): return "ran"

        def described(self):
            """Only a docstring."""
            pass

    return OrderMapper()


# --- Loud mistakes ---------------------------------------------------------------------------

@pytest.mark.parametrize("call, message", [
    (lambda m: m.purge(aeg=10), "OrderMapper.purge() got an unexpected keyword argument 'aeg'"),
    (lambda m: m.purge(10, 20),
     "OrderMapper.purge() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda m: count_from(aeg=1), "count_from() got an unexpected keyword argument 'aeg'"),
    (lambda m: people_from(1, None, 3),
     "people_from() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda m: purge(stauts="x"), "purge() got an unexpected keyword argument 'stauts'"),
    (lambda m: add_all([{"name": "x", "age": 1}], 5),
     "add_all() takes 1 positional argument but 2 were given"),
    (lambda m: m.purg(10), "OrderMapper.purg is declared by its signature alone, but the mapper "
                           "namespace 'OrderMapper' has no statement with the id 'purg'"),
    (lambda m: m.described(), "OrderMapper.described is declared by its signature alone, but the "
                              "mapper namespace 'OrderMapper' has no statement with the id "
                              "'described'"),
    (lambda m: type("OrderMapperr", (type(m),), {})().purge(), "OrderMapperr.purge is declared by "
     "its signature alone, but no mapper file defines the namespace 'OrderMapperr'"),
])
def test_a_call_that_cannot_be_meant_runs_nothing(shop, call, message):
    with pytest.raises((TypeError, NotImplementedError)) as info:
        call(shop)
    assert str(info.value).endswith(message)
    assert isinstance(info.value, NotImplementedError) == ("declared" in message)
    assert len(shop.select_all()) == 5
    # what the signature takes, *args and **kwargs included, and a real body run
    assert (shop.real(), names_from(40, 1, 2, anything=3)) == ("ran", ["u4", "u5"])


def test_a_missing_mapper_directory_is_refused(wisp_registry, tmp_path):
    w = wisp_registry
    with pytest.raises(FileNotFoundError) as info:
        w.WispConfig(w.DBConfig(None, str(tmp_path / "mapers"), a=sqlite(tmp_path / "a.db")))
    assert info.value.filename == str(tmp_path / "mapers") and not w.WispConfig._initialized


@pytest.mark.parametrize("call", [
    lambda w: w.switch_datasource("main").__enter__(),
    lambda w: w.db_session().__enter__(),
    lambda w: mapper_for(w, User).select_all(),
    lambda w: names_from(1),
])
def test_use_before_configuration_says_so(wisp_registry, call):
    with pytest.raises(TypeError) as info:
        call(wisp_registry)
    assert info.value.__notes__ == [
        "wisp is not configured yet: construct WispConfig(DBConfig(...)) before using data "
        "sources, mappers or statement decorators"]


def test_an_unknown_data_source_is_named(w):
    with pytest.raises(ValueError) as info:
        w.switch_datasource("archiv").__enter__()
    assert (str(info.value), info.value.__notes__) == (
        "Unknown data source", ["no data source 'archiv' is registered"])
    with pytest.raises(KeyError) as info:  # configured: no note
        w.db_session("archiv").__enter__()
    assert not hasattr(info.value, "__notes__")


def test_keys_are_taken_as_the_key_column_needs_them(w):
    users, codes = mapper_for(w, User), mapper_for(w, Code)
    Codes.metadata.create_all(w.BaseMapper.datasource["main"]["db"])
    codes.save_batch([{"id": "007"}, {"id": "7"}])
    assert users.select_by_id("2").name == "u2" and users.delete_by_id("2") == 1
    assert codes.select_by_id("007").id == "007" and codes.delete_by_id("007") == 1
    assert [c.id for c in codes.select_all()] == ["7"]


# --- Honest types ----------------------------------------------------------------------------

def test_mapped_methods_return_what_their_annotations_say(w):
    class UserMapper(w.BaseMapper[User]):
        def older_models(self, age) -> User | None: ...

        def older(self, age, page: Page | None = None) -> Optional[Person]: ...

        def by_name(self, name) -> list[dict[str, Any]]: ...

        def by_age(self, age, page: Page | None = None) -> PageResult[dict[str, Any]]: ...

    m = UserMapper()
    assert m.older_models(40).name == "u4" and m.older_models(99) is None
    assert m.older(50) == Person(5, "u5", 50) and m.older(99) is None
    assert m.by_name("u2") == [{"name": "u2", "age": 20}]
    assert m.by_age(30, Page(2, 2)) == {"pageNum": 2, "pageSize": 2, "total": 3,
                                        "list": [{"name": "u5"}]}
    assert m.by_age(50) == {"pageNum": 1, "pageSize": 10, "total": 1, "list": [{"name": "u5"}]}
    UserMapper.older.__annotations__["return"] = PageResult[Person]
    assert UserMapper().older(40, Page(1, 2)) == people_from(40, Page(1, 2)) == {
        "pageNum": 1, "pageSize": 2, "total": 2, "list": [Person(4, "u4", 40), Person(5, "u5", 50)]}


def test_a_text_return_annotation_is_resolved_on_its_own(w, tmp_path, monkeypatch):
    (tmp_path / "checked_only.py").write_text(  # Decimal: a name for the type checker alone
        "from __future__ import annotations\nfrom typing import TYPE_CHECKING\n"
        "from mapper_models import Person, User\nfrom wisp.wisp import BaseMapper\n"
        "if TYPE_CHECKING:\n    from decimal import Decimal\n"
        "class UserMapper(BaseMapper[User]):\n    def older(self, age: Decimal) -> list[Person]: ...\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    import checked_only

    assert checked_only.UserMapper().older(50) == [Person(5, "u5", 50)]


def test_signatures_follow_the_class_and_do_not_keep_it(w):
    class UserMapper(w.BaseMapper[User]):
        def by_name(self, name) -> list: ...

    assert UserMapper().by_name("u1") == [{"name": "u1", "age": 10}]

    def by_name(self, who, name=None) -> list: ...

    UserMapper.by_name = by_name  # replaced after the first use
    assert UserMapper().by_name("u3", "u2") == [{"name": "u2", "age": 20}]
    ref = weakref.ref(UserMapper)
    del UserMapper, by_name
    gc.collect()
    assert ref() is None


# --- Data written is the data given ---------------------------------------------------------

@pytest.mark.parametrize("load", ["expired", "deferred"])
def test_an_instance_is_read_through_inspection(w, load):
    m = mapper_for(w, User)
    with w.db_session() as session:
        if load == "expired":
            user = session.get(User, 3)
            session.expire(user)
        else:
            user = session.scalars(select(User).options(defer(User.age)).where(User.id == 3)).one()
        with w.switch_datasource("other"):  # a row copied between data sources keeps its key
            assert m.insert(user) == 3 and m.select_by_id(3).age == 30
    with pytest.raises(TypeError, match=r"^Data type <class 'mapper_models.Tag'> is not supported"):
        m.insert(Tag(code="t", label="T"))


@pytest.mark.parametrize("how", ["insert", "save_batch"])
def test_a_given_key_and_none_are_written_and_the_callers_dict_is_not_changed(w, how):
    m = mapper_for(w, User)
    given = [{"id": 42, "name": "copy", "age": None},
             collections.OrderedDict([("id", None), ("name", "od"), ("age", 6)])]
    before = [dict(d) for d in given]
    # MySQL and SQLite go on after the highest key; a PostgreSQL sequence does not see the
    # given one and gives its next value.
    after = 6 if w.BaseMapper.datasource["main"]["db"].dialect.name == "postgresql" else 43
    if how == "insert":
        assert [m.insert(d) for d in given] == [42, after]
    else:
        m.save_batch(given)
    assert [dict(d) for d in given] == before and type(given[1]) is collections.OrderedDict
    assert sorted(w.rows("SELECT id, name, age FROM users WHERE id > 5")) == sorted([
        (42, "copy", None), (after, "od", 6)])


@pytest.mark.filterwarnings("ignore:Selection of the SingletonThreadPool")
@pytest.mark.parametrize("name", ["100%41.db", "q?x.db", "file:memdb1?mode=memory&uri=true"])
def test_sqlite_opens_the_database_named(wisp_registry, tmp_path, name):
    w = wisp_registry
    path = name if name.startswith("file:") else str(tmp_path / name)
    with contextlib.redirect_stdout(None):
        w.WispConfig(w.DBConfig(a=sqlite(path)))
    for sql in ("CREATE TABLE t (x INTEGER)", "INSERT INTO t VALUES (7)"):
        with w.db_session() as session:
            session.execute(text(sql))
    with w.db_session() as session:  # a URI's in-memory database lives on in its connection
        assert session.execute(text("SELECT x FROM t")).scalar() == 7
    assert os.listdir(tmp_path) == ([] if name.startswith("file:") else [name])


@pytest.mark.mariadb
def test_mysql_opens_the_database_named(wisp_registry, mariadb_server):
    with contextlib.closing(mariadb_server.root_connect()) as conn, conn.cursor() as cur:
        cur.execute("CREATE DATABASE IF NOT EXISTS `wisp%41`")
        cur.execute("GRANT ALL PRIVILEGES ON `wisp%41`.* TO 'wisp'@'%'")
    w = wisp_registry
    with contextlib.redirect_stdout(None):
        w.WispConfig(w.DBConfig(s=dict(mariadb_server.config, database="wisp%41")))
    with w.db_session() as session:
        assert session.execute(text("SELECT DATABASE()")).scalar() == "wisp%41"


def test_quiet_start_up_and_pool_options(wisp_registry, tmp_path, capsys, monkeypatch):
    w, made, create_engine = wisp_registry, [], wisp_registry.create_engine
    monkeypatch.setattr(w, "create_engine", lambda url, **kw: made.append(kw) or create_engine(
        url, **kw))
    own = {"pool_size": 3, "max_overflow": 0, "pool_recycle": 60, "pool_pre_ping": False,
           "echo": True}
    w.WispConfig(w.DBConfig(a=dict(sqlite(tmp_path / "a.db"), **own), b=sqlite(tmp_path / "b.db"),
                            primary="a"), quiet=True)
    record = w.DataSource("sqlite", sqlite_path="c.db", pool_size=4)
    w.WispConfig.add_datasource_config("c", record)
    defaults = {"echo": False, "pool_size": 10, "max_overflow": 30, "pool_recycle": 1800,
                "pool_pre_ping": True}
    assert made == [own, defaults, dict(defaults, pool_size=4)] and capsys.readouterr().out == ""
    assert w.WispConfig.datasource["a"]["db"].pool.size() == 3
    assert repr(record) == ("DataSource(db_type='sqlite', host=None, port=None, user=None, "
                            "password=None, database=None, sqlite_path='c.db', pool_size=4)")
