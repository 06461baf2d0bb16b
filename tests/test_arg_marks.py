"""Tests for wisp.utils.arg_marks: typed #{...}, ${...} and $f{...} placeholders."""

import inspect
import re
import types
import xml.etree.ElementTree as ET

import pytest

from wisp.utils import arg_marks
from wisp.utils.arg_marks import (
    MybatisParam,
    SqlParam,
    SqlParamRegex,
    get_params,
    get_sql_param,
    param_function_regex,
    sql_regex_list,
    type_mapping,
)

get_regex_value = getattr(arg_marks, "__get_regex_value")

ARG_MSG = "Argument '{}' has incorrect type (expected {}, got {})"
EMPTY = inspect.Parameter.empty
MISSING = "<missing>"


class StrSub(str):
    pass


def summary(mp):
    """The observable state of one MybatisParam, as a flat tuple."""
    sp = mp.sql_param
    return (mp.full_name, sp.is_function, sp.param_name, sp.function_expression,
            sp.function_name, getattr(mp, "name", MISSING), mp.param_name,
            mp.sql_type, mp.python_type, mp.type_handler)


def plain(full_name, name, sql_type=None, python_type=None, type_handler=None):
    return (full_name, False, name, None, None, name, name, sql_type, python_type, type_handler)


def func(full_name, expression, function_name):
    return (full_name, True, None, expression, function_name, MISSING, None, None, None, None)


def element(text=None, tail=None):
    return types.SimpleNamespace(text=text, tail=tail)


# ---------------------------------------------------------------- module surface


def test_module_globals_in_binding_order():
    expected = ["re", "type_mapping", "param_function_regex", "SqlParamRegex", "SqlParam",
                "MybatisParam", "sql_regex_list", "get_params", "__get_regex_value",
                "get_sql_param"]
    own = [n for n in vars(arg_marks) if not (n.startswith("__") and n.endswith("__"))]
    assert own == expected
    assert arg_marks.re is re


def test_type_mapping():
    assert type_mapping == {
        "NUM": ["TINYINT", "SMALLINT", "INTEGER", "BIGINT", "BIT", "DECIMAL", "DOUBLE",
                "FLOAT", "NUMERIC"],
        "BOOLEAN": ["BOOLEAN"],
        "DATE": ["DATE", "TIME", "TIMESTAMP"],
        "STRING": ["CHAR", "VARCHAR", "NCHAR", "NVARCHAR", "LONGNVARCHAR", "LONGVARCHAR"],
        "BINARY": ["BINARY", "VARBINARY", "LONGVARBINARY", "BLOB"],
        "OTHER": ["ARRAY", "CLOB", "CURSOR", "DATALINK", "DATETIMEOFFSET", "DISTINCT", "NCLOB",
                  "NULL", "OTHER", "REAL", "REF", "ROWID", "SQLXML", "STRUCT", "UNDEFINED"],
    }
    assert type(type_mapping) is dict
    assert list(type_mapping) == ["NUM", "BOOLEAN", "DATE", "STRING", "BINARY", "OTHER"]
    assert all(type(v) is list for v in type_mapping.values())


def test_param_function_regex():
    assert isinstance(param_function_regex, re.Pattern)
    assert param_function_regex.pattern == r".+?\(.+?\)"
    assert param_function_regex.flags == re.compile("").flags


def test_sql_regex_list():
    assert type(sql_regex_list) is list
    assert [type(r) for r in sql_regex_list] == [SqlParamRegex] * 3
    assert all(isinstance(r.regex, re.Pattern) for r in sql_regex_list)
    assert [(r.regex.pattern, r.prefix) for r in sql_regex_list] == [
        (r"\#\{.+?\}", "#"), (r"\$\{.+?\}", "$"), (r"\$f\{.+?\}", "$f")]
    assert all(r.regex.flags == re.compile("").flags for r in sql_regex_list)


@pytest.mark.parametrize("cls, own_attrs", [
    (SqlParamRegex, {"resolve_param"}),
    (SqlParam, set()),
    (MybatisParam, set()),
])
def test_classes(cls, own_attrs):
    assert cls.__bases__ == (object,)
    assert cls.__module__ == "wisp.utils.arg_marks"
    assert cls.__doc__ is None
    attrs = {n for n in vars(cls) if not (n.startswith("__") and n.endswith("__"))}
    assert attrs == own_attrs


@pytest.mark.parametrize("name, doc", [
    ("get_params",
     "\n    Get SQL Params\n    example: #{param_name}\n    prefix: '#','$','$f'\n"
     "    :return:\n    "),
    ("get_sql_param",
     "\n    Get SQL Params\n"
     "    example: #{age,pythonType=int,sqlType=NUMERIC,typeHandler=MyTypeHandler}\n"
     "    change: '#','$'\n    :return:\n    "),
    ("__get_regex_value", None),
], ids=["get_params", "get_sql_param", "__get_regex_value"])
def test_function_docstrings(name, doc):
    assert getattr(arg_marks, name).__doc__ == doc


def test_method_docstrings():
    assert SqlParamRegex.resolve_param.__doc__ is None
    assert SqlParam.__str__.__doc__ is None
    assert MybatisParam.__str__.__doc__ is None


@pytest.mark.parametrize("obj, params", [
    (SqlParamRegex, [("regex", EMPTY), ("prefix", EMPTY)]),
    (SqlParam, [("param_name", None), ("function_expression", None),
                ("is_function", False), ("function_name", None)]),
    (MybatisParam, [("sql_param", EMPTY), ("full_name", None), ("sql_type", None),
                    ("python_type", None), ("type_handler", None)]),
    (SqlParamRegex("x", "#").resolve_param, [("param", EMPTY)]),
    (SqlParam().__str__, []),
    (MybatisParam(SqlParam()).__str__, []),
    (get_params, [("child", EMPTY)]),
    (get_regex_value, [("regex", EMPTY), ("param", EMPTY), ("group", EMPTY)]),
    (get_sql_param, [("param_text", EMPTY)]),
])
def test_signatures(obj, params):
    sig = inspect.signature(obj)
    assert [(p.name, p.default) for p in sig.parameters.values()] == params
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
               for p in sig.parameters.values())


@pytest.mark.parametrize("obj, annotations", [
    (SqlParamRegex.__init__, {"regex": str, "prefix": str}),
    (SqlParamRegex.resolve_param, {"param": str}),
    (SqlParam.__init__, {"param_name": str, "function_expression": str, "is_function": bool,
                         "function_name": str}),
    (MybatisParam.__init__, {"sql_param": "SqlParam", "full_name": str, "sql_type": str,
                             "python_type": str, "type_handler": str}),
    (get_regex_value, {"regex": str, "param": str, "group": str}),
    (get_params, {}),
    (get_sql_param, {}),
])
def test_parameter_annotations(obj, annotations):
    ann = dict(obj.__annotations__)
    ann.pop("return", None)
    assert ann == annotations
    assert list(ann) == list(annotations)


@pytest.mark.parametrize("func_name", ["get_params", "__get_regex_value", "get_sql_param"])
def test_function_names(func_name):
    f = getattr(arg_marks, func_name)
    assert f.__name__ == func_name
    assert f.__module__ == "wisp.utils.arg_marks"


@pytest.mark.parametrize("call, needle", [
    (lambda: get_sql_param(), "param_text"),
    (lambda: get_sql_param("a", "b"), "2"),
    (lambda: get_sql_param(text="a"), "text"),
    (lambda: get_params(), "child"),
    (lambda: get_params(element(), element()), "2"),
    (lambda: get_params(element(), node=1), "node"),
    (lambda: get_regex_value("a", "b"), "group"),
    (lambda: get_regex_value("a", "b", "c", "d"), "4"),
    (lambda: get_regex_value("a", "b", group="c", flags=0), "flags"),
    (lambda: SqlParamRegex("x"), "prefix"),
    (lambda: SqlParamRegex("x", "#", "y"), "3"),
    (lambda: SqlParamRegex("x", "#", flags=0), "flags"),
    (lambda: SqlParam(None, None, False, None, None), "5"),
    (lambda: SqlParam(name="a"), "name"),
    (lambda: MybatisParam(), "sql_param"),
    (lambda: MybatisParam(SqlParam(), None, None, None, None, None), "6"),
    (lambda: MybatisParam(SqlParam(), param_name="a"), "param_name"),
    (lambda: SqlParamRegex("x", "#").resolve_param(), "param"),
    (lambda: SqlParamRegex("x", "#").resolve_param("a", "b"), "2"),
    (lambda: SqlParamRegex("x", "#").resolve_param(text="a"), "text"),
])
def test_wrong_calls(call, needle):
    with pytest.raises(TypeError) as exc:
        call()
    assert needle in str(exc.value)


# ---------------------------------------------------------------- argument checks


@pytest.mark.parametrize("call, name, got", [
    (lambda: SqlParamRegex(5, "#"), "regex", "int"),
    (lambda: SqlParamRegex(None, "#"), "regex", "NoneType"),
    (lambda: SqlParamRegex("#", None), "prefix", "NoneType"),
    (lambda: SqlParamRegex("#", b"#"), "prefix", "bytes"),
    # the check comes before any work: an invalid pattern is not compiled first
    (lambda: SqlParamRegex("(", 5), "prefix", "int"),
    (lambda: SqlParamRegex("x", "#").resolve_param(5), "param", "int"),
    (lambda: SqlParamRegex("x", "#").resolve_param(None), "param", "NoneType"),
    (lambda: SqlParam(5), "param_name", "int"),
    (lambda: SqlParam(function_expression=["f()"]), "function_expression", "list"),
    (lambda: SqlParam(function_name=1.0), "function_name", "float"),
    (lambda: MybatisParam(SqlParam(), full_name=5), "full_name", "int"),
    (lambda: MybatisParam(SqlParam(), sql_type=b"INT"), "sql_type", "bytes"),
    (lambda: MybatisParam(SqlParam(), python_type=int), "python_type", "type"),
    (lambda: MybatisParam(SqlParam(), type_handler=0), "type_handler", "int"),
    (lambda: MybatisParam(None, full_name=5), "full_name", "int"),
    (lambda: get_regex_value(1, "a", "g"), "regex", "int"),
    (lambda: get_regex_value("a", None, "g"), "param", "NoneType"),
    (lambda: get_regex_value("(?P<g>a)", "a", 1), "group", "int"),
])
def test_argument_check_messages(call, name, got):
    with pytest.raises(TypeError) as exc:
        call()
    assert str(exc.value) == ARG_MSG.format(name, "str", got)


@pytest.mark.parametrize("call, name", [
    (lambda: SqlParamRegex(StrSub("#"), "#"), "regex"),
    (lambda: SqlParamRegex("#", StrSub("#")), "prefix"),
    (lambda: SqlParamRegex("x", "#").resolve_param(StrSub("#{a}")), "param"),
    (lambda: SqlParam(StrSub("a")), "param_name"),
    (lambda: SqlParam(function_name=StrSub("f")), "function_name"),
    (lambda: MybatisParam(SqlParam(), full_name=StrSub("#{a}")), "full_name"),
    (lambda: MybatisParam(SqlParam(), type_handler=StrSub("H")), "type_handler"),
    (lambda: get_regex_value("a", StrSub("a"), "g"), "param"),
])
def test_str_subclass_refused_with_note(call, name):
    with pytest.raises(TypeError) as exc:
        call()
    assert str(exc.value) == ARG_MSG.format(name, "str", "StrSub")
    assert getattr(exc.value, "__notes__", None)


def test_compiled_pattern_is_not_a_str():
    with pytest.raises(TypeError) as exc:
        SqlParamRegex(re.compile("x"), "#")
    assert str(exc.value).startswith("Argument 'regex' has incorrect type (expected str, got ")


# ---------------------------------------------------------------- SqlParamRegex


def test_sql_param_regex_attributes():
    r = SqlParamRegex(r"@\{.+?\}", "@")
    assert list(vars(r)) == ["regex", "prefix"]
    assert isinstance(r.regex, re.Pattern)
    assert r.regex.pattern == r"@\{.+?\}"
    assert r.prefix == "@"


def test_sql_param_regex_invalid_pattern():
    with pytest.raises(re.error):
        SqlParamRegex("(", "#")


@pytest.mark.parametrize("prefix, param, expected", [
    ("#", "#{user_id, sql_type=INTEGER}", (False, "user_id", None, None)),
    ("#", "#{a}", (False, "a", None, None)),
    ("#", "#{ a ,b}", (False, " a ", None, None)),
    ("#", "#{a,b,c}", (False, "a", None, None)),
    ("#", "a", (False, "a", None, None)),
    ("#", "", (False, "", None, None)),
    # every occurrence of the prefix and brace is removed, then every closing brace
    ("#", "#{a#{b}", (False, "ab", None, None)),
    ("#", "x}}y}", (False, "xy", None, None)),
    ("#", "${t}", (False, "${t", None, None)),
    ("$", "$f{x}", (False, "$f{x", None, None)),
    ("$f", "$f{x}", (False, "x", None, None)),
    # a call-like inside is a function expression, whatever the prefix
    ("#", "#{f(x)}", (True, None, "f(x)", "f")),
    ("$", "${concat(a, b)}", (True, None, "concat(a, b)", "concat")),
    ("$f", "$f{date_format(now())}", (True, None, "date_format(now())", "date_format")),
    ("#", "#{a,b(c)}", (True, None, "a,b(c)", "a,b")),
    ("#", "#{f(a)(b)}", (True, None, "f(a)(b)", "f")),
    # the pattern needs something before "(" and something between the parentheses
    ("#", "#{(x)}", (False, "(x)", None, None)),
    ("#", "#{f()}", (False, "f()", None, None)),
    ("#", "#{f(x}", (False, "f(x", None, None)),
    # "." does not match a newline
    ("#", "#{f(\nx)}", (False, "f(\nx)", None, None)),
    ("#", "#{\nf(x)}", (False, "\nf(x)", None, None)),
    ("#", "#{中文(参数)}", (True, None, "中文(参数)", "中文")),
])
def test_resolve_param(prefix, param, expected):
    sp = SqlParamRegex("unused", prefix).resolve_param(param)
    assert type(sp) is SqlParam
    assert (sp.is_function, sp.param_name, sp.function_expression, sp.function_name) == expected
    assert type(sp.is_function) is bool


def test_resolve_param_keyword():
    sp = SqlParamRegex("unused", "#").resolve_param(param="#{a}")
    assert sp.param_name == "a"


# ---------------------------------------------------------------- SqlParam / MybatisParam


def test_sql_param_defaults_and_attribute_order():
    sp = SqlParam()
    assert list(vars(sp)) == ["is_function", "param_name", "function_expression",
                              "function_name"]
    assert (sp.is_function, sp.param_name, sp.function_expression, sp.function_name) == \
        (False, None, None, None)


@pytest.mark.parametrize("value, expected", [
    (True, True), (1, True), ("yes", True), ([0], True), (object(), True),
    (False, False), (0, False), ("", False), (None, False), ([], False),
])
def test_sql_param_is_function_by_truth_value(value, expected):
    sp = SqlParam(is_function=value)
    assert sp.is_function is expected


def test_sql_param_keeps_values():
    sp = SqlParam("a", "f(x)", True, "f")
    assert (sp.is_function, sp.param_name, sp.function_expression, sp.function_name) == \
        (True, "a", "f(x)", "f")


def test_mybatis_param_attributes():
    sp = SqlParam("age")
    mp = MybatisParam(sp, "#{age}", "INT", "int", "H")
    assert list(vars(mp)) == ["sql_param", "full_name", "sql_type", "python_type",
                              "type_handler", "param_name"]
    assert mp.sql_param is sp
    assert (mp.full_name, mp.sql_type, mp.python_type, mp.type_handler, mp.param_name) == \
        ("#{age}", "INT", "int", "H", "age")
    assert not hasattr(mp, "name")


def test_mybatis_param_sql_param_is_not_checked():
    duck = types.SimpleNamespace(param_name="duck")
    mp = MybatisParam(duck)
    assert mp.sql_param is duck
    assert mp.param_name == "duck"
    assert MybatisParam(SqlParam(function_expression="f(x)", is_function=True)).param_name is None


def test_mybatis_param_needs_param_name_attribute():
    with pytest.raises(AttributeError):
        MybatisParam(None)
    with pytest.raises(AttributeError):
        MybatisParam(object())


@pytest.mark.parametrize("sp, text", [
    (SqlParam(), "is_function:False ,param_name:None,function_expression:None,function_name:None"),
    (SqlParam("a"), "is_function:False ,param_name:a,function_expression:None,function_name:None"),
    (SqlParam(None, "f(x)", 1, "f"),
     "is_function:True ,param_name:None,function_expression:f(x),function_name:f"),
    (SqlParam("", "", False, ""), "is_function:False ,param_name:,function_expression:,function_name:"),
])
def test_sql_param_str(sp, text):
    assert str(sp) == text


def test_mybatis_param_str():
    mp = MybatisParam(SqlParam("a"), "#{a}", "INT", "int", "H")
    assert str(mp) == (
        "sql_param:is_function:False ,param_name:a,function_expression:None,function_name:None"
        " ,full_name:#{a},sql_type:INT,python_type:int,type_handler:H,param_name:a")


def test_mybatis_param_str_uses_str_of_sql_param_and_current_attributes():
    class Duck:
        param_name = "p"

        def __str__(self):
            return "DUCK"

    mp = MybatisParam(Duck())
    assert str(mp) == ("sql_param:DUCK ,full_name:None,sql_type:None,python_type:None,"
                       "type_handler:None,param_name:p")
    mp.sql_type = "X"
    mp.full_name = 7
    assert str(mp) == ("sql_param:DUCK ,full_name:7,sql_type:X,python_type:None,"
                       "type_handler:None,param_name:p")


# ---------------------------------------------------------------- __get_regex_value


@pytest.mark.parametrize("regex, param, group, expected", [
    (r"(?P<g>\d+)", "ab 12 cd 34", "g", "12"),
    (r"(?P<g>\d+)", "none", "g", None),
    (r"(?P<g>\s*x\s*)", "a  x  b", "g", "x"),
    (r"(?P<g>.*)", " 中文 ", "g", "中文"),
    (r"(?P<g>.*)", "", "g", ""),
    (r"(\s*sql_type\s*=\s*)(?P<sql_type>\w+)?", "#{a, sql_type = INT}", "sql_type", "INT"),
])
def test_get_regex_value(regex, param, group, expected):
    assert get_regex_value(regex, param, group) == expected


@pytest.mark.parametrize("regex, param, group, exc_type", [
    (r"(?P<g>a)?b", "b", "g", AttributeError),     # group did not take part
    (r"(?P<g>a)", "a", "h", IndexError),           # no such group
    ("(", "a", "g", re.error),
])
def test_get_regex_value_errors(regex, param, group, exc_type):
    with pytest.raises(exc_type):
        get_regex_value(regex, param, group)


# ---------------------------------------------------------------- get_sql_param


@pytest.mark.parametrize("text, expected", [
    ("", []),
    ("select 1", []),
    ("{a} #a ${ $f", []),
    # duplicates removed; all # placeholders come before all $ placeholders
    ("where id = #{id} from ${table} and #{id}",
     [plain("#{id}", "id"), plain("${table}", "table")]),
    ("$f{fn(a)} ${b} #{c}",
     [plain("#{c}", "c"), plain("${b}", "b"), func("$f{fn(a)}", "fn(a)", "fn")]),
    # order of first occurrence within one kind
    ("#{b} #{a} #{b} #{c} #{a}", [plain("#{b}", "b"), plain("#{a}", "a"), plain("#{c}", "c")]),
    ("#{a} #{ a}", [plain("#{a}", "a"), plain("#{ a}", " a")]),
    ("#{a}#{b}", [plain("#{a}", "a"), plain("#{b}", "b")]),
    ("#{a}}", [plain("#{a}", "a")]),
    ("#{age, sql_type=INTEGER, python_type=int}",
     [plain("#{age, sql_type=INTEGER, python_type=int}", "age", "INTEGER", "int")]),
    ("#{a,type_handler=MyHandler,sql_type = VARCHAR ,python_type= str}",
     [plain("#{a,type_handler=MyHandler,sql_type = VARCHAR ,python_type= str}", "a",
            "VARCHAR", "str", "MyHandler")]),
    ("${t, type_handler=H}", [plain("${t, type_handler=H}", "t", type_handler="H")]),
    # attributes are case-sensitive and need their equals sign
    ("#{a, SQL_TYPE=INT, sql_type}", [plain("#{a, SQL_TYPE=INT, sql_type}", "a")]),
    # the attribute patterns have no word boundary
    ("#{a, my_sql_type=X}", [plain("#{a, my_sql_type=X}", "a", "X")]),
    # the first occurrence wins; the value is a run of word characters
    ("#{a, python_type=int, python_type=str}",
     [plain("#{a, python_type=int, python_type=str}", "a", python_type="int")]),
    ("#{a,type_handler=My.Handler}", [plain("#{a,type_handler=My.Handler}", "a",
                                            type_handler="My")]),
    ("#{a, sql_type=整数}", [plain("#{a, sql_type=整数}", "a", "整数")]),
    ("#{sql_type=INT}", [plain("#{sql_type=INT}", "sql_type=INT", "INT")]),
    # function expressions carry no name and no typed attributes
    ("$f{date_format(now())}",
     [func("$f{date_format(now())}", "date_format(now())", "date_format")]),
    ("#{a,sql_type = VARCHAR(20)}",
     [func("#{a,sql_type = VARCHAR(20)}", "a,sql_type = VARCHAR(20)", "a,sql_type = VARCHAR")]),
    ("$f{fn(x), sql_type=}", [func("$f{fn(x), sql_type=}", "fn(x), sql_type=", "fn")]),
    # $f{...} is not a ${...}
    ("$f{x}", [plain("$f{x}", "x")]),
    # nothing between the braces: the match runs on to the next closing brace
    ("#{}", []),
    ("#{} and x}", [plain("#{} and x}", " and x")]),
    ("#{ #{a} }", [plain("#{ #{a}", " a")]),
    # a placeholder does not span lines
    ("#{a\nb} #{c}", [plain("#{c}", "c")]),
    ("#{名字} ${表}", [plain("#{名字}", "名字"), plain("${表}", "表")]),
])
def test_get_sql_param(text, expected):
    result = get_sql_param(text)
    assert type(result) is list
    assert all(type(mp) is MybatisParam for mp in result)
    assert [summary(mp) for mp in result] == expected


def test_get_sql_param_attribute_order():
    plain_mp, func_mp = get_sql_param("#{a, sql_type=INT} $f{f(x)}")
    assert list(vars(plain_mp)) == ["sql_param", "full_name", "sql_type", "python_type",
                                    "type_handler", "param_name", "name"]
    assert list(vars(func_mp)) == ["sql_param", "full_name", "sql_type", "python_type",
                                   "type_handler", "param_name"]


@pytest.mark.parametrize("text", [
    "#{a, sql_type=}",
    "#{a, python_type = }",
    "#{a,type_handler=,sql_type=INT}",
    "${t, sql_type=-1}",
    "#{ok} ${t, sql_type=}",
])
def test_get_sql_param_attribute_without_value(text):
    with pytest.raises(AttributeError):
        get_sql_param(text)


def test_get_sql_param_accepts_str_subclass():
    result = get_sql_param(StrSub("#{a}"))
    assert [summary(mp) for mp in result] == [plain("#{a}", "a")]


@pytest.mark.parametrize("value", [None, 5, b"#{a}", ["#{a}"]])
def test_get_sql_param_non_string(value):
    with pytest.raises(TypeError) as exc:
        get_sql_param(value)
    assert not str(exc.value).startswith("Argument ")


def test_get_sql_param_reads_regex_list_at_call_time(monkeypatch):
    monkeypatch.setattr(arg_marks, "sql_regex_list", [SqlParamRegex(r"@\{.+?\}", "@")])
    result = get_sql_param("@{x, sql_type=INT} #{y}")
    assert [summary(mp) for mp in result] == [plain("@{x, sql_type=INT}", "x", "INT")]


def test_get_sql_param_returns_fresh_objects():
    first = get_sql_param("#{a}")
    second = get_sql_param("#{a}")
    assert first[0] is not second[0]
    assert first[0].sql_param is not second[0].sql_param


# ---------------------------------------------------------------- get_params


@pytest.mark.parametrize("text, tail, expected", [
    ("#{a}", None, [plain("#{a}", "a")]),
    (None, "#{a}", [plain("#{a}", "a")]),
    (None, None, []),
    ("", "", []),
    ("  \n\t ", " #{a} ", [plain("#{a}", "a")]),
    (" #{a} ", "\n  ", [plain("#{a}", "a")]),
    # text and tail are scanned as one string
    ("#{a", "} #{b}", [plain("#{a}", "a"), plain("#{b}", "b")]),
    ("#{x}", "#{x}", [plain("#{x}", "x")]),
    # neither part is stripped
    ("#{a", " b} ", [plain("#{a b}", "a b")]),
    ("#{a ", "}", [plain("#{a }", "a ")]),
    ("${t} ", "#{i}", [plain("#{i}", "i"), plain("${t}", "t")]),
    ("$f{f(x)}", "#{age, sql_type=INT}",
     [plain("#{age, sql_type=INT}", "age", "INT"), func("$f{f(x)}", "f(x)", "f")]),
    # falsy values count as empty
    (0, [], []),
])
def test_get_params(text, tail, expected):
    result = get_params(element(text, tail))
    assert type(result) is list
    assert [summary(mp) for mp in result] == expected


def test_get_params_does_not_visit_children():
    root = ET.fromstring("<select>#{a}<if test='x'>#{c}</if>${t}</select>")
    assert [summary(mp) for mp in get_params(root)] == [plain("#{a}", "a")]
    assert [summary(mp) for mp in get_params(root[0])] == \
        [plain("#{c}", "c"), plain("${t}", "t")]


@pytest.mark.parametrize("child", [
    object(), None, "#{a}", types.SimpleNamespace(text="#{a}"),
    types.SimpleNamespace(tail="#{a}"),
])
def test_get_params_without_text_or_tail(child):
    with pytest.raises(AttributeError):
        get_params(child)


def test_get_params_attribute_without_value():
    with pytest.raises(AttributeError):
        get_params(element("#{a, sql_type=", "}"))
