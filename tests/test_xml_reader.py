"""wisp.mapper.xml_reader: module surface, mapper documents and statement index,
statement methods and prepared statements."""

import collections
import inspect
import pathlib
import re
import xml.etree.ElementTree as et

import pytest
import sqlalchemy
from sqlalchemy import TextClause, create_engine

from wisp.mapper import xml_reader
from wisp.mapper.xml_reader import ParseMapper
from wisp.utils import class_probe

MAPPERS = pathlib.Path(__file__).parent / "mappers"
ARG_MSG = "Argument '{}' has incorrect type (expected {}, got {})"
PREPARED = tuple[TextClause, dict]


def load(name):
    return ParseMapper(str(MAPPERS / name))


@pytest.fixture(scope="module")
def users():
    return load("user_mapper.xml")


class StrSub(str):
    pass


class DictSub(dict):
    pass


# ---------------------------------------------------------------------------
# Module surface


def test_module_globals_in_binding_order():
    names = [n for n in vars(xml_reader) if not n.startswith("__")]
    assert names == ["re", "et", "text", "TextClause", "get_type_from_string",
                     "is_container_type_by_str", "sql_id_type_list", "param_pattern",
                     "replace_pattern", "ParseMapper", "MapperProblem", "check_mappers"]
    assert (xml_reader.re, xml_reader.et) == (re, et)
    assert (xml_reader.text, xml_reader.TextClause) == (sqlalchemy.text, TextClause)
    assert xml_reader.get_type_from_string is class_probe.get_type_from_string
    assert xml_reader.is_container_type_by_str is class_probe.is_container_type_by_str
    assert xml_reader.sql_id_type_list == ["sql", "select", "insert", "update", "delete"]
    assert xml_reader.param_pattern.pattern == r"#{([a-zA-Z0-9_\-]+)}"
    assert xml_reader.replace_pattern.pattern == r"\${([a-zA-Z0-9_\-]+)}"


SIGNATURES = [
    ("__init__", False, "(self, xml_path: str = None)", {"xml_path": str}),
    ("get_sql", False, "(self, sql_id: str, params: dict = None) -> tuple",
     {"sql_id": str, "params": dict, "return": tuple}),
    ("list_statement", False, "(self)", {}),
    ("_trim_prefix", True, "(s: str, prefixes: set[str])", {"s": str, "prefixes": set[str]}),
    ("_trim_suffix", True, "(s: str, suffixes: set[str])", {"s": str, "suffixes": set[str]}),
    ("parse_element", False, "(self, element: 'et.Element', param: dict)",
     {"element": "et.Element", "param": dict}),
    ("_format_sql", True, "(sql)", {}),
    ("to_prepared_statement", True, None, {"return": PREPARED}),
    ("to_replace", True, "(ret, param) -> str", {"return": str}),
    ("select", False, None, {"id": str, "params": dict, "return": PREPARED}),
    ("update", False, None, {"id": str, "params": dict, "return": PREPARED}),
    ("delete", False, None, {"id": str, "params": dict, "return": PREPARED}),
    ("insert", False, None, {"id": str, "params": dict, "primary_key": str, "return": PREPARED}),
]


def test_class_defines_its_methods_in_order():
    assert ParseMapper.__bases__ == (object,)
    own = [n for n in vars(ParseMapper) if n == "__init__" or not n.startswith("__")]
    assert own == [name for name, *_ in SIGNATURES]
    assert ParseMapper.__module__ == "wisp.mapper.xml_reader"


@pytest.mark.parametrize("name, static, signature, annotations", SIGNATURES)
def test_method_kind_signature_and_annotations(name, static, signature, annotations):
    assert isinstance(vars(ParseMapper)[name], staticmethod) is static
    fn = getattr(ParseMapper, name)
    if signature:
        assert str(inspect.signature(fn)) == signature
    assert fn.__annotations__ == annotations
    assert fn.__doc__ is None or name == "get_sql"


def test_get_sql_docstring():
    assert ParseMapper.get_sql.__doc__ == (
        "\n        Get SQL Statement By sql_id\n        Formatting of SQL Statements\n"
        "        :return:\n        ")


@pytest.mark.parametrize("call, name, expected, given", [
    (lambda m: ParseMapper(pathlib.Path("x.xml")), "xml_path", "str", "PosixPath"),
    (lambda m: m.get_sql(1), "sql_id", "str", "int"),
    (lambda m: m.get_sql("find_all"), "params", "dict", "NoneType"),
    (lambda m: m.select("find_all", DictSub()), "params", "dict", "DictSub"),
    (lambda m: m.update(StrSub("rename"), {}), "id", "str", "StrSub"),
    (lambda m: m.insert("add", {}, 1), "primary_key", "str", "int"),
    (lambda m: m.parse_element(et.Element("if"), []), "param", "dict", "list"),
    (lambda m: ParseMapper._trim_prefix("a", frozenset()), "prefixes", "set", "frozenset"),
    (lambda m: ParseMapper._trim_suffix(b"a", set()), "s", "str", "bytes"),
])
def test_arguments_are_checked_on_entry(users, call, name, expected, given):
    with pytest.raises(TypeError, match=re.escape(ARG_MSG.format(name, expected, given))) as info:
        call(users)
    subclass = given in ("DictSub", "StrSub")
    assert bool(getattr(info.value, "__notes__", None)) is subclass


# ---------------------------------------------------------------------------
# Mapper documents and the statement index


def test_index_of_a_mapper_document(users):
    ids = ["columns", "find_all", "count", "as_dict", "ordered", "younger_than", "wrapper",
           "add", "rename", "remove", "dup"]
    assert users.namespace == "UserMapper"
    assert list(users.id_2_element_map) == list(users.result_type_map) == ids
    assert list(users.sql_type_map) == ids
    assert list(users.list_statement()) == ids
    view = users.list_statement()
    assert type(view) is type({}.keys()) and view.mapping == users.id_2_element_map
    assert users.sql_type_map["columns"] == "sql"
    assert all(type(el) is et.Element for el in users.id_2_element_map.values())
    # A repeated id: the later statement in all three dicts, at the first position.
    assert users.sql_type_map["dup"] == "delete"
    assert users.id_2_element_map["dup"].text == "DELETE FROM users"


@pytest.mark.parametrize("sql_id, result_type", [
    ("find_all", dict), ("count", int), ("as_dict", dict),
    ("ordered", collections.OrderedDict), ("add", dict), ("columns", dict),
])
def test_result_types(users, sql_id, result_type):
    assert users.result_type_map[sql_id] is result_type


@pytest.mark.parametrize("name, namespace, ids", [
    ("nested_mapper.xml", "Nested", ["inside", "frag"]),
    ("no_mapper.xml", None, ["one", "purge"]),
    ("anonymous_mapper.xml", None, ["one"]),
    # Tags in an XML namespace carry the URI and match nothing.
    ("xml_namespace.xml", None, []),
])
def test_which_element_is_the_mapper(name, namespace, ids):
    m = load(name)
    assert list(m.list_statement()) == ids
    if namespace is None:
        with pytest.raises(AttributeError):
            m.namespace
    else:
        assert m.namespace == namespace


@pytest.mark.parametrize("name, exc, message", [
    ("missing_id.xml", Exception, "Missing id"),
    ("missing_id_list_result.xml", TypeError, "please check result_type: can`t set type: list"),
    ("list_result.xml", TypeError, "please check result_type: can`t set type: list"),
    ("unknown_result.xml", ValueError, "未知的类型: NoSuchType"),
    ("malformed.xml", et.ParseError, "mismatched tag: line 4, column 2"),
    ("absent.xml", FileNotFoundError, "absent.xml"),
    (None, TypeError, "NoneType"),
])
def test_broken_documents(name, exc, message):
    with pytest.raises(exc) as info:
        ParseMapper(name and str(MAPPERS / name))
    assert type(info.value) is exc
    assert message in str(info.value)


# ---------------------------------------------------------------------------
# Statement methods and get_sql


def test_get_sql_returns_statement_binds_kind_and_result_type(users):
    clause, binds, kind, result_type = users.get_sql(sql_id="count", params={})
    assert (type(clause), clause.text, binds, kind, result_type) == (
        TextClause, "SELECT COUNT(*) FROM users", {}, "select", int)
    clause, binds, kind, result_type = users.get_sql("add", {"name": "a", "age": 3})
    assert clause.text == "INSERT INTO users (name, age) VALUES (:name, :age)"
    assert (binds, kind, result_type) == ({"name": "a", "age": 3}, "insert", dict)


@pytest.mark.parametrize("call, message", [
    (lambda m: m.get_sql("nope", {}), "Missing id"),
    (lambda m: m.get_sql("columns", {}), "Not a delete"),
    (lambda m: m.select("nope", {}), "Missing id"),
    (lambda m: m.update("find_all", {}), "Not an update"),
    (lambda m: m.select("remove", {}), "Not a select"),
    (lambda m: m.insert("find_all", {}), "Not an insert"),
    (lambda m: m.delete("rename", {}), "Not a delete"),
])
def test_statement_lookup_failures(users, call, message):
    with pytest.raises(Exception) as info:
        call(users)
    assert type(info.value) is Exception and info.value.args == (message,)


def test_statement_text_and_cdata(users):
    clause, binds = users.select("younger_than", {"max_age": 30, "unused": 1})
    assert clause.text == "SELECT name FROM users WHERE age < :max_age AND name <> 'x  y'"
    assert binds == {"max_age": 30}
    # A nested statement tag is rendered as a fragment, never indexed.
    assert users.select("wrapper", {})[0].text == "SELECT name FROM users"


@pytest.mark.parametrize("primary_key, tail", [
    ("id", " RETURNING id"), (None, ""), ("", ""),
])
def test_insert_returning(users, primary_key, tail):
    clause, binds = users.insert("add", {"name": "n", "age": 1}, primary_key)
    assert clause.text == "INSERT INTO users (name, age) VALUES (:name, :age)" + tail
    assert binds == {"name": "n", "age": 1}


def test_subclass_and_class_overrides_are_used(users, monkeypatch):
    class Loud(ParseMapper):
        def parse_element(self, element, param):
            return super().parse_element(element, param).upper()

        @staticmethod
        def to_prepared_statement(ret, param):
            return ParseMapper.to_prepared_statement(ret + " -- loud", param)

    loud = Loud(str(MAPPERS / "user_mapper.xml"))
    assert loud.select("find_all", {})[0].text == "SELECT ID, NAME, AGE FROM users ORDER BY id -- loud"
    monkeypatch.setattr(ParseMapper, "_format_sql", staticmethod(lambda sql: "<" + sql + ">"))
    assert users.select("count", {})[0].text == "<SELECT COUNT(*) FROM users>"


# ---------------------------------------------------------------------------
# Prepared statements


@pytest.mark.parametrize("sql, params, expected_sql, expected_binds", [
    ("a = #{a} OR b = #{a}", {"a": 1}, "a = :a OR b = :a", {"a": 1}),
    ("#{b} #{a} #{b}", {"a": 1, "b": 2}, ":b :a :b", {"b": 2, "a": 1}),
    ("x = #{missing}", {}, "x = :missing", {"missing": None}),
    ("x = #{user.name}", {"user.name": 1}, "x = :user.name", {}),
    ("#{ids_for_index_1} #{ids_for_index_-1}", {"ids": [5, 6, 7]},
     ":ids_for_index_1 :ids_for_index_-1", {"ids_for_index_1": 6, "ids_for_index_-1": 7}),
    ("#{} #{a #{b} c", {"b": 0}, "#{} :a #{b c", {"b": 0}),
    ("  a\n\tb  #{x-y_1}  ", {"x-y_1": "v"}, "a b :x-y_1", {"x-y_1": "v"}),
    ("v = 'a   b' AND w = 'it''s  so'  ", {}, "v = 'a   b' AND w = 'it''s  so'", {}),
])
def test_to_prepared_statement(sql, params, expected_sql, expected_binds):
    clause, binds = ParseMapper.to_prepared_statement(sql, params)
    assert type(clause) is TextClause and clause.text == expected_sql
    assert binds == expected_binds and list(binds) == list(expected_binds)


def test_bind_values_are_not_converted():
    value = object()
    assert ParseMapper.to_prepared_statement("#{v}", {"v": value})[1]["v"] is value


@pytest.mark.parametrize("sql, exc", [
    ("#{ids_for_index_5}", IndexError),
    ("#{nope_for_index_0}", KeyError),
    ("#{ids_for_index_x}", ValueError),
])
def test_foreach_placeholder_failures(sql, exc):
    with pytest.raises(exc):
        ParseMapper.to_prepared_statement(sql, {"ids": [1]})


@pytest.mark.parametrize("sql, params, expected", [
    ("SELECT * FROM ${table}", {"table": "users"}, "SELECT * FROM users"),
    ("SELECT * FROM ${table}", {}, "SELECT * FROM "),
    ("${a}${b} ${a} #{a} ${a.b}", {"a": "1", "b": "${a}"}, "11 1 #{a} ${a.b}"),
])
def test_to_replace(sql, params, expected):
    assert ParseMapper.to_replace(sql, params) == expected


def test_to_replace_needs_str_values():
    with pytest.raises(TypeError, match="must be str, not int"):
        ParseMapper.to_replace("${n}", {"n": 1})


@pytest.mark.parametrize("fn, s, pieces, expected", [
    (ParseMapper._trim_prefix, "AND OR  id = 1", {"AND", "OR"}, "id = 1"),
    (ParseMapper._trim_prefix, "or id = 1", {"AND", "OR"}, "or id = 1"),
    (ParseMapper._trim_prefix, "ANDROID = 1", {"AND"}, "ROID = 1"),
    (ParseMapper._trim_prefix, " , ,a = 1,", {","}, "a = 1,"),
    (ParseMapper._trim_suffix, "a = 1 , ,", {","}, "a = 1"),
    (ParseMapper._trim_suffix, "x AND", {"AND", "D"}, "x"),
    # An empty entry is ignored instead of matching forever.
    (ParseMapper._trim_prefix, "AND x", {"AND", ""}, "x"),
    (ParseMapper._trim_suffix, "x ,", {","}, "x"),
    (ParseMapper._trim_suffix, "x", {""}, "x"),
])
def test_trim_functions(fn, s, pieces, expected):
    assert fn(s, pieces) == expected


# ---------------------------------------------------------------------------
# The mended statements run in a real database


def test_set_with_trailing_commas_and_literals_run_in_sqlite():
    m = load("render_mapper.xml")
    engine = create_engine("sqlite://")
    with engine.begin() as c:
        c.execute(sqlalchemy.text("CREATE TABLE users (id INTEGER PRIMARY KEY, name TEXT, age INT,"
                                  " note TEXT)"))
        c.execute(sqlalchemy.text("INSERT INTO users (id, name) VALUES (1, 'a')"))
        c.execute(*m.update("update_user", {"id": 1, "name": "b", "age": 7}))
        c.execute(*m.insert("add_note", {"name": "c"}))
        rows = c.execute(sqlalchemy.text("SELECT name, age, note FROM users ORDER BY id")).all()
    assert rows == [("b", 7, None), ("c", None, "kept   as  written")]
