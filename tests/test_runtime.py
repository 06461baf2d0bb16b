"""The native function and generator types, seen through the tools that look at them."""

import contextlib
import functools
import gc
import inspect
import pickle
import sys
import weakref

import pytest

from wisp.utils import class_probe, clause_edit, literal_tools

probe = pytest.importorskip("wisp._rt_probe", reason="runtime probe module not built")


# --- function objects -------------------------------------------------------


def test_function_metadata_like_python():
    f = class_probe.get_type_from_string
    assert f.__name__ == "get_type_from_string"
    assert f.__qualname__ == "get_type_from_string"
    assert f.__module__ == "wisp.utils.class_probe"
    assert f.__annotations__ == {"type_str": str}
    assert f.__defaults__ is None and f.__kwdefaults__ is None
    assert f.__dict__ == {}
    assert f.__globals__ is vars(class_probe)
    assert callable(f) and not inspect.isclass(f)
    assert repr(f).startswith("<function get_type_from_string at 0x")
    assert literal_tools.param_str.__doc__ is None


def test_function_attributes_are_writable():
    add = probe.make_adder(1)
    add.__name__ = "renamed"
    add.__qualname__ = "X.renamed"
    add.__doc__ = "doc"
    add.__module__ = "elsewhere"
    add.extra = 5
    assert (add.__name__, add.__qualname__, add.__doc__, add.__module__) == (
        "renamed", "X.renamed", "doc", "elsewhere")
    assert add.__dict__ == {"extra": 5}
    with pytest.raises(TypeError):
        add.__name__ = 3
    assert add(2) == 3


def test_signature_kinds_defaults_annotations():
    sig = inspect.signature(probe.bind)
    assert str(sig) == "(a, /, b: int, *args, c: bool = False, d: str = None, **kwargs) -> tuple"
    kinds = [p.kind for p in sig.parameters.values()]
    P = inspect.Parameter
    assert kinds == [P.POSITIONAL_ONLY, P.POSITIONAL_OR_KEYWORD, P.VAR_POSITIONAL,
                     P.KEYWORD_ONLY, P.KEYWORD_ONLY, P.VAR_KEYWORD]
    assert probe.bind.__kwdefaults__ == {"c": False, "d": None}
    argspec = inspect.getfullargspec(probe.bind)
    assert argspec.args == ["a", "b"] and argspec.varargs == "args" and argspec.varkw == "kwargs"


def test_defaults_are_read_at_call_time():
    bound = inspect.signature(clause_edit.replace_sql_first).bind("a", "b", "c")
    assert list(bound.arguments) == ["string", "prefix_overrides", "replace"]
    f = probe.make_adder(10)
    f.__defaults__ = (5,)
    assert f() == 15
    assert inspect.signature(f).parameters["x"].default == 5


def test_binding_and_conversions():
    a, b, args, c, d, kw = probe.bind(1, 2.9, 3, 4, c=[1], d="s", z=0)
    assert (a, b, args, c, d, kw) == (1, 2, (3, 4), True, "s", {"z": 0})
    assert type(b) is int
    assert probe.bind(1, True)[1] == 1 and type(probe.bind(1, True)[1]) is int


@pytest.mark.parametrize("call, message", [
    (lambda: probe.bind(), "bind() missing 2 required positional arguments: 'a' and 'b'"),
    (lambda: probe.bind(1), "bind() missing 1 required positional argument: 'b'"),
    (lambda: probe.strict(), "strict() missing 6 required positional arguments: "
                             "'s', 'd', 'l', 'st', 't', and 'o'"),
    (lambda: class_probe.is_result_class(1, 2),
     "is_result_class() takes 1 positional argument but 2 were given"),
    (lambda: class_probe.is_result_class(), "is_result_class() missing 1 required positional "
                                            "argument: 'data_type'"),
    (lambda: literal_tools.convert_cdata("a", True, 3),
     "convert_cdata() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: class_probe.get_base_type(x=1),
     "get_base_type() got an unexpected keyword argument 'x'"),
    (lambda: class_probe.get_base_type(1, generic_type=1),
     "get_base_type() got multiple values for argument 'generic_type'"),
    (lambda: probe.make_adder(1)(1, 2), "make_adder.<locals>.add() takes 1 positional argument "
                                        "but 2 were given"),
])
def test_wrong_calls_raise_the_interpreters_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_wrong_call_messages_match_a_python_function():
    def is_result_class(data_type):
        pass

    for args, kwargs in [((), {}), ((1, 2), {}), ((), {"x": 1}), ((1,), {"data_type": 1})]:
        with pytest.raises(TypeError) as ours:
            class_probe.is_result_class(*args, **kwargs)
        with pytest.raises(TypeError) as theirs:
            is_result_class(*args, **kwargs)
        assert str(ours.value).split("()", 1)[1] == str(theirs.value).split("()", 1)[1]


class Str(str):
    pass


class Dict(dict):
    pass


GOOD = ("s", {}, [], set(), int, None)


@pytest.mark.parametrize("index, bad, expected", [
    (0, 1, "str"), (0, b"s", "str"), (0, None, "str"), (1, [], "dict"), (2, (), "list"),
    (3, frozenset(), "set"), (4, 3, "type"), (5, 3, "str"),
])
def test_exact_type_refusals(index, bad, expected):
    args = list(GOOD)
    args[index] = bad
    name = ["s", "d", "l", "st", "t", "o"][index]
    with pytest.raises(TypeError) as info:
        probe.strict(*args)
    assert str(info.value) == (f"Argument '{name}' has incorrect type "
                               f"(expected {expected}, got {type(bad).__name__})")
    assert not getattr(info.value, "__notes__", None)


@pytest.mark.parametrize("index, bad", [(0, Str("s")), (1, Dict()), (2, type("L", (list,), {})())])
def test_subclass_instances_are_refused_with_a_note(index, bad):
    args = list(GOOD)
    args[index] = bad
    with pytest.raises(TypeError) as info:
        probe.strict(*args)
    assert "has incorrect type" in str(info.value)
    assert len(info.value.__notes__) == 1 and "subclass" in info.value.__notes__[0]


def test_none_only_where_allowed():
    assert probe.strict("s", {}, [], set(), int, None)[5] is None
    assert probe.bind(1, 2, d=None)[4] is None
    with pytest.raises(TypeError, match="expected int, got str"):
        probe.bind(1, "2")


def test_return_type_is_checked():
    assert probe.echo_str("x") == "x"
    assert probe.echo_str(None) is None
    with pytest.raises(TypeError, match=r"^Expected str, got int$"):
        probe.echo_str(3)


# --- functools.wraps in both directions ------------------------------------


def test_python_wrapper_around_native_function():
    @functools.wraps(class_probe.get_type_from_string)
    def wrapper(*args, **kwargs):
        return class_probe.get_type_from_string(*args, **kwargs)

    assert wrapper.__name__ == "get_type_from_string"
    assert wrapper.__doc__ == class_probe.get_type_from_string.__doc__
    assert wrapper.__wrapped__ is class_probe.get_type_from_string
    assert wrapper.__annotations__ == {"type_str": str}
    assert str(inspect.signature(wrapper)) == "(type_str: str)"
    assert wrapper("int") is int


def test_native_function_wrapping_python_function():
    def target(x: int, y="d") -> str:
        """Target doc."""

    native = probe.make_adder(0)
    functools.update_wrapper(native, target)
    assert native.__name__ == "target"
    assert native.__qualname__.endswith("target")
    assert native.__doc__ == "Target doc."
    assert native.__wrapped__ is target
    assert native.__annotations__ == target.__annotations__
    assert str(inspect.signature(native)) == "(x: int, y='d') -> str"
    assert str(inspect.signature(native, follow_wrapped=False)) == "(x: int) -> str"
    assert native(4) == 4


# --- binding as a method ---------------------------------------------------


def test_binding_like_a_python_function():
    class Holder:
        as_method = probe.make_adder("")
        static = staticmethod(class_probe.get_base_type)
        klass = classmethod(class_probe.get_base_type)
        prop = property(class_probe.get_base_type)

    h = Holder()
    bound = h.as_method
    assert inspect.ismethod(bound) and bound.__self__ is h and bound.__func__ is Holder.as_method
    assert Holder.static(int) is int
    assert h.klass() is Holder
    assert h.prop is h
    assert str(inspect.signature(Holder.klass)) == "()"
    assert Holder.__dict__["as_method"].__get__(None, Holder) is Holder.as_method


def test_native_methods_on_a_class_built_at_import():
    box = probe.Box(3)
    assert box.get() == 3 and box.__dict__ == {"value": 3}
    assert probe.Box.get.__qualname__ == "Box.get"
    assert str(inspect.signature(probe.Box)) == "(value)"

    class Twice(probe.Box):
        def get(self):
            return super().get() * 2

    assert Twice(4).get() == 8


def test_native_function_as_getattribute_and_init():
    class Spy:
        __init__ = probe.Box.__init__
        get = probe.Box.get

    s = Spy(5)
    assert s.get() == 5

    seen = []

    def record(self, name):
        seen.append(name)
        return object.__getattribute__(self, name)

    class Traced:
        __getattribute__ = record
        value = 1

    assert Traced().value == 1 and seen == ["value"]


def test_generic_base_class():
    import typing

    assert probe.Holder.__orig_bases__ == (typing.Generic[probe.T],)
    assert typing.Generic in probe.Holder.__mro__

    class IntHolder(probe.Holder[int]):
        pass

    assert IntHolder().model() is int
    assert probe.Holder[str] is not probe.Holder


def test_dataclass_built_at_import():
    import dataclasses

    assert dataclasses.is_dataclass(probe.Point)
    p = probe.Point(3, -4)
    assert p == probe.Point(x=3, y=-4) and p.norm1() == 7
    assert repr(p) == "Point(x=3, y=-4)" and probe.Point(1).y == 0
    assert [f.name for f in dataclasses.fields(probe.Point)] == ["x", "y"]
    assert probe.Point.__module__ == "wisp._rt_probe" and p.__dict__ == {"x": 3, "y": -4}


def test_closure_qualname_and_independence():
    a, b = probe.make_adder(1), probe.make_adder(100)
    assert a.__qualname__ == "make_adder.<locals>.add"
    assert (a(1), b(1)) == (2, 101)
    assert a.__code__.co_varnames == ("x",)


def test_generator_functions_say_so():
    from wisp import wisp
    from wisp.db import query_runner

    generators = [probe.count, query_runner.QueryRunner.get_session.__wrapped__,
                  wisp.switch_datasource.__wrapped__, wisp.db_session.__wrapped__]
    assert all(inspect.isgeneratorfunction(f) for f in generators)
    assert not any(inspect.isgeneratorfunction(f) for f in (probe.make_adder, wisp.get_current_db))
    assert list(probe.count(1, 4)) == [1, 2, 3]


def test_pickle_weakref_and_collection():
    assert pickle.loads(pickle.dumps(class_probe.get_base_type)) is class_probe.get_base_type
    f = probe.make_adder(1)
    r = weakref.ref(f)
    f.cycle = f  # a reference cycle through __dict__
    del f
    gc.collect()
    assert r() is None


# --- generators and contextmanager -----------------------------------------


def test_generator_protocol():
    g = probe.count(0, 3)
    assert iter(g) is g and list(g) == [0, 1, 2]
    assert list(g) == []
    g = probe.count(0, 10)
    assert next(g) == 0 and g.send(7) == 7 and next(g) == 8
    with pytest.raises(TypeError, match="just-started"):
        probe.count(0, 1).send(1)
    with pytest.raises(StopIteration) as info:
        g2 = probe.count(5, 6)
        next(g2)
        next(g2)
    assert info.value.value == 6
    g.close()
    g.close()
    with pytest.raises(StopIteration):
        next(g)


@pytest.mark.parametrize("form", ["one", "three"])
def test_throw_forms(form):
    g = probe.count(0, 5)
    next(g)
    exc = KeyError("k")
    with pytest.raises(KeyError) as info:
        if form == "one":
            g.throw(exc)
        else:
            g.throw(KeyError, exc, None)
    assert info.value is exc
    with pytest.raises(StopIteration):
        next(g)


def test_throw_builds_exception_from_class_and_value():
    g = probe.count(0, 5)
    next(g)
    with pytest.raises(ValueError, match="^v$"):
        g.throw(ValueError, "v")
    with pytest.raises(TypeError):
        probe.count(0, 5).throw(3)


def test_contextmanager_in_with_statement():
    log = []
    with probe.recorder(log, "value") as v:
        assert v == "value"
        assert log == ["enter"]
    assert log == ["enter", "success", "finally"]


@pytest.mark.parametrize("exc_type", [KeyError, ValueError, RuntimeError, StopIteration])
def test_contextmanager_reraises_the_same_object(exc_type):
    log = []
    exc = exc_type("boom")
    with pytest.raises(exc_type) as info:
        with probe.recorder(log):
            raise exc
    assert info.value is exc
    assert log == ["enter", f"error:{exc_type.__name__}", "finally"]


def test_contextmanager_base_exceptions_skip_the_error_step():
    log = []
    with pytest.raises(KeyboardInterrupt):
        with probe.recorder(log):
            raise KeyboardInterrupt
    assert log == ["enter", "finally"]


def test_contextmanager_as_decorator():
    log = []
    exc = LookupError("x")

    @probe.recorder(log)
    def work(fail):
        if fail:
            raise exc
        return "ok"

    assert work(False) == "ok"
    with pytest.raises(LookupError) as info:
        work(True)
    assert info.value is exc
    assert log == ["enter", "success", "finally", "enter", "error:LookupError", "finally"]


def test_abandoned_suspended_generator_runs_cleanup():
    log = []
    cm = probe.recorder(log)
    cm.__enter__()
    del cm
    gc.collect()
    assert log == ["enter", "finally"]


def test_generator_refcounts_stay_balanced():
    value = object()
    before = sys.getrefcount(value)
    for _ in range(1000):
        with probe.recorder([], value):
            pass
        with contextlib.suppress(ValueError):
            with probe.recorder([], value):
                raise ValueError
    assert sys.getrefcount(value) == before
