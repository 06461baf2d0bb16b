"""Runtime facilities for module code, checked against what Python itself does."""

import contextlib
import contextvars
import dataclasses
import gc
import inspect
import sys
import weakref

import pytest

probe = pytest.importorskip("wisp._rt_probe", reason="runtime probe module not built")


# --- decorator factories ----------------------------------------------------


def target(x, y=2):
    """Target doc."""
    return x + y


def test_decorator_factory_closures_and_wraps():
    decorator = probe.tag("a")
    assert decorator.__qualname__ == "tag.<locals>.decorator"
    wrapper = decorator(target)
    assert (wrapper.__name__, wrapper.__doc__, wrapper.__wrapped__) == ("target", "Target doc.", target)
    assert str(inspect.signature(wrapper)) == "(x, y=2)"
    assert wrapper(1) == ("a", 3) and wrapper(1, y=5) == ("a", 6)
    assert probe.tag("b")(target)(1) == ("b", 3)  # each closure has its own values
    with pytest.raises(TypeError, match="Argument 'label' has incorrect type"):
        probe.tag(1)


def test_wraps_is_looked_up_when_the_decorator_runs(monkeypatch):
    monkeypatch.setattr(probe, "wraps", lambda wrapped: (lambda wrapper: wrapper))
    wrapper = probe.tag("a")(target)
    assert wrapper.__qualname__ == "tag.<locals>.decorator.<locals>.wrapper"
    assert not hasattr(wrapper, "__wrapped__")


def test_cycle_through_captured_values_is_collected():
    def func():
        pass

    wrapper = probe.tag("a")(func)
    func.keep = wrapper  # func -> wrapper -> captured func
    ref = weakref.ref(wrapper)
    del func, wrapper
    gc.collect()
    assert ref() is None


def test_argument_struct_must_hold_exactly_the_parameters():
    with pytest.raises(RuntimeError, match="must hold exactly its parameters"):
        probe.bad_view()


# --- what a class statement does implicitly ---------------------------------


def test_class_namespace_like_a_class_statement():
    ns = vars(probe.Registry)
    assert isinstance(ns["__new__"], staticmethod)
    assert isinstance(ns["__init_subclass__"], classmethod)
    assert "__sorted" not in ns
    private = ns["_Registry__sorted"]
    assert (private.__name__, private.__qualname__) == ("__sorted", "Registry.__sorted")
    assert probe.Registry.__annotations__ == {"entries": dict, "label": "str"}
    assert (probe.Registry.entries, probe.Registry.label) == (None, "registry")
    r = probe.Registry({"b": 1, "a": 2})
    assert r.made_by_new and r.keys() == ["a", "b"] and r.size == 2
    with pytest.raises(AttributeError):
        r.size = 3


def test_python_subclass_uses_new_and_init_subclass():
    class Sub(probe.Registry):
        def __new__(cls, *args, **kwargs):
            return super().__new__(cls, *args, **kwargs)

    assert probe.subclasses[-1] is Sub and Sub({}).made_by_new
    with pytest.raises(TypeError):  # object.__init_subclass__ takes no keywords

        class Bad(probe.Registry, flag=True):
            pass


def test_classmethod_contextmanager_in_with_and_as_decorator():
    log = []
    with probe.Registry.scope(log) as cls:
        assert cls is probe.Registry

    @probe.Registry.scope(log)
    def work():
        raise KeyError("k")

    with pytest.raises(KeyError):
        work()
    assert log == ["enter", "success", "finally", "enter", "error:KeyError", "finally"]


def test_generic_subclass_overrides_with_super():
    class IntHolder(probe.Holder[int]):
        def model(self):
            return ("sub", super().model())

    assert IntHolder().model() == ("sub", int)


# --- dataclasses ----------------------------------------------------------


@dataclasses.dataclass
class Record:
    kind: str
    host: str = None
    port: int = None


@dataclasses.dataclass
class Settings:
    records: "dict[str, Record]" = dataclasses.field(init=False)
    strict: bool = False
    path: str = None

    def __init__(self, path=None, strict=False, **records):
        self.path, self.strict, self.records = path, bool(strict), records


def field_view(cls):
    return [(f.name, f.type, f.default, f.init, f.repr) for f in dataclasses.fields(cls)]


@pytest.mark.parametrize("ours, theirs, args, kwargs, other", [
    (probe.Record, Record, ("mysql",), {"port": 3306}, {"port": 1}),
    (probe.Settings, Settings, ("p", 1), {"main": 5}, {"main": 6}),
])
def test_dataclasses_match_python_ones(ours, theirs, args, kwargs, other):
    assert field_view(ours) == field_view(theirs)
    mine, python = ours(*args, **kwargs), theirs(*args, **kwargs)
    assert repr(mine).replace("wisp._rt_probe.", "") == repr(python).replace(__name__ + ".", "")
    assert mine == ours(*args, **kwargs) and mine != ours(*args, **other)
    assert inspect.signature(ours) == inspect.signature(theirs)


def test_dataclass_keeps_own_repr_and_takes_options():
    secret = probe.Secret("pw")
    assert repr(secret) == "Secret(***)" and secret == probe.Secret("pw")
    with pytest.raises(dataclasses.FrozenInstanceError):
        secret.value = "x"


# --- context variables ------------------------------------------------------


class DuckVar:
    """Stands where a ContextVar was replaced: reached through get/set."""

    def __init__(self):
        self.value = None

    def get(self, *default):
        if self.value is None and not default:
            raise LookupError(self)
        return self.value if self.value is not None else default[0]

    def set(self, value):
        self.value = value
        return "token"


@pytest.mark.parametrize("make", [lambda: contextvars.ContextVar("v"), DuckVar])
def test_context_variable_get_and_set(make):
    var = make()
    with pytest.raises(LookupError):
        probe.var_get(var)
    assert probe.var_get(var, 5) == 5
    token = probe.var_set(var, 7)
    assert probe.var_get(var) == 7 == var.get()
    assert isinstance(token, contextvars.Token) or token == "token"


def test_context_variable_is_per_context():
    var = contextvars.ContextVar("v", default="outer")
    assert contextvars.copy_context().run(lambda: (probe.var_set(var, "inner"), probe.var_get(var))[1]) == "inner"
    assert probe.var_get(var) == "outer"


# --- with --------------------------------------------------------------------


class Manager:
    def __init__(self, suppress=False, fail=False):
        self.suppress, self.fail, self.seen = suppress, fail, None

    def __enter__(self):
        return self

    def __exit__(self, typ, value, tb):
        self.seen = (typ, value, tb is not None, sys.exc_info()[1] is value)
        if self.fail:
            raise RuntimeError("exit failed")
        return self.suppress


class InstanceOnly:
    def __init__(self):
        self.__enter__ = self.__exit__ = lambda *a: None


class EnterOnly:
    def __enter__(self):
        return self


@contextlib.contextmanager
def generator_manager():
    try:
        yield "value"
    except LookupError:
        pass


def python_with(mgr, body):
    suppressed = True
    with mgr as value:
        result = body(value)
        suppressed = False
    return (suppressed, None if suppressed else result)


def outcome(run, mgr, body):
    try:
        return ("ok", run(mgr, body), getattr(mgr, "seen", None))
    except BaseException as e:  # noqa: BLE001 - compared as data
        seen = getattr(mgr, "seen", None)
        if seen:
            seen = (seen[0], seen[1] is e or seen[1] is e.__context__, *seen[2:])
        return (type(e), str(e), type(e.__context__), seen)


ERROR = KeyError("boom")


def fail(value):
    raise ERROR


@pytest.mark.parametrize("make, body", [
    (Manager, lambda v: "result"),
    (Manager, fail),
    (lambda: Manager(suppress=True), fail),
    (lambda: Manager(fail=True), fail),
    (lambda: Manager(fail=True), lambda v: "result"),
    (InstanceOnly, lambda v: 1),
    (EnterOnly, lambda v: 1),
    (generator_manager, lambda v: v),
    (generator_manager, fail),
    (lambda: 5, lambda v: 1),
])
def test_with_behaves_like_the_statement(make, body):
    assert outcome(probe.run_with, make(), body) == outcome(python_with, make(), body)


def test_with_reraises_the_same_exception_object():
    with pytest.raises(KeyError) as info:
        probe.run_with(Manager(), fail)
    assert info.value is ERROR


# --- attribute delegation ---------------------------------------------------


class Mixin:
    def __getattribute__(self, name):
        return ("mixin", name)


class Top(Mixin):
    pass


class Plain:
    value = 1


class Leaf(Top, Plain):
    def __setattr__(self, name, value):
        raise AttributeError("read-only")

    @property
    def broken(self):
        raise KeyError("inside")


@pytest.mark.parametrize("cls, obj, name", [
    (Top, Leaf(), "value"),       # goes on to Mixin.__getattribute__
    (Mixin, Leaf(), "value"),     # object's own lookup
    (Leaf, Leaf(), "missing"),
    (Plain, Leaf(), "value"),
    (Plain, Plain(), 3),
    (Top, Plain(), "value"),      # not an instance of Top
])
def test_super_getattribute_like_super(cls, obj, name):
    def run(f):
        try:
            return f()
        except Exception as e:  # noqa: BLE001 - compared as data
            return (type(e), str(e))

    assert run(lambda: probe.super_get(cls, obj, name)) == run(lambda: super(cls, obj).__getattribute__(name))


def test_super_getattribute_follows_changes_of_the_bases():
    class Base:
        value = 1

    class Middle(Base):
        pass

    class Child(Middle):
        pass

    obj = Child()
    for _ in range(2):  # the second read may take what the first worked out
        assert probe.super_get(Child, obj, "value") == 1
    Middle.__getattribute__ = lambda self, name: ("middle", name)
    assert probe.super_get(Child, obj, "value") == ("middle", "value")
    del Middle.__getattribute__
    Child.__bases__ = (type("Other", (Base,), {"__getattribute__": lambda self, name: "other"}),)
    assert probe.super_get(Child, obj, "value") == "other"


def test_object_getattribute_and_setattr_bypass_overrides():
    leaf = Leaf()
    assert probe.object_get(leaf, "value") == 1 and leaf.value == ("mixin", "value")
    assert probe.object_get(leaf, "missing", "dflt") == "dflt"
    with pytest.raises(KeyError):  # only AttributeError means "missing"
        probe.object_get(leaf, "broken", "dflt")
    probe.object_set(leaf, "value", 2)
    assert object.__getattribute__(leaf, "__dict__") == {"value": 2}


# --- iteration and unpacking ------------------------------------------------


def gen(n):
    yield from range(n)


def raising():
    yield 1
    raise OSError("read failed")


@pytest.mark.parametrize("make", [
    lambda: (1, 2, 3), lambda: [1, 2, 3], lambda: "abc", lambda: {"a": 1, "b": 2, "c": 3},
    lambda: gen(3), lambda: 5, lambda: None, lambda: [1, 2], lambda: (1, 2, 3, 4),
    lambda: gen(2), lambda: gen(4), raising, lambda: {1: 1},
])
def test_unpack_like_assignment(make):
    def python(v):
        a, b, c = v
        return (a, b, c)

    def run(f):
        try:
            return f(make())
        except Exception as e:  # noqa: BLE001 - compared as data
            return (type(e), str(e))

    assert run(probe.unpack3) == run(python)


def test_iteration_sees_list_changes_and_refuses_dict_changes():
    items = [1, 2]

    def grow(x):
        if len(items) < 5:
            items.append(x * 10)
        return x

    assert probe.each(items, grow) == [1, 2, 10, 20, 100]
    d = {"a": 1}
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
        probe.each_item(d, lambda k, v: d.setdefault(k + "x", v))
    assert probe.each_item({"a": 1, "b": 2}, lambda k, v: (k, v)) == [("a", 1), ("b", 2)]
