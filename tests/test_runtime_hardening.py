"""Inputs from Python code that once crashed the interpreter or lost clean-up steps."""

import ctypes
import gc
import inspect
import os
import re
import sys
import weakref

import pytest

import wisp
from wisp.db import db_gateway
from wisp.utils import clause_edit, literal_tools

probe = pytest.importorskip("wisp._rt_probe", reason="runtime probe module not built")


@pytest.mark.parametrize("attr", ["__module__", "__qualname__"])
@pytest.mark.parametrize("make", [lambda: literal_tools.sql_string_format, lambda: probe.make_adder(1)])
def test_names_that_are_not_utf8(monkeypatch, attr, make):
    f = make()
    monkeypatch.setattr(f, attr, "\udc80")
    assert str(inspect.signature(f)) in ("(sql_str_value: str)", "(x)")
    assert repr(f).startswith("<function ")
    with pytest.raises(TypeError, match="missing 1 required positional argument"):
        f()


class Sentinel:
    def __eq__(self, other):
        return NotImplemented

    __hash__ = object.__hash__


def rebinding_base_type(tp):
    # Drops the gateway's globals while results_handle still uses them.
    db_gateway.Dict, db_gateway.List = Sentinel(), Sentinel()
    return list


class FakeRe:
    """A replaced `re` whose attribute access rebinds the module's `re`."""

    IGNORECASE = re.IGNORECASE

    @property
    def sub(self):
        clause_edit.re = re
        return re.sub


def test_globals_rebound_during_a_call(monkeypatch):
    monkeypatch.setattr(db_gateway, "Dict", Sentinel())
    monkeypatch.setattr(db_gateway, "List", Sentinel())
    first = weakref.ref(db_gateway.Dict)
    monkeypatch.setattr(db_gateway, "get_base_type", rebinding_base_type)
    assert db_gateway.results_handle([{"a": 1}], dict, None) == [{"a": 1}]
    assert first() is None  # the object the call held is gone once it returned

    monkeypatch.setattr(clause_edit, "re", FakeRe())
    assert clause_edit.replace_sql_first("and x = 1", "and", "where") == "where x = 1"
    assert clause_edit.re is re


@pytest.mark.parametrize("step", ["success", "finally"])
@pytest.mark.parametrize("cpp", [False, True])
@pytest.mark.parametrize("inline", [False, True])
def test_failing_success_and_cleanup_steps(step, cpp, inline):
    log = []
    with pytest.raises(RuntimeError if cpp else ValueError, match=f"^step failed: {step}$"):
        if inline:
            probe.inline_recorder(log, step, cpp, lambda value: None)
        else:
            with probe.failing_recorder(log, step, cpp):
                pass
    expected = {"success": ["enter", "success", "error:" + ("RuntimeError" if cpp else "ValueError"), "finally"],
                "finally": ["enter", "success", "finally"]}
    assert log == expected[step]


def test_finaliser_that_resurrects_the_generator():
    store = []
    g = probe.resurrecting(store)
    next(g)
    del g
    assert len(store) == 1 and gc.is_tracked(store[0])
    g = store.pop()
    assert list(g) == []
    del g
    gc.collect()


def test_generator_in_a_cycle_through_its_body_is_collected():
    class Value:
        pass

    value, log = Value(), []
    value.cm = probe.recorder(log, value)  # generator -> body -> value -> cm -> generator
    assert value.cm.__enter__() is value
    gen = weakref.ref(value.cm.gen)
    del value
    gc.collect()
    assert gen() is None and log == ["enter", "finally"]


class StrSub(str):
    pass


@pytest.mark.parametrize("name, work", [
    ("add_note", lambda: probe.strict(StrSub(), {}, [], set(), int, None)),
    ("__getattribute__", lambda: probe.super_get(StrSub, StrSub(), "upper")),
])
def test_no_reference_taken_per_use_of_an_interned_name(name, work):
    def run():
        for _ in range(200):
            try:
                work()
            except TypeError:
                pass

    run()
    before = sys.getrefcount(name)
    run()
    assert sys.getrefcount(name) == before


def test_exception_type_is_exported_from_the_runtime():
    lib = ctypes.CDLL(os.path.join(os.path.dirname(wisp.__file__), "libwisp_rt.so"))
    assert lib["_ZTIN4wisp7PyErrorE"]  # typeinfo for wisp::PyError


def test_calls_that_loop_without_python_code_end_in_recursion_error():
    import functools

    rows = []
    again = functools.partial(probe.each, rows)  # each(rows, fn) calls fn(row) for every row
    rows.append(again)
    with pytest.raises(RecursionError):
        again(again)
    assert probe.each(["ab"], len) == [2]  # the count went back down
