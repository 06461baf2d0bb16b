"""Memory stays flat over many calls, failing calls included, and no argument keeps
an extra reference."""

import dataclasses
import gc
import re
import sys
import time
import types
import typing

import pytest

import memcheck
from pydantic import BaseModel

from wisp.utils import arg_marks, class_probe, clause_edit, eval_funcs, literal_tools

TRACED_LIMIT = 64 * 1024
RSS_LIMIT = 4 * 1024 * 1024

get_regex_value = getattr(arg_marks, "__get_regex_value")


class StrSub(str):
    pass


class Model(BaseModel):
    id: int = 0


@dataclasses.dataclass
class Record:
    id: int = 0


class Plain:
    pass


def ok(func, *args, **kwargs):
    return (func, args, kwargs, None)


def fails(exc, func, *args, **kwargs):
    return (func, args, kwargs, exc)


def run(cases, rounds):
    for _ in range(rounds):
        for func, args, kwargs, exc in cases:
            if exc is None:
                func(*args, **kwargs)
            else:
                try:
                    func(*args, **kwargs)
                except exc:
                    pass
                else:
                    raise AssertionError("%s%r did not raise" % (func.__name__, args))


def assert_flat(cases, rounds, warmup=50):
    run(cases, warmup)
    memcheck.assert_flat(lambda: run(cases, rounds // 3), TRACED_LIMIT, RSS_LIMIT,
                         what="%d calls" % (rounds // 3 * len(cases)))


LIST_INT = list[int]
TYPING_LIST = typing.List[str]

CLASS_PROBE_CASES = [
    ok(class_probe.is_container_type_by_str, "list"),
    ok(class_probe.is_container_type_by_str, "model.User"),
    ok(class_probe.is_container_type_by_str, "None"),
    fails(TypeError, class_probe.is_container_type_by_str, 5),
    fails(TypeError, class_probe.is_container_type_by_str, StrSub("list")),
    ok(class_probe.get_type_from_string, "int"),
    ok(class_probe.get_type_from_string, "BaseModel"),
    ok(class_probe.get_type_from_string, "collections.OrderedDict"),
    fails(ValueError, class_probe.get_type_from_string, "None"),
    fails(ValueError, class_probe.get_type_from_string, "os.getcwd"),
    fails(ValueError, class_probe.get_type_from_string, "os.NoSuch"),
    fails(ValueError, class_probe.get_type_from_string, "no_such_pkg_for_leaks.User"),
    fails(TypeError, class_probe.get_type_from_string, None),
    fails(TypeError, class_probe.get_type_from_string, StrSub("int")),
    ok(class_probe.is_container_type, LIST_INT),
    ok(class_probe.is_container_type, TYPING_LIST),
    ok(class_probe.is_container_type, int),
    fails(TypeError, class_probe.is_container_type, 5),
    ok(class_probe.get_base_type, LIST_INT),
    ok(class_probe.get_base_type, int),
    ok(class_probe.is_result_class, Model),
    ok(class_probe.is_result_class, Record),
    ok(class_probe.is_result_class, dict),
    fails(TypeError, class_probe.is_result_class, Record()),
    fails(TypeError, class_probe.get_base_type),
    fails(TypeError, class_probe.is_result_class, int, bogus=1),
]

LITERAL_CASES = [
    ok(literal_tools.replace_cdata, "select <![CDATA[a < b & \"c\"]]> from t <![CDATA[x]]>"),
    ok(literal_tools.replace_cdata, "no section here"),
    fails(TypeError, literal_tools.replace_cdata, 5),
    ok(literal_tools.convert_cdata, "a & b < c > \"d\"", True),
    ok(literal_tools.convert_cdata, "&amp;lt; &quot;"),
    fails(AttributeError, literal_tools.convert_cdata, None),
    ok(literal_tools.sql_string_format, "abc"),
    ok(literal_tools.sql_string_format, "'abc'"),
    ok(literal_tools.sql_string_format, ""),
    fails(TypeError, literal_tools.sql_string_format, 5),
    fails(TypeError, literal_tools.sql_string_format, StrSub("a")),
    ok(literal_tools.param_str, None),
    ok(literal_tools.param_str, 12345678901234567890),
    ok(literal_tools.param_str, "中文"),
    ok(literal_tools.param_str, [1, 2]),
    fails(TypeError, literal_tools.param_str),
]

CLAUSE_CASES = [
    ok(clause_edit.replace_sql_first, "  and a = 1 ", "AND|OR", ""),
    ok(clause_edit.replace_sql_first, "a = 1", "AND|OR", r"<\1>"),
    fails(re.error, clause_edit.replace_sql_first, "and a", "(", ""),
    fails(re.error, clause_edit.replace_sql_first, "and a", "and", r"\2"),
    fails(TypeError, clause_edit.replace_sql_first, "and a", None, ""),
    fails(TypeError, clause_edit.replace_sql_first, StrSub("and a"), "and", ""),
    ok(clause_edit.replace_sql_last, "a = 1,  -- note", ",", ""),
    ok(clause_edit.replace_sql_last, "x AND", "AND|OR", r"\2"),
    fails(re.error, clause_edit.replace_sql_last, "a,", "a{2,1}", ""),
    fails(TypeError, clause_edit.replace_sql_last, "a,", ",", 5),
    fails(TypeError, clause_edit.replace_sql_last, "a,", ","),
]

TUPLE_TIME = (2024, 1, 2, 3, 4, 5, 1, 2, 0)
STRUCT_TIME = time.gmtime(0)

EVAL_CASES = [
    ok(eval_funcs.like, "abc"),
    ok(eval_funcs.like, "'abc'"),
    fails(TypeError, eval_funcs.like, 5),
    fails(TypeError, eval_funcs.like, StrSub("x")),
    ok(eval_funcs.time_format, TUPLE_TIME),
    ok(eval_funcs.time_format, STRUCT_TIME, "%Y"),
    ok(eval_funcs.time_format, STRUCT_TIME, format=""),
    fails(TypeError, eval_funcs.time_format, STRUCT_TIME, 5),
    fails(TypeError, eval_funcs.time_format, None),
    fails(TypeError, eval_funcs.time_format),
]

ELEMENT = types.SimpleNamespace(text="  \n", tail=" #{a, sql_type=INT} ${t} $f{f(x)} ")
SQL_TEXT = ("select * from ${table} where id = #{id, sql_type=INTEGER, python_type=int} "
            "and d = $f{date_format(now())} and n = #{name} or id = #{id, sql_type=INTEGER,"
            " python_type=int} and 名字 = #{名字}")
HASH_REGEX = arg_marks.SqlParamRegex(r"\#\{.+?\}", "#")

ARG_MARKS_CASES = [
    ok(arg_marks.get_sql_param, SQL_TEXT),
    ok(arg_marks.get_sql_param, ""),
    fails(AttributeError, arg_marks.get_sql_param, "#{a, sql_type=}"),
    fails(TypeError, arg_marks.get_sql_param, None),
    ok(arg_marks.get_params, ELEMENT),
    fails(AttributeError, arg_marks.get_params, object()),
    ok(get_regex_value, r"(?P<g>\d+)", "ab 12", "g"),
    ok(get_regex_value, r"(?P<g>\d+)", "ab", "g"),
    fails(TypeError, get_regex_value, 1, "a", "g"),
    fails(IndexError, get_regex_value, r"(?P<g>a)", "a", "h"),
    ok(arg_marks.SqlParamRegex, r"@\{.+?\}", "@"),
    fails(TypeError, arg_marks.SqlParamRegex, "x", StrSub("#")),
    fails(re.error, arg_marks.SqlParamRegex, "(", "#"),
    ok(HASH_REGEX.resolve_param, "#{f(x)}"),
    ok(HASH_REGEX.resolve_param, "#{a, b}"),
    fails(TypeError, HASH_REGEX.resolve_param, 5),
    ok(arg_marks.SqlParam, "a", "f(x)", 1, "f"),
    fails(TypeError, arg_marks.SqlParam, 5),
    ok(arg_marks.MybatisParam, arg_marks.SqlParam("a"), "#{a}", "INT", "int", "H"),
    fails(TypeError, arg_marks.MybatisParam, arg_marks.SqlParam("a"), full_name=5),
    fails(AttributeError, arg_marks.MybatisParam, None),
    ok(str, arg_marks.MybatisParam(arg_marks.SqlParam("a"), "#{a}")),
]


@pytest.mark.parametrize("cases, rounds", [
    pytest.param(CLASS_PROBE_CASES, 1500, id="class_probe"),
    pytest.param(LITERAL_CASES, 5000, id="literal_tools"),
    pytest.param(CLAUSE_CASES, 4000, id="clause_edit"),
    pytest.param(EVAL_CASES, 6000, id="eval_funcs"),
    pytest.param(ARG_MARKS_CASES, 2500, id="arg_marks"),
])
def test_memory_is_flat(cases, rounds):
    assert_flat(cases, rounds)


def fresh(text):
    # a string object of its own, neither interned nor shared with a constant
    return "".join(list(text))


REFCOUNT_CALLS = [
    ("is_container_type", lambda a: class_probe.is_container_type(a), lambda: type("T", (list,), {})),
    ("get_base_type", lambda a: class_probe.get_base_type(a), Plain),
    ("is_result_class", lambda a: class_probe.is_result_class(a), lambda: type("M", (Model,), {})),
    ("is_result_class fails", lambda a: class_probe.is_result_class(a), Plain),
    ("get_type_from_string fails", lambda a: class_probe.get_type_from_string(a),
     lambda: fresh("no_such_name_for_leaks")),
    ("get_type_from_string import fails", lambda a: class_probe.get_type_from_string(a),
     lambda: fresh("no_such_pkg_for_leaks.User")),
    ("is_container_type_by_str wrong type", lambda a: class_probe.is_container_type_by_str(a),
     lambda: [1]),
    ("replace_cdata", lambda a: literal_tools.replace_cdata(a),
     lambda: fresh("x <![CDATA[a < b]]> y")),
    ("convert_cdata", lambda a: literal_tools.convert_cdata(a, True), lambda: fresh("a<b")),
    ("sql_string_format", lambda a: literal_tools.sql_string_format(a), lambda: fresh("abc")),
    ("sql_string_format unchanged", lambda a: literal_tools.sql_string_format(a),
     lambda: fresh("'abc'")),
    ("sql_string_format wrong type", lambda a: literal_tools.sql_string_format(a), lambda: [1]),
    ("param_str", lambda a: literal_tools.param_str(a), lambda: fresh("abc")),
    ("param_str other", lambda a: literal_tools.param_str(a), lambda: [1, 2]),
    ("replace_sql_first", lambda a: clause_edit.replace_sql_first(a, "AND|OR", ""),
     lambda: fresh("and a = 1")),
    ("replace_sql_last", lambda a: clause_edit.replace_sql_last("a = 1,", ",", a),
     lambda: fresh("; ")),
    ("replace_sql_last wrong type", lambda a: clause_edit.replace_sql_last("a", a, ""),
     lambda: StrSub(",")),
    ("like", lambda a: eval_funcs.like(a), lambda: fresh("abc")),
    ("time_format", lambda a: eval_funcs.time_format(a), lambda: tuple(TUPLE_TIME)),
    ("time_format format", lambda a: eval_funcs.time_format(TUPLE_TIME, a), lambda: fresh("%Y")),
    ("get_sql_param", lambda a: arg_marks.get_sql_param(a), lambda: fresh(SQL_TEXT)),
    ("get_sql_param whole match", lambda a: arg_marks.get_sql_param(a), lambda: fresh("#{a}")),
    ("get_params", lambda a: arg_marks.get_params(a),
     lambda: types.SimpleNamespace(text=fresh("#{a}"), tail=None)),
    ("get_params fails", lambda a: arg_marks.get_params(a), lambda: types.SimpleNamespace()),
    ("resolve_param", lambda a: HASH_REGEX.resolve_param(a), lambda: fresh("#{a, b}")),
    ("SqlParam", lambda a: arg_marks.SqlParam(a), lambda: fresh("a")),
    ("MybatisParam", lambda a: arg_marks.MybatisParam(a, a.param_name),
     lambda: arg_marks.SqlParam(fresh("a"))),
]


@pytest.mark.parametrize("call, make", [pytest.param(c, m, id=i) for i, c, m in REFCOUNT_CALLS])
def test_argument_refcount_unchanged(call, make):
    arg = make()
    for _ in range(100):
        try:
            call(arg)
        except Exception:
            pass
    # The interpreter's attribute cache keeps the last name looked up on a
    # type (a str argument used as an attribute name) until another lookup
    # takes its slot: empty it before each count.
    gc.collect()
    sys._clear_type_cache()
    before = sys.getrefcount(arg)
    for _ in range(5000):
        try:
            call(arg)
        except Exception:
            pass
    gc.collect()
    sys._clear_type_cache()
    assert sys.getrefcount(arg) == before
