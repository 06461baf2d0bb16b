"""wisp.wisp statement decorators: binding a call to its SQL, the result-shaping table on SQLite
and MariaDB, the signature and type hints kept between calls, memory."""

import contextlib
import inspect
import sys
import types
from typing import Any, Dict, List

import pytest

import memcheck
from mapper_models import Person, w  # noqa: F401  (w: the fixture)
from wisp.db.query_runner import Page

ALL = "SELECT id, name, age FROM users WHERE id >= #{low} ORDER BY id"
ONE = "SELECT name FROM users WHERE id >= #{low} ORDER BY id"
NONE = object()  # no return annotation
SHAPE = None  # rebound by the forward-reference case below


@pytest.fixture
def db(w):
    """mapper_models' `w`: conftest's users u1..u5 (ages 10..50) in the data source "main"."""
    return w


def decorate(factory, sql, annotation=NONE):
    def fn(low, page: Page = None): ...

    if annotation is not NONE:
        fn.__annotations__["return"] = annotation
    return factory(sql)(fn)


# select_one on all columns and on one column, then select_list / select_page on all columns and
# on one column, for the rows with id 4 and 5. row: the row dicts; obj: Person(**row); val: the
# first column; refused: "please check return type: ..."; several: "please check result type";
# int(**row): that call's TypeError; None: no meaningful pair.
SHAPES = [
    (NONE, "row", "row", "row", "row"),
    (dict, "row", "row", "refused", "refused"),
    (Dict, "row", "row", "refused", "refused"),
    (dict[str, Any], "row", "row", "refused", "refused"),
    (Person, "obj", None, "refused", "refused"),
    (list[Person], "obj", None, "obj", None),
    (List[Person], "obj", None, "obj", None),
    (list[dict], "row", "row", "row", "row"),
    (List[Dict], "row", "row", "row", "row"),  # typing's aliases inside as well
    (list[dict[str, Any]], "row", "row", "row", "row"),  # one-column rows stay dicts too
    (List[Dict[str, Any]], "row", "row", "row", "row"),
    (list, "several", "val", "row", "row"),
    (List, "several", "val", "row", "row"),
    (int, "several", "val", "refused", "refused"),
    (list[int], "several", "val", "int(**row)", "val"),
]
ERRORS = {"refused": r"^please check return type: .*, should set list \.\.\.$",
          "several": "^please check result type$", "int(**row)": "int"}


def expect(outcome, rows, call, kind):
    if outcome in ERRORS:
        with pytest.raises(TypeError, match=ERRORS[outcome]):
            call()
    elif outcome is not None:
        shape = {"row": dict, "obj": lambda r: Person(**r), "val": lambda r: next(iter(r.values()))}
        shaped = [shape[outcome](r) for r in rows]
        if kind == "page":
            shaped = {"pageNum": 1, "pageSize": 10, "total": len(rows), "list": shaped}
        assert call() == (shaped[0] if kind == "one" else shaped)


@pytest.mark.parametrize("annotation, one_all, one_one, list_all, list_one", SHAPES,
                         ids=["none" if s[0] is NONE else str(s[0]) for s in SHAPES])
def test_result_shaping_table(db, annotation, one_all, one_one, list_all, list_one):
    for sql, one, many in ((ALL, one_all, list_all), (ONE, one_one, list_one)):
        rows = db.dicts(sql.replace("#{low}", "4"))
        expect(one, rows, lambda: decorate(db.select_one, sql, annotation)(4), "one")
        expect(many, rows, lambda: decorate(db.select_list, sql, annotation)(4), "list")
        expect(many, rows, lambda: decorate(db.select_page, sql, annotation)(4), "page")
    # Nothing matched: nothing to shape, but a wrong list annotation is still refused.
    assert decorate(db.select_one, ALL, annotation)(9) is None
    expect("refused" if list_all == "refused" else "row", [],
           lambda: decorate(db.select_page, ALL, annotation)(9), "page")


def test_binding_writes_and_pages(db):
    @db.insert("INSERT INTO users (name, age) VALUES (#{name}, #{age})")
    def add(name, age, note): ...

    @db.update("UPDATE users SET age = #{age} WHERE id >= #{low}")
    def set_age(low, age=0): ...

    @db.insert_list("INSERT INTO users (name, age) VALUES (#{name}, #{age})")
    def add_all(data: list, tag=None): ...

    class Repo:
        @db.select_page("SELECT name FROM users WHERE id >= #{low} ORDER BY id")
        def names(self, low, page: Page): ...

        @db.select_page("SELECT name FROM users WHERE id >= #{low} ORDER BY id")
        def names_by_value(self, low, p): ...

    # A left-out argument that no placeholder uses is harmless; one that would be sent to the
    # database is refused before anything runs (PyMySQL would store its repr as text).
    assert add("n6", age=60) == 6
    with pytest.raises(TypeError, match=r"^missing a required argument: 'age'$"):
        add(name="n7")
    assert set_age(5, 55) == 2 and set_age(low=7) == 0
    assert db.delete("DELETE FROM users WHERE name = #{name}")(lambda name: 0)("n6") == 1
    assert add_all([{"name": "b1", "age": 1}, {"name": "b2", "age": 2}]) is None
    assert add_all([]) is None  # an empty batch inserts nothing (not one row, no error)
    assert db.insert_list("INSERT INTO users (name) VALUES ('x')")(lambda data: None)([]) is None
    with pytest.raises(TypeError, match=r"^missing a required argument: 'data'$"):
        add_all(tag="x")
    with pytest.raises(KeyError, match="data"):
        db.insert_list("INSERT INTO users (name) VALUES (#{name})")(lambda rows: None)([])
    assert db.dicts("SELECT name, age FROM users WHERE id >= 5 OR age IS NULL ORDER BY id") == [
        {"name": "u5", "age": 55}, {"name": "b1", "age": 1}, {"name": "b2", "age": 2}]
    # The page: left out (the default page), by position, by keyword, or found by its type.
    repo = Repo()
    assert repo.names(5) == {"pageNum": 1, "pageSize": 10, "total": 3,
                             "list": [{"name": "u5"}, {"name": "b1"}, {"name": "b2"}]}
    assert repo.names(1, Page(2, 2))["list"] == [{"name": "u3"}, {"name": "u4"}]
    assert repo.names(low=1, page=Page(3, 2))["list"] == [{"name": "u5"}, {"name": "b1"}]
    assert repo.names_by_value(1, Page(4, 2))["list"] == [{"name": "b2"}]


@pytest.mark.parametrize("sql", [
    "SELECT name FROM users WHERE name LIKE 'u%' AND id >= #{low} ORDER BY id",
    "SELECT name FROM users WHERE name NOT LIKE '%%x' AND id >= #{low} ORDER BY id",
    "SELECT name, 'a%' AS p FROM users WHERE id >= #{low} ORDER BY id",
])
def test_a_literal_percent_survives_the_drivers_placeholders(db, sql):
    rows = db.dicts(sql.replace("#{low}", "4"))
    assert len(rows) == 2 and all(r["name"] in ("u4", "u5") for r in rows)
    assert decorate(db.select_list, sql)(4) == rows
    page = decorate(db.select_page, sql)(4, Page(1, 1))
    assert (page["total"], page["list"]) == (2, rows[:1])
    assert db.update("UPDATE users SET name = 'u5%' WHERE id >= #{low}")(lambda low: 0)(5) == 1
    assert db.dicts("SELECT name FROM users WHERE name LIKE '%!%' ESCAPE '!'") == [{"name": "u5%"}]


def test_parameter_dicts_and_surface(wisp_registry):
    w = wisp_registry
    combine, combine_page = vars(w)["__combine_args"], vars(w)["__combine_args_page"]
    empty, page = inspect.Parameter.empty, Page(3, 4)

    def fn(self, a, b=2, *rest, page: Page, c, **kw): ...

    assert combine(fn, ("s", 1), {"c": 3, "zz": 0}) == {
        "self": "s", "a": 1, "b": 2, "rest": empty, "c": 3, "kw": empty}
    assert combine_page(fn, ["s", 1, 5, 6, page], {}) == (
        {"self": "s", "a": 1, "b": 5, "rest": 6, "c": empty, "kw": empty}, page)
    assert combine_page(fn, (), {"other": page})[1] is None
    wrapped = w.select_list("SELECT 1")(fn)
    assert (wrapped.__name__, wrapped.__wrapped__, inspect.signature(wrapped)) == (
        "fn", fn, inspect.signature(fn))
    with pytest.raises(TypeError, match=r"^Argument 'sql' has incorrect type \(expected str, got int"):
        w.select_one(123)
    with pytest.raises(TypeError, match=r"^Argument 'result' has incorrect type"):
        w.result_type_handle(Person, types.MappingProxyType({"id": 1}))


# The binding reads `len(args)`, `args[index]`, `name in kwargs` and `kwargs[name]`, and only
# for the parameters still unfilled: keywords that are never needed are never looked at.
@pytest.mark.parametrize("args, kwargs, expected", [
    ((1, 2), None, {"a": 1, "b": 2}), ([1, 2, 3], None, {"a": 1, "b": 2}),
    ({0: "x"}, types.MappingProxyType({"b": 20}), {"a": "x", "b": 20})])
def test_combine_args_reads_what_it_binds(wisp_registry, args, kwargs, expected):
    def fn(a, b=2): ...

    assert vars(wisp_registry)["__combine_args_page"](fn, args, kwargs) == (expected, None)
    with pytest.raises(TypeError, match="NoneType"):  # `"b" in None`
        vars(wisp_registry)["__combine_args"](fn, (1,), None)


def test_errors_reach_the_caller(db, monkeypatch):
    def unresolved(id) -> "NoSuchName": ...  # noqa: F821

    name_of = db.select_one("SELECT name FROM users WHERE id = #{id}")(unresolved)
    with pytest.raises(NameError, match="NoSuchName"):  # read after the query has run
        name_of(1)
    monkeypatch.setattr(db.BaseMapper, "default_key", None)
    with pytest.raises(KeyError) as info:
        name_of(1)
    assert info.value.args == (None,)


def other_signature(low=5, *, high=5): ...


def renamed(high=4, *, low=5): ...


# Each case changes, between two calls, something that the signature or the type hints are
# computed from; the next call must see the change.
CHANGES = [
    ("annotations", lambda f, w, mp: f.__annotations__.update({"return": list[dict]}), "dicts"),
    ("defaults", lambda f, w, mp: setattr(f, "__defaults__", (5,)), "row 5"),
    ("keyword defaults", lambda f, w, mp: f.__kwdefaults__.update(high=4), "row 4"),
    # the defaults stay the function's: `low` becomes keyword-only without a default
    ("code", lambda f, w, mp: setattr(f, "__code__", renamed.__code__), "missing low"),
    ("signature", lambda f, w, mp: setattr(f, "__signature__", inspect.signature(other_signature)),
     "row 5"),
    ("wrapped", lambda f, w, mp: setattr(f, "__wrapped__", other_signature), "row 5"),
    ("inspect", lambda f, w, mp: mp.setattr(w, "inspect", types.SimpleNamespace(
        signature=lambda fn: inspect.signature(other_signature))), "row 5"),
    ("get_type_hints", lambda f, w, mp: mp.setattr(w, "get_type_hints", lambda fn: {}), "dicts"),
    ("forward reference", lambda f, w, mp: mp.setattr(sys.modules[__name__], "SHAPE", dict),
     "dicts"),
]


@pytest.mark.parametrize("backend", ["sqlite"], indirect=True)
@pytest.mark.parametrize("name, change, after", CHANGES, ids=[c[0] for c in CHANGES])
def test_kept_signature_and_hints_follow_changes(db, monkeypatch, name, change, after):
    monkeypatch.setattr(sys.modules[__name__], "SHAPE", Person)

    def find(low=4, *, high=5) -> list[Person]: ...

    if name == "forward reference":
        find.__annotations__["return"] = "list[SHAPE]"
    wrapper = db.select_list("SELECT * FROM users WHERE id >= #{low} AND id <= #{high}")(find)
    assert wrapper() == wrapper() == [Person(4, "u4", 40), Person(5, "u5", 50)]
    change(find, db, monkeypatch)
    if after == "missing low":
        with pytest.raises(TypeError, match="^missing a required argument: 'low'$"):
            wrapper()
    else:
        expected = {"dicts": db.dicts("SELECT * FROM users WHERE id >= 4 ORDER BY id"),
                    "row 4": [Person(4, "u4", 40)], "row 5": [Person(5, "u5", 50)]}[after]
        assert wrapper() == wrapper() == expected


# The module functions a wrapper runs in its own body while they are the module's own: a
# replaced one is called (per row for the row handling), and gives what the original gives.
REPLACEABLE = [("__combine_args", "select_list", 2), ("__combine_args_page", "select_page", 2),
               ("_prepare_sql", "select_one", 2), ("result_type_handle", "select_list", 4),
               ("is_result_class", "select_page", 4)]


@pytest.mark.parametrize("backend", ["sqlite"], indirect=True)
@pytest.mark.parametrize("name, factory, calls", REPLACEABLE, ids=[r[0] for r in REPLACEABLE])
def test_a_replaced_module_function_is_called(db, monkeypatch, name, factory, calls):
    wrapper = decorate(getattr(db, factory), ALL, list[Person])
    expected = wrapper(4)
    real, seen = getattr(db, name), []
    monkeypatch.setattr(db, name, lambda *a: seen.append(a) or real(*a))
    assert wrapper(4) == wrapper(4) == expected and len(seen) == calls


class StandInGateway:
    """Answers as the gateway does, without a round trip, so that a few hundred thousand wrapper
    calls run in seconds (the real path is checked after them)."""

    def select_one(self, sql, binds):
        return {"id": 1, "name": "stand-in", "age": 0}

    def select_list(self, sql, binds):
        return [self.select_one(sql, binds), {"id": 2, "name": "u2", "age": 20}]

    def select_page(self, sql, page, binds):
        return {"pageNum": 1, "pageSize": 2, "total": 2, "list": self.select_list(sql, binds)}


@pytest.mark.parametrize("backend", ["sqlite"], indirect=True)
def test_memory_flat_over_decorated_calls(db):
    one, many = decorate(db.select_one, ALL, Person), decorate(db.select_list, ALL, list[Person])
    paged = decorate(db.select_page, ONE, list[dict[str, Any]])
    unkept = decorate(db.select_list, ALL, "list[Person]")
    refused = decorate(db.select_list, ALL, Person)
    add = db.insert("INSERT INTO users (name, age) VALUES (#{name}, #{age})")(lambda name, age: 0)

    def calls(n):
        for i in range(n):
            one(i), many(i), paged(i, Page(1, 2)), unkept(i)
            for failing in (lambda: refused(i), lambda: add("x")):
                with contextlib.suppress(TypeError):
                    failing()

    registry = db.BaseMapper.datasource
    registry["stand-in"] = {"db": None, "db_gateway": StandInGateway(), "mapper_dict": {}}
    try:
        # the data source in force when the function is called is the one it runs on
        assert db.datasource("stand-in")(one)(1).name == "stand-in"
        with db.switch_datasource("stand-in"):
            assert one(1).name == "stand-in"
            calls(1000)
            # traced memory over fewer calls (tracing is slow), resident memory over many
            memcheck.assert_flat(lambda: calls(2000), rss_limit=None, what="decorated calls")
            memcheck.assert_flat(lambda: calls(12_000), traced_limit=None, what="decorated calls")
    finally:
        del registry["stand-in"]
    assert one(1).name == "u1"
    calls(20)
    memcheck.assert_flat(lambda: calls(100), what="decorated calls on SQLite")
