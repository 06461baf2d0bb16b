"""Tests for wisp.utils.literal_tools: CDATA handling and SQL literal text."""

import decimal
import inspect
import re

import pytest

from wisp.utils import literal_tools
from wisp.utils.literal_tools import convert_cdata, param_str, replace_cdata, sql_string_format

ARG_MSG = "Argument '{}' has incorrect type (expected {}, got {})"


class StrSub(str):
    pass


class Falsy:
    def __bool__(self):
        return False

    def __str__(self):
        return "never"


class Shown:
    def __str__(self):
        return "shown"


# ---------------------------------------------------------------- module surface


def test_module_globals_in_binding_order():
    expected = ["re", "replace_cdata", "convert_cdata", "sql_string_format", "param_str"]
    own = [n for n in vars(literal_tools) if not (n.startswith("__") and n.endswith("__"))]
    assert own == expected
    assert literal_tools.re is re


@pytest.mark.parametrize("func, doc", [
    (replace_cdata, "\n    Replace CDATA String\n    :param raw_text:\n    :return:\n    "),
    (convert_cdata,
     "\n    Replace CDATA String\n    :param string:\n    :param reverse:\n    :return:\n    "),
    (sql_string_format, None),
    (param_str, None),
], ids=["replace_cdata", "convert_cdata", "sql_string_format", "param_str"])
def test_docstrings(func, doc):
    assert func.__doc__ == doc


@pytest.mark.parametrize("func, params", [
    (replace_cdata, [("raw_text", inspect.Parameter.empty)]),
    (convert_cdata, [("string", inspect.Parameter.empty), ("reverse", False)]),
    (sql_string_format, [("sql_str_value", inspect.Parameter.empty)]),
    (param_str, [("param_value", inspect.Parameter.empty)]),
])
def test_signature(func, params):
    assert func.__module__ == "wisp.utils.literal_tools"
    sig = inspect.signature(func)
    assert [(p.name, p.default) for p in sig.parameters.values()] == params
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
               for p in sig.parameters.values())


def test_sql_string_format_annotation():
    ann = dict(sql_string_format.__annotations__)
    ann.pop("return", None)
    assert ann == {"sql_str_value": str}


@pytest.mark.parametrize("func, args, kwargs, needle", [
    (replace_cdata, (), {}, "raw_text"),
    (replace_cdata, ("a", "b"), {}, "2"),
    (replace_cdata, ("a",), {"bogus": 1}, "bogus"),
    (convert_cdata, (), {}, "string"),
    (convert_cdata, ("a", True, 3), {}, "3"),
    (convert_cdata, ("a",), {"reversed": True}, "reversed"),
    (sql_string_format, (), {}, "sql_str_value"),
    (sql_string_format, ("a", "b"), {}, "2"),
    (sql_string_format, ("a",), {"bogus": 1}, "bogus"),
    (param_str, (), {}, "param_value"),
    (param_str, (1, 2), {}, "2"),
    (param_str, (1,), {"bogus": 1}, "bogus"),
])
def test_wrong_calls(func, args, kwargs, needle):
    with pytest.raises(TypeError) as exc:
        func(*args, **kwargs)
    assert func.__name__ in str(exc.value)
    assert needle in str(exc.value)


def test_keyword_calls():
    assert replace_cdata(raw_text="<![CDATA[<]]>") == "&lt;"
    assert convert_cdata(string="<", reverse=True) == "&lt;"
    assert sql_string_format(sql_str_value="a") == "'a'"
    assert param_str(param_value="a") == "'a'"


# ---------------------------------------------------------------- replace_cdata


@pytest.mark.parametrize("raw, expected", [
    ("select <![CDATA[a < b & c]]> from t", "select a &lt; b &amp; c from t"),
    ("<![CDATA[x > 1 and y = \"q\"]]>", "x &gt; 1 and y = &quot;q&quot;"),
    ("<![CDATA[]]>", ""),
    ("a <![CDATA[\n  x < 1\n]]> b", "a \n  x &lt; 1\n b"),
    # only the first section is converted; a later, different one stays
    ("<![CDATA[<]]> and <![CDATA[>]]>", "&lt; and <![CDATA[>]]>"),
    # a later section with exactly the same text is replaced too
    ("<![CDATA[<]]> and <![CDATA[<]]>", "&lt; and &lt;"),
    # the content ends at the first closing marker
    ("<![CDATA[a]]> b ]]>", "a b ]]>"),
    ("<![CDATA[a]]]>", "a]"),
    ("<![CDATA[&amp;]]>", "&amp;amp;"),
    ("<![CDATA['single']]>", "'single'"),
    ("<![CDATA[中文 < ü]]>", "中文 &lt; ü"),
    # markers are case-sensitive
    ("<![cdata[a < b]]>", "<![cdata[a < b]]>"),
])
def test_replace_cdata(raw, expected):
    assert replace_cdata(raw) == expected


@pytest.mark.parametrize("raw", [
    "", "plain text", "a < b & c", "<![CDATA[ never closed", "]]> <![CDATA[", "<![CDATA]]>",
    "<!CDATA[x]]>",
])
def test_replace_cdata_without_section_returns_text_unchanged(raw):
    assert replace_cdata(raw) == raw


def test_replace_cdata_accepts_str_subclass():
    assert replace_cdata(StrSub("<![CDATA[<]]>")) == "&lt;"


@pytest.mark.parametrize("value", [None, 5, b"<![CDATA[x]]>", ["<![CDATA[x]]>"]])
def test_replace_cdata_non_string_raises_from_re(value):
    with pytest.raises(TypeError) as exc:
        replace_cdata(value)
    assert not str(exc.value).startswith("Argument ")


# ---------------------------------------------------------------- convert_cdata


@pytest.mark.parametrize("text, expected", [
    ("a & b < c > d \"e\"", "a &amp; b &lt; c &gt; d &quot;e&quot;"),
    ("&amp;", "&amp;amp;"),
    ("&lt;", "&amp;lt;"),
    ("<<>>", "&lt;&lt;&gt;&gt;"),
    ("'", "'"),
    ("", ""),
    ("中文&", "中文&amp;"),
])
def test_convert_cdata_escape(text, expected):
    assert convert_cdata(text, True) == expected
    assert convert_cdata(text, reverse=True) == expected


@pytest.mark.parametrize("text, expected", [
    ("a &amp; b &lt; c &gt; d &quot;e&quot;", "a & b < c > d \"e\""),
    # the ampersand entity is undone first
    ("&amp;lt;", "<"),
    ("&amp;quot;", "\""),
    ("&amp;amp;", "&amp;"),
    ("&AMP;", "&AMP;"),
    ("&apos;", "&apos;"),
    ("plain", "plain"),
    ("", ""),
])
def test_convert_cdata_unescape(text, expected):
    assert convert_cdata(text) == expected
    assert convert_cdata(text, False) == expected


@pytest.mark.parametrize("reverse, escapes", [
    (True, True), (1, True), ("no", True), ([0], True), (object(), True),
    (False, False), (0, False), ("", False), (None, False), ([], False), (Falsy(), False),
])
def test_convert_cdata_reverse_by_truth_value(reverse, escapes):
    expected = "&lt;&amp;amp;" if escapes else "<&"
    assert convert_cdata("<&amp;" if escapes else "&lt;&amp;", reverse) == expected


@pytest.mark.parametrize("value", [None, 5, ["<"]])
def test_convert_cdata_non_string_raises(value):
    with pytest.raises((TypeError, AttributeError)):
        convert_cdata(value, True)


# ---------------------------------------------------------------- sql_string_format


@pytest.mark.parametrize("value, expected", [
    ("abc", "'abc'"),
    ("", "'"),
    ("'", "'"),
    ("''", "''"),
    ("'abc'", "'abc'"),
    ("'abc", "'abc'"),
    ("abc'", "'abc'"),
    ("it's", "'it's'"),
    (" a ", "' a '"),
    ("\"a\"", "'\"a\"'"),
    ("中文", "'中文'"),
    ("`a`", "'`a`'"),
])
def test_sql_string_format(value, expected):
    result = sql_string_format(value)
    assert type(result) is str
    assert result == expected


@pytest.mark.parametrize("value, got", [
    (5, "int"), (None, "NoneType"), (b"a", "bytes"), (1.5, "float"), (["a"], "list"),
])
def test_sql_string_format_refuses_non_str(value, got):
    with pytest.raises(TypeError) as exc:
        sql_string_format(value)
    assert str(exc.value) == ARG_MSG.format("sql_str_value", "str", got)


def test_sql_string_format_refuses_str_subclass_with_note():
    with pytest.raises(TypeError) as exc:
        sql_string_format(StrSub("a"))
    assert str(exc.value) == ARG_MSG.format("sql_str_value", "str", "StrSub")
    assert getattr(exc.value, "__notes__", None)


# ---------------------------------------------------------------- param_str


@pytest.mark.parametrize("value, expected", [
    (None, "null"), (False, "null"), (0, "null"), (0.0, "null"), ("", "null"),
    ([], "null"), ({}, "null"), (set(), "null"), ((), "null"), (b"", "null"),
    (decimal.Decimal("0"), "null"), (Falsy(), "null"), (StrSub(""), "null"),
    (5, "5"), (-1, "-1"), (1.5, "1.5"), (True, "True"),
    ("abc", "'abc'"), ("'abc'", "'abc'"), ("'", "'"), ("0", "'0'"),
    # a subclass of str is not quoted: only an exact str is
    (StrSub("abc"), "abc"),
    ([1, 2], "[1, 2]"), ({"a": 1}, "{'a': 1}"), (b"x", "b'x'"),
    (decimal.Decimal("1.50"), "1.50"), (Shown(), "shown"),
])
def test_param_str(value, expected):
    result = param_str(value)
    assert type(result) is str
    assert result == expected
