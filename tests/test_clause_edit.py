"""Tests for wisp.utils.clause_edit: leading and trailing keyword replacement."""

import inspect
import re

import pytest

from wisp.utils import clause_edit
from wisp.utils.clause_edit import replace_sql_first, replace_sql_last

ARG_MSG = "Argument '{}' has incorrect type (expected {}, got {})"

FUNCS = [
    (replace_sql_first, ["string", "prefix_overrides", "replace"]),
    (replace_sql_last, ["string", "suffix_overrides", "replace"]),
]


class StrSub(str):
    pass


# ---------------------------------------------------------------- module surface


def test_module_globals_in_binding_order():
    own = [n for n in vars(clause_edit) if not (n.startswith("__") and n.endswith("__"))]
    assert own == ["re", "replace_sql_first", "replace_sql_last"]
    assert clause_edit.re is re


@pytest.mark.parametrize("func, params", FUNCS)
def test_signature_annotations_and_doc(func, params):
    assert func.__doc__ is None
    assert func.__module__ == "wisp.utils.clause_edit"
    sig = inspect.signature(func)
    assert list(sig.parameters) == params
    for p in sig.parameters.values():
        assert p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert p.default is inspect.Parameter.empty
    ann = dict(func.__annotations__)
    ann.pop("return", None)
    assert ann == {name: str for name in params}
    assert list(ann) == params


@pytest.mark.parametrize("func, params", FUNCS)
@pytest.mark.parametrize("args, kwargs, needle", [
    ((), {}, "{first}"),
    (("a", "b"), {}, "{last}"),
    (("a", "b", "c", "d"), {}, "4"),
    (("a", "b", "c"), {"bogus": "x"}, "bogus"),
])
def test_wrong_calls(func, params, args, kwargs, needle):
    with pytest.raises(TypeError) as exc:
        func(*args, **kwargs)
    msg = str(exc.value)
    assert func.__name__ in msg
    assert needle.format(first=params[0], last=params[2]) in msg


@pytest.mark.parametrize("func, params", FUNCS)
def test_keyword_call(func, params):
    kwargs = dict(zip(params, ["  and x ,", "AND|,", "Z"]))
    assert func(**kwargs) == func("  and x ,", "AND|,", "Z")


@pytest.mark.parametrize("func, params", FUNCS)
@pytest.mark.parametrize("position", [0, 1, 2])
@pytest.mark.parametrize("value, got", [
    (5, "int"), (None, "NoneType"), (b"and", "bytes"), (["and"], "list"),
])
def test_arguments_must_be_str(func, params, position, value, got):
    args = ["and x", "AND", ""]
    args[position] = value
    with pytest.raises(TypeError) as exc:
        func(*args)
    assert str(exc.value) == ARG_MSG.format(params[position], "str", got)


@pytest.mark.parametrize("func, params", FUNCS)
@pytest.mark.parametrize("position", [0, 1, 2])
def test_str_subclass_refused_with_note(func, params, position):
    args = ["and x", "AND", ""]
    args[position] = StrSub(args[position])
    with pytest.raises(TypeError) as exc:
        func(*args)
    assert str(exc.value) == ARG_MSG.format(params[position], "str", "StrSub")
    assert getattr(exc.value, "__notes__", None)


# ---------------------------------------------------------------- replace_sql_first


@pytest.mark.parametrize("string, overrides, replace, expected", [
    # the blank after the keyword stays: the match ends with the keyword
    ("  and a = 1", "AND|OR", "", " a = 1"),
    ("\n\tOR a = 1 \n", "AND|OR", "", " a = 1"),
    ("AND a = 1", "and|or", "", " a = 1"),
    ("where a = 1", "WHERE", "SET", "SET a = 1"),
    # not at the start: nothing replaced, text still stripped
    ("  a and b \n", "AND|OR", "", "a and b"),
    ("a = 1", "AND|OR", "X", "a = 1"),
    # the overrides are a bare pattern, without word boundaries
    ("order by x", "AND|OR", "", "der by x"),
    # once only
    ("and and x", "AND", "", " and x"),
    # the overrides are a pattern, braces included
    ("aab", "a{2}", "X", "Xb"),
    ("a.b", ".", "X", "X.b"),
    ("x.b", r"\.", "X", "x.b"),
    # the replacement is a template
    ("and x", "AND|OR", r"<\1>", "<and> x"),
    ("and x", "and", r"\g<0>!", "and! x"),
    ("and x", "and", r"\n", "\n x"),
    ("and x", "and", "\\\\", "\\ x"),
    # an empty pattern matches at the start
    ("AND x", "", "X", "XAND x"),
    ("", "AND", "X", ""),
    ("   ", "AND", "X", ""),
    # case-insensitive beyond ASCII
    ("ÄND x", "änd", "", " x"),
    ("中文 and", "中文", "X", "X and"),
])
def test_replace_sql_first(string, overrides, replace, expected):
    result = replace_sql_first(string, overrides, replace)
    assert type(result) is str
    assert result == expected


# ---------------------------------------------------------------- replace_sql_last


@pytest.mark.parametrize("string, overrides, replace, expected", [
    ("a = 1,", ",", "", "a = 1"),
    ("a = 1,\n\n", ",", "", "a = 1"),
    # a trailing line comment after the keyword goes with it
    ("a = 1,  -- trailing note", ",", "", "a = 1"),
    ("a = 1, -- c\n", ",", "", "a = 1"),
    # unless the replacement puts group 2 back
    ("a = 1,  -- c", ",", r"\2", "a = 1  -- c"),
    ("a, -- x", ",", "[\\1|\\2]", "a[,| -- x]"),
    # the comment needs blanks before it and something after it
    ("a,--c", ",", "", "a,--c"),
    ("a, --", ",", "", "a, --"),
    ("a = 1 -- c", ",", "", "a = 1 -- c"),
    # only the very end of the stripped text
    ("a,\nb", ",", "", "a,\nb"),
    ("a,\nb,", ",", "", "a,\nb"),
    ("a, -- x\n-- y", ",", "", "a, -- x\n-- y"),
    ("a AND b and", "AND|OR", "X", "a AND b X"),
    # the text is stripped before, not after, the replacement
    ("x AND", "AND|OR", "", "x "),
    ("x and  ", "AND|OR", "", "x "),
    ("a,,", ",", "", "a,"),
    ("", ",", "", ""),
    (" x ", "", "Y", "xY"),
    ("a ÄND", "änd", "", "a "),
])
def test_replace_sql_last(string, overrides, replace, expected):
    result = replace_sql_last(string, overrides, replace)
    assert type(result) is str
    assert result == expected


# ---------------------------------------------------------------- pattern errors


@pytest.mark.parametrize("func, replace", [
    (replace_sql_first, r"\2"),
    (replace_sql_last, r"\3"),
    (replace_sql_first, r"\q"),
    (replace_sql_last, "\\"),
])
def test_bad_template_raises_re_error(func, replace):
    with pytest.raises(re.error):
        func("and x and", "and", replace)


@pytest.mark.parametrize("func", [replace_sql_first, replace_sql_last])
@pytest.mark.parametrize("overrides", ["(", "a{2,1}", "a)", "*", "(?P<x>a)(?P<x>b)"])
def test_invalid_overrides_raise_re_error(func, overrides):
    with pytest.raises(re.error):
        func("and x", overrides, "")
