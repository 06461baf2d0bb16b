"""Tests for wisp.utils.eval_funcs: the like and time_format expression helpers."""

import datetime
import inspect
import re
import time

import pytest

from wisp.utils import eval_funcs, literal_tools
from wisp.utils.eval_funcs import default_fun_dict, like, time_format

ARG_MSG = "Argument '{}' has incorrect type (expected {}, got {})"
DEFAULT_FORMAT = "%Y-%m-%d %H:%M:%S"
KNOWN = (2024, 1, 2, 3, 4, 5, 1, 2, 0)


class StrSub(str):
    pass


# ---------------------------------------------------------------- module surface


def test_module_globals_in_binding_order():
    expected = ["time", "re", "replace_cdata", "convert_cdata", "sql_string_format",
                "param_str", "like", "time_format", "default_fun_dict"]
    own = [n for n in vars(eval_funcs) if not (n.startswith("__") and n.endswith("__"))]
    assert own == expected


@pytest.mark.parametrize("name", ["re", "replace_cdata", "convert_cdata",
                                  "sql_string_format", "param_str"])
def test_literal_tools_names_are_the_same_objects(name):
    assert getattr(eval_funcs, name) is getattr(literal_tools, name)


def test_time_and_re_modules():
    assert eval_funcs.time is time
    assert eval_funcs.re is re


def test_default_fun_dict():
    assert type(default_fun_dict) is dict
    assert list(default_fun_dict) == ["like", "time_format"]
    assert default_fun_dict["like"] is like
    assert default_fun_dict["time_format"] is time_format


@pytest.mark.parametrize("func, params", [
    (like, [("value", inspect.Parameter.empty)]),
    (time_format, [("date_value", inspect.Parameter.empty), ("format", DEFAULT_FORMAT)]),
])
def test_signature_and_doc(func, params):
    assert func.__doc__ is None
    assert func.__module__ == "wisp.utils.eval_funcs"
    sig = inspect.signature(func)
    assert [(p.name, p.default) for p in sig.parameters.values()] == params
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
               for p in sig.parameters.values())


def test_time_format_annotation():
    assert time_format.__annotations__["format"] is str


@pytest.mark.parametrize("func, args, kwargs, needle", [
    (like, (), {}, "value"),
    (like, ("a", "b"), {}, "2"),
    (like, ("a",), {"bogus": 1}, "bogus"),
    (time_format, (), {}, "date_value"),
    (time_format, (), {"format": "%Y"}, "date_value"),
    (time_format, (KNOWN, "%Y", "x"), {}, "3"),
    (time_format, (KNOWN,), {"fmt": "%Y"}, "fmt"),
])
def test_wrong_calls(func, args, kwargs, needle):
    with pytest.raises(TypeError) as exc:
        func(*args, **kwargs)
    assert func.__name__ in str(exc.value)
    assert needle in str(exc.value)


# ---------------------------------------------------------------- like


@pytest.mark.parametrize("value, expected", [
    ("abc", "'abc'"),
    ("'abc'", "'abc'"),
    ("%abc%", "'%abc%'"),
    ("", "'"),
    ("a'b", "'a'b'"),
    ("中文", "'中文'"),
])
def test_like(value, expected):
    assert like(value) == expected
    assert like(value=value) == expected


@pytest.mark.parametrize("value, got", [(5, "int"), (None, "NoneType"), (b"a", "bytes")])
def test_like_refuses_non_str_through_sql_string_format(value, got):
    with pytest.raises(TypeError) as exc:
        like(value)
    assert str(exc.value) == ARG_MSG.format("sql_str_value", "str", got)


def test_like_refuses_str_subclass_with_note():
    with pytest.raises(TypeError) as exc:
        like(StrSub("a"))
    assert str(exc.value) == ARG_MSG.format("sql_str_value", "str", "StrSub")
    assert getattr(exc.value, "__notes__", None)


def test_helpers_look_up_sql_string_format_at_call_time(monkeypatch):
    seen = []

    def fake(value):
        seen.append(value)
        return "<" + str(value) + ">"

    monkeypatch.setattr(eval_funcs, "sql_string_format", fake)
    assert like(7) == "<7>"
    assert time_format(KNOWN, "%Y") == "<2024>"
    assert seen == [7, "2024"]


# ---------------------------------------------------------------- time_format


@pytest.mark.parametrize("date_value, fmt, expected", [
    (KNOWN, None, "'2024-01-02 03:04:05'"),
    (time.struct_time(KNOWN), None, "'2024-01-02 03:04:05'"),
    (time.gmtime(0), None, "'1970-01-01 00:00:00'"),
    (time.gmtime(1700000000), None, "'2023-11-14 22:13:20'"),
    (KNOWN, "%Y", "'2024'"),
    (KNOWN, "%d/%m", "'02/01'"),
    (KNOWN, "'%Y'", "'2024'"),
    (KNOWN, "'%Y", "'2024'"),
    (KNOWN, "%Y'", "'2024'"),
    (KNOWN, "年%Y", "'年2024'"),
    # an empty format gives an empty text, which becomes a single quote alone
    (KNOWN, "", "'"),
])
def test_time_format(date_value, fmt, expected):
    if fmt is None:
        assert time_format(date_value) == expected
    else:
        assert time_format(date_value, fmt) == expected
        assert time_format(date_value=date_value, format=fmt) == expected


def test_time_format_localtime():
    instant = 1700000000
    local = time.localtime(instant)
    expected = "'%04d-%02d-%02d %02d:%02d:%02d'" % tuple(local[:6])
    assert time_format(local) == expected


@pytest.mark.parametrize("fmt, got", [
    (5, "int"), (None, "NoneType"), (b"%Y", "bytes"), (StrSub("%Y"), "StrSub"),
])
def test_time_format_format_must_be_str(fmt, got):
    with pytest.raises(TypeError) as exc:
        time_format(KNOWN, fmt)
    assert str(exc.value) == ARG_MSG.format("format", "str", got)
    if got == "StrSub":
        assert getattr(exc.value, "__notes__", None)


@pytest.mark.parametrize("date_value", [
    datetime.datetime(2024, 1, 2, 3, 4, 5), None, "2024-01-02", 1700000000, (2024, 1),
])
def test_time_format_rejects_non_time_tuple(date_value):
    with pytest.raises(TypeError) as exc:
        time_format(date_value)
    assert not str(exc.value).startswith("Argument ")
