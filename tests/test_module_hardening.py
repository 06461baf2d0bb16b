"""Python code that rebinds the modules' globals while they run, names that are
not UTF-8, and results_handle's kept type decisions against everything that
can change them."""

import dataclasses
import gc
import inspect
import weakref
import xml.etree.ElementTree as et

import pytest
import sqlalchemy
from sqlalchemy import text
from sqlalchemy.orm import sessionmaker

from wisp.db import db_gateway, query_runner
from wisp.db.db_gateway import WispDbGateway, results_handle
from wisp.db.query_runner import Page, QueryRunner
from wisp.mapper import xml_reader
from wisp.mapper.xml_reader import ParseMapper
from wisp.utils import arg_marks, class_probe, clause_edit, eval_funcs, literal_tools

ROWS = [{"a": 1, "b": 2}]


@dataclasses.dataclass
class Pair:
    a: int
    b: int


# --- globals rebound during a call ----------------------------------------------


def test_arg_marks_looks_its_helper_up_for_each_attribute(monkeypatch):
    class Rebinding:
        def __call__(self, regex, param, group):
            setattr(arg_marks, "__get_regex_value", lambda *args: "second")
            return "first"

    monkeypatch.setattr(arg_marks, "__get_regex_value", Rebinding())
    gone = weakref.ref(getattr(arg_marks, "__get_regex_value"))
    [p] = arg_marks.get_sql_param("#{a, sql_type=INTEGER}")
    assert (p.sql_type, p.python_type, p.type_handler) == ("first", "second", "second")
    assert gone() is None


def test_resolve_param_looks_sqlparam_up_after_the_match_is_tested(monkeypatch):
    made = []

    class Other:
        def __init__(self, **kw):
            made.append(kw)

    class Rebinding:
        def __bool__(self):
            monkeypatch.setattr(arg_marks, "SqlParam", Other)
            return True

    class Pattern:
        def match(self, text):
            return Rebinding()

    monkeypatch.setattr(arg_marks, "param_function_regex", Pattern())
    assert isinstance(arg_marks.sql_regex_list[0].resolve_param("#{f(x)}"), Other)
    assert made == [{"function_expression": "f(x)", "is_function": True, "function_name": "f"}]


def test_select_page_reads_limit_query_after_counting(users, monkeypatch):
    count, limit, limited = query_runner.count_query, query_runner.limit_query, []

    def counting(sql):
        monkeypatch.setattr(query_runner, "limit_query",
                            lambda sql, page: limited.append(page.pageNum) or limit(sql, page))
        return count(sql)

    monkeypatch.setattr(query_runner, "count_query", counting)
    # no ORDER BY: a replaced count_query keeps it, which PostgreSQL refuses beside COUNT(*)
    page = QueryRunner(users).select_page(text("SELECT name FROM users"), Page(2, 2))
    assert page["total"] == 5 and page["list"] == [{"name": "u3"}, {"name": "u4"}]
    assert limited == [2]


class SelfDroppingFactory:
    """A replaced `sessionmaker` that puts the original back when it is called,
    leaving itself referenced by nothing but the call in progress."""

    def __init__(self, module):
        self.module = module

    def __call__(self, bind, expire_on_commit):
        self.module.sessionmaker = sessionmaker
        return sessionmaker(bind=bind, expire_on_commit=expire_on_commit)


@pytest.mark.parametrize("module, work", [
    (query_runner, lambda engine: QueryRunner(engine).select_one(text("SELECT 1 AS x"))),
    (db_gateway, lambda engine: WispDbGateway({}, engine).get_ori_session().close()),
    (db_gateway, lambda engine: (lambda gw: (gw.begin_tx(), gw.rollback(), gw.close()))(
        WispDbGateway({}, engine))),
])
def test_session_factory_replaced_by_one_that_drops_itself(users, monkeypatch, module, work):
    monkeypatch.setattr(module, "sessionmaker", SelfDroppingFactory(module))
    gone = weakref.ref(module.sessionmaker)
    work(users)
    assert gone() is None and module.sessionmaker is sessionmaker
    assert users.pool.checkedout() == 0


class Scope:
    """An overriding get_session's context manager around the class's own."""

    def __init__(self, inner, suppress, fail):
        self.inner, self.suppress, self.fail = inner, suppress, fail

    def __enter__(self):
        return self.inner.__enter__()

    def __exit__(self, *exc):
        self.inner.__exit__(*exc)
        if self.fail:
            raise KeyError("exit")
        return self.suppress


@pytest.mark.parametrize("suppress, fail", [(True, False), (False, True), (False, False)])
def test_an_overriding_scope_decides_what_a_failure_becomes(users, suppress, fail):
    class Runner(QueryRunner):
        def get_session(self, session=None):
            return Scope(super().get_session(session), suppress, fail)

    statement = text("SELECT nothing FROM nowhere")
    if suppress:
        assert Runner(users).select_list(statement) is None
    else:
        with pytest.raises(KeyError if fail else sqlalchemy.exc.DBAPIError) as e:
            Runner(users).select_list(statement)
        if fail:
            assert isinstance(e.value.__context__, sqlalchemy.exc.DBAPIError)
    assert users.pool.checkedout() == 0


# --- results_handle's kept decisions --------------------------------------------


@pytest.mark.parametrize("module, name, value, expected", [
    (db_gateway, "is_result_class", lambda t: False, [1]),
    (db_gateway, "get_base_type", lambda t: dict, Pair(1, 2)),
    (db_gateway, "list", tuple, Pair(1, 2)),
    (class_probe, "is_dataclass", lambda t: False, [1]),
    (class_probe, "get_origin", lambda t: None, TypeError),
])
def test_a_kept_decision_gives_way_to_a_replaced_global(monkeypatch, module, name, value, expected):
    annotation = list[Pair]
    for _ in range(2):  # decided, then kept
        assert results_handle(ROWS, Pair, annotation) == [Pair(1, 2)]
    monkeypatch.setattr(module, name, value, raising=False)
    if expected is TypeError:  # the interpreter's or results_handle's, by version
        with pytest.raises(TypeError):
            results_handle(ROWS, Pair, annotation)
    else:
        assert results_handle(ROWS, Pair, annotation) == expected
    monkeypatch.undo()
    assert results_handle(ROWS, Pair, annotation) == [Pair(1, 2)]


def test_a_class_made_a_dataclass_after_use_is_built():
    class Late:
        a: int
        b: int

    annotation = list[Late]
    assert results_handle(ROWS, Late, annotation) == [1]
    assert results_handle(ROWS, Late, annotation) == [1]
    dataclasses.dataclass(Late)
    assert results_handle(ROWS, Late, annotation) == [Late(1, 2)]


def test_decisions_for_classes_that_come_and_go():
    # Freed classes and aliases leave their addresses to new ones: a kept
    # decision must never be taken for an object it was not made for.
    for i in range(120):
        cls = dataclasses.make_dataclass("C", ["a", "b"]) if i % 2 else type("C", (), {})
        expected = [cls(1, 2)] if i % 2 else [1]
        assert results_handle(ROWS, cls, list[cls]) == expected
        del cls, expected
        gc.collect()


def test_a_class_with_its_own_equality_is_decided_each_time():
    class Meta(type):
        means_dict = False

        def __eq__(cls, other):
            return Meta.means_dict and other is dict

        __hash__ = type.__hash__

    class Shifty(metaclass=Meta):
        pass

    rows = [{"a": 1}]
    assert results_handle(rows, Shifty, Shifty) == 1
    assert results_handle(rows, Shifty, Shifty) == 1
    Meta.means_dict = True  # now a dict annotation: a plain class is refused
    with pytest.raises(TypeError, match="^please check return_type: "):
        results_handle(rows, Shifty, Shifty)


# --- names that are not UTF-8 -----------------------------------------------------


@pytest.mark.parametrize("func", [
    class_probe.get_type_from_string, literal_tools.convert_cdata, clause_edit.replace_sql_first,
    eval_funcs.time_format, arg_marks.SqlParam.__init__, xml_reader.ParseMapper.insert,
    query_runner.QueryRunner.insert_orm2, db_gateway.WispDbGateway.update_orm2,
], ids=lambda f: f.__qualname__)
@pytest.mark.parametrize("attr", ["__module__", "__qualname__"])
def test_signatures_with_names_that_are_not_utf8(monkeypatch, func, attr):
    expected = str(inspect.signature(func))
    monkeypatch.setattr(func, attr, "\udc80")
    assert str(inspect.signature(func)) == expected


def test_rendering_notes_with_text_that_is_not_utf8(tmp_path):
    path = tmp_path / "m.xml"
    path.write_text('<mapper namespace="m"><select id="s">SELECT 1</select></mapper>')
    mapper = ParseMapper(str(path))
    element = et.fromstring("<select>SELECT 1 <if>x</if></select>")
    element.find("if").set("test", "params['\udc80']")
    mapper.id_2_element_map["\udc80"] = element
    with pytest.raises(UnicodeEncodeError) as e:  # what eval says of such text
        mapper.select("\udc80", {})
    assert e.value.__notes__ == [
        f"mapper file {str(path)!r}, statement '\\udc80', expression \"params['\\udc80']\""]

