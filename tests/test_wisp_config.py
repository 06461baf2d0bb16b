"""wisp.wisp configuration: DataSource, DBConfig and the WispConfig registry, with engines
created for an SQLite file, an in-memory SQLite database and the suite's MariaDB and
PostgreSQL servers."""

import dataclasses
import os
import pickle

import pytest
from sqlalchemy import create_engine, text

from conftest import SPECIAL_PASSWORD


class StrSub(str):
    pass


def sqlite(path):
    return {"db_type": "sqlite", "sqlite_path": str(path)}


MYSQL = {"db_type": "mysql", "host": "127.0.0.1", "port": 3306, "user": "wisp",
         "password": "abc123", "database": "wisp_test"}
POSTGRES = dict(MYSQL, db_type="postgresql", port=5432)
FIVE = [("pool_size", 10), ("max_overflow", 30), ("pool_recycle", 1800), ("pool_pre_ping", True)]
MEMORY = [("pool_size", 10), ("pool_pre_ping", True)]


@pytest.fixture
def engines(wisp_registry, monkeypatch):
    """Records every create_engine call of the module (URL, keywords in order)."""
    calls = []

    def recording(url, **kw):
        calls.append((url, list(kw.items())))
        return create_engine(url, **kw)

    monkeypatch.setattr(wisp_registry, "create_engine", recording)
    return calls


@pytest.mark.parametrize("args, kwargs, exc, message", [
    ((), {}, Exception, "please set datasource !"),
    ((), {"a": {k: v for k, v in MYSQL.items() if k not in ("port", "user")}},
     Exception, "port not exist !"),
    ((), {"a": {k: v for k, v in POSTGRES.items() if k != "database"}},
     Exception, "database not exist !"),
    ((), {"a": sqlite("a.db"), "b": sqlite("b.db")}, Exception, "datasource None not exist !"),
    (("",), {"a": sqlite("a.db"), "b": sqlite("b.db")}, Exception, "datasource  not exist !"),
    (("c",), {"a": sqlite("a.db"), "b": sqlite("b.db")}, Exception, "datasource c not exist !"),
    ((), {"a": {"db_type": "oracle"}}, Exception, "datasource None not exist !"),
    ((), {"a": {"db_type": "sqlite"}}, KeyError, "'sqlite_path'"),
    ((StrSub("a"),), {"a": sqlite("a.db")}, TypeError,
     "Argument 'primary' has incorrect type (expected str, got StrSub)"),
    ((None, 5), {"a": sqlite("a.db")}, TypeError,
     "Argument 'mapper_xml_path' has incorrect type (expected str, got int)"),
])
def test_dbconfig_refusals(wisp_registry, args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        wisp_registry.DBConfig(*args, **kwargs)
    assert type(info.value) is exc and str(info.value) == message


@pytest.mark.parametrize("primary, kwargs, chosen, names", [
    ("b", {"a": sqlite("a.db"), "b": sqlite("b.db")}, "b", ["a", "b"]),
    ("nope", {"a": sqlite("a.db")}, "a", ["a"]),
    (None, {"x": 5, "a": sqlite("a.db"), "y": {"host": 1}, "z": {"db_type": "pg"}}, "a", ["a"]),
    (None, {"m": MYSQL}, "m", ["m"]),
    ("p", {"m": MYSQL, "p": dict(POSTGRES, extra=1)}, "p", ["m", "p"]),
])
def test_dbconfig_primary_and_records(wisp_registry, primary, kwargs, chosen, names):
    config = wisp_registry.DBConfig(primary, None, 1, **kwargs)
    assert (config.primary, list(config.ds), config.raw_sql) == (chosen, names, True)
    record = config.ds[chosen]
    assert dataclasses.asdict(record) == {
        f.name: kwargs[chosen].get(f.name) for f in dataclasses.fields(record)}


@pytest.mark.parametrize("db_type", ["mysql", "postgresql"])
def test_datasource_repr_hides_only_the_password(wisp_registry, db_type):
    DataSource = wisp_registry.DataSource
    shown = DataSource(db_type, "h", 1, "u", "secret", "d")
    assert repr(shown) == (f"DataSource(db_type='{db_type}', host='h', port=1, user='u', "
                           "password='***', database='d', sqlite_path=None)")
    assert "password=None" in repr(DataSource("sqlite", sqlite_path="x"))
    assert shown == DataSource(db_type, "h", 1, "u", "secret", "d")
    assert shown != DataSource(db_type, "h", 1, "u", "other", "d")
    assert [f.name for f in dataclasses.fields(DataSource)][4] == "password"


def test_singleton_registry_and_published_attributes(wisp_registry, tmp_path, capsys):
    w = wisp_registry
    first = w.WispConfig(w.DBConfig("b", a=sqlite(tmp_path / "a.db"), b=sqlite(tmp_path / "b.db")))
    assert capsys.readouterr().out.count("DataSource(") == 2
    second = w.WispConfig(w.DBConfig(c=sqlite(tmp_path / "c.db"), raw_sql=True))
    assert second is first and capsys.readouterr().out == ""
    registry = w.WispConfig.datasource
    assert list(registry) == ["a", "b"] and w.BaseMapper.datasource is registry
    assert (w.BaseMapper.default_key, w.BaseMapper.raw_sql, w.WispConfig._initialized) == (
        "b", False, True)
    for entry in registry.values():
        assert list(entry) == ["db", "db_gateway", "mapper_dict"]
        assert entry["mapper_dict"] is w.WispConfig.wisp_mapper_dict
        assert isinstance(entry["db_gateway"], w.WispDbGateway)
        assert entry["db_gateway"].data_source is entry["db"]


def test_type_variable_belongs_to_the_module(wisp_registry):
    T = wisp_registry.T
    assert (T.__module__, T.__bound__) == ("wisp.wisp", wisp_registry.DeclarativeBase)
    assert pickle.loads(pickle.dumps(T)) is T


def write_mapper(path, namespace):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(f'<mapper namespace="{namespace}"><select id="q">SELECT 1</select></mapper>')


def test_mapper_scan_is_recursive_and_shared(wisp_registry, tmp_path):
    w = wisp_registry
    write_mapper(tmp_path / "m" / "a.xml", "A")
    write_mapper(tmp_path / "m" / "x" / "y" / "z" / "b.XML", "B")
    write_mapper(tmp_path / "m" / "notes_xml", "C")
    (tmp_path / "m" / "readme.txt").write_text("not a mapper")
    config = w.WispConfig(w.DBConfig(None, str(tmp_path / "m"), a=sqlite(tmp_path / "a.db")))
    assert sorted(w.WispConfig.wisp_mapper_dict) == ["A", "B", "C"]
    found = config._WispConfig__list_mapper(str(tmp_path / "m"), "XML")
    assert sorted(os.path.basename(p) for p in found) == ["a.xml", "b.XML", "notes_xml"]
    write_mapper(tmp_path / "more" / "d.xml", "D")
    write_mapper(tmp_path / "more" / "a2.xml", "A")
    before = w.WispConfig.wisp_mapper_dict["A"]
    config.scan_mapper_xml(str(tmp_path / "more"))
    mappers = w.BaseMapper.datasource["a"]["mapper_dict"]
    assert sorted(mappers) == ["A", "B", "C", "D"] and mappers["A"] is not before


@pytest.mark.parametrize("path", ["", None])
def test_unset_mapper_directory_loads_nothing(wisp_registry, tmp_path, path):
    w = wisp_registry
    w.WispConfig(w.DBConfig(None, path, a=sqlite(tmp_path / "a.db")))
    assert w.WispConfig.wisp_mapper_dict == {} and list(w.BaseMapper.datasource) == ["a"]


@pytest.mark.parametrize("via", ["config", "added"])
@pytest.mark.parametrize("record, options", [
    (MYSQL, FIVE),
    (dict(MYSQL, user="us@r:1", password=SPECIAL_PASSWORD, port="3306"), FIVE),
    ({"db_type": "sqlite", "sqlite_path": "/tmp/wisp file.db"}, FIVE),
    ({"db_type": "sqlite", "sqlite_path": ":memory:"}, MEMORY),
    ({"db_type": "sqlite", "sqlite_path": ""}, MEMORY),
    (POSTGRES, FIVE),
    (dict(POSTGRES, user="us@r:1", password=SPECIAL_PASSWORD, database="d b/%41?", port="6543"),
     FIVE),
])
def test_engine_urls_and_options(wisp_registry, engines, via, record, options):
    w = wisp_registry
    if via == "config":
        w.WispConfig(w.DBConfig(s=record, raw_sql=True))
    else:
        w.WispConfig.add_datasource_config("s", w.DataSource(**record))
    [(made, given)] = engines
    assert given == [("echo", via == "config")] + options
    assert not made.query
    if record["db_type"] == "sqlite":
        assert (made.drivername, made.database) == ("sqlite", record["sqlite_path"])
    else:
        driver = {"mysql": "mysql+pymysql", "postgresql": "postgresql+psycopg"}[record["db_type"]]
        assert (made.drivername, made.username, made.password, made.host, made.port,
                made.database) == (driver, record["user"], record["password"], "127.0.0.1",
                                   int(record["port"]), record["database"])


def test_add_and_remove_at_run_time(wisp_registry, tmp_path, capsys):
    w = wisp_registry
    w.WispConfig(w.DBConfig(a=sqlite(tmp_path / "a.db")))
    capsys.readouterr()
    entry = w.BaseMapper.datasource["a"]
    w.WispConfig.add_datasource_config("a", w.DataSource("sqlite", sqlite_path="other.db"))
    assert capsys.readouterr().out == "datasource: a exist, continue !\n"
    assert w.BaseMapper.datasource["a"] is entry
    w.WispConfig.remove_datasource("zz")
    w.WispConfig.remove_datasource("a")
    assert "a" not in w.BaseMapper.datasource
    w.WispConfig.add_datasource_config("a", w.DataSource("sqlite", sqlite_path=str(tmp_path / "a.db")))
    assert w.BaseMapper.datasource["a"]["db"] is not entry["db"]
    entry["db"].dispose()
    bad = w.DataSource("pg", password="secret")
    with pytest.raises(Exception) as info:
        w.WispConfig.add_datasource_config("p", bad)
    assert str(info.value) == repr(bad) + " db_type is not MysqlConfig or SqliteConfig !"
    assert "secret" not in str(info.value) and capsys.readouterr().out == ""


def test_unknown_type_at_construction_keeps_earlier_entries(wisp_registry, tmp_path, capsys):
    w = wisp_registry
    config = w.DBConfig(a=sqlite(tmp_path / "a.db"), b=sqlite(tmp_path / "b.db"), primary="a")
    config.ds["b"] = w.DataSource("pg", password="secret")
    with pytest.raises(Exception) as info:
        w.WispConfig(config)
    assert str(info.value) == repr(config) + " is not MysqlConfig or SqliteConfig !"
    assert "secret" not in capsys.readouterr().out + str(info.value)
    assert list(w.WispConfig.datasource) == ["a"] and w.WispConfig._initialized is False


def test_in_memory_sqlite_is_usable_from_the_configuring_thread(wisp_registry):
    w = wisp_registry
    w.WispConfig(w.DBConfig(m={"db_type": "sqlite", "sqlite_path": ":memory:"}))
    with w.db_session("m") as s:
        s.execute(text("CREATE TABLE t (x INTEGER)"))
    with w.db_session("m") as s:
        s.execute(text("INSERT INTO t VALUES (7)"))
    with w.db_session() as s:
        assert s.execute(text("SELECT x FROM t")).scalars().all() == [7]


# The server's special user, and who and where the server says a session of it is.
SPECIAL_USERS = {
    "mariadb": ("mariadb_special_user", "SELECT CURRENT_USER()",
                lambda c, said: said.startswith("wisp_special@")),
    "postgresql": ("postgres_special_user", "SELECT current_user || ' ' || current_database()",
                   lambda c, said: said == c["user"] + " " + c["database"]),
}


@pytest.mark.parametrize("server", [pytest.param("mariadb", marks=pytest.mark.mariadb),
                                    pytest.param("postgresql", marks=pytest.mark.postgresql)])
@pytest.mark.parametrize("via", ["config", "added"])
def test_server_user_with_reserved_characters_connects(wisp_registry, request, tmp_path, via,
                                                       server):
    w = wisp_registry
    fixture, sql, is_special = SPECIAL_USERS[server]
    special = request.getfixturevalue(fixture)
    if via == "config":
        w.WispConfig(w.DBConfig(s=special))
    else:
        w.WispConfig(w.DBConfig(a=sqlite(tmp_path / "a.db")))
        w.WispConfig.add_datasource_config("s", w.DataSource(**special))
    with w.db_session("s") as s:
        assert is_special(special, s.execute(text(sql)).scalar())
