"""Tests for wisp.utils.class_probe: type-name resolution and result-type tests."""

import builtins
import collections
import collections.abc
import dataclasses
import importlib
import inspect
import os
import sys
import types
import typing
import uuid

import pytest
from pydantic import BaseModel
from sqlalchemy.orm import DeclarativeBase, Mapped, mapped_column

from wisp.utils import class_probe
from wisp.utils.class_probe import (
    get_base_type,
    get_type_from_string,
    is_container_type,
    is_container_type_by_str,
    is_result_class,
)

ARG_MSG = "Argument '{}' has incorrect type (expected {}, got {})"
UNKNOWN = "未知的类型: "
CANNOT_IMPORT = "无法导入类型 "

FUNCTIONS = [
    ("is_container_type_by_str", "type_str"),
    ("get_type_from_string", "type_str"),
    ("is_container_type", "type_obj"),
    ("get_base_type", "generic_type"),
    ("is_result_class", "data_type"),
]


class StrSub(str):
    pass


class PydUser(BaseModel):
    id: int = 0


@dataclasses.dataclass
class DcUser:
    id: int = 0


class DcChild(DcUser):
    pass


class Base(DeclarativeBase):
    pass


class OrmUser(Base):
    __tablename__ = "class_probe_orm_user"
    id: Mapped[int] = mapped_column(primary_key=True)


class PlainUser:
    pass


class ListSub(list):
    pass


# ---------------------------------------------------------------- module surface


def test_module_globals_in_binding_order():
    imports = ["Container", "Iterable", "builtins", "is_dataclass", "import_module",
               "get_origin", "List", "BaseModel", "DeclarativeBase"]
    funcs = [name for name, _ in FUNCTIONS]
    names = list(vars(class_probe))
    assert [n for n in names if n in imports] == imports
    # the functions are bound after the imports
    last_import = max(names.index(n) for n in imports)
    assert all(names.index(f) > last_import for f in funcs)
    own = {n for n in names if not (n.startswith("__") and n.endswith("__"))}
    assert own == set(imports) | set(funcs)


@pytest.mark.parametrize("name, value", [
    ("Container", collections.abc.Container),
    ("Iterable", collections.abc.Iterable),
    ("builtins", builtins),
    ("is_dataclass", dataclasses.is_dataclass),
    ("import_module", importlib.import_module),
    ("get_origin", typing.get_origin),
    ("List", typing.List),
    ("BaseModel", BaseModel),
    ("DeclarativeBase", DeclarativeBase),
])
def test_module_globals_values(name, value):
    assert getattr(class_probe, name) is value


@pytest.mark.parametrize("name, doc", [
    ("is_container_type_by_str", "判断字符串表示的类型是否是容器类型（安全版）"),
    ("is_container_type", "\n    判断是否是容器类型\n    :param type_obj:\n    :return:\n    "),
    ("get_base_type",
     "\n    获取基础类型, 传入 list[int] 或 dict[str, str] 这种类型, 返回list\n"
     "    :param generic_type:\n    :return:\n    "),
    ("is_result_class",
     "\n    判断是否是需要的数据类型, pydantic, dataclass\n    :param data_type:\n    :return:\n    "),
], ids=["is_container_type_by_str", "is_container_type", "get_base_type", "is_result_class"])
def test_docstrings(name, doc):
    assert getattr(class_probe, name).__doc__ == doc


def test_get_type_from_string_docstring_structure():
    doc = get_type_from_string.__doc__
    assert doc.startswith("\n    ")
    assert doc.endswith("\n    ")
    lines = doc.split("\n")[1:-1]
    assert len(lines) == 3
    assert all(line.startswith("    ") and not line.startswith("     ") for line in lines)
    assert lines[1][4:].startswith(":param type_str:")
    assert lines[2][4:].startswith(":return:")


@pytest.mark.parametrize("name, annotations", [
    ("is_container_type_by_str", {"type_str": str, "return": bool}),
    ("get_type_from_string", {"type_str": str}),
    ("is_container_type", {"return": bool}),
    ("get_base_type", {}),
    ("is_result_class", {}),
])
def test_annotations(name, annotations):
    ann = getattr(class_probe, name).__annotations__
    assert ann == annotations
    assert list(ann) == list(annotations)


@pytest.mark.parametrize("name, param", FUNCTIONS)
def test_signature(name, param):
    func = getattr(class_probe, name)
    assert func.__name__ == name
    assert func.__module__ == "wisp.utils.class_probe"
    params = list(inspect.signature(func).parameters.values())
    assert [p.name for p in params] == [param]
    assert params[0].kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
    assert params[0].default is inspect.Parameter.empty


@pytest.mark.parametrize("name, param", FUNCTIONS)
def test_keyword_call(name, param):
    func = getattr(class_probe, name)
    arg = "list" if param == "type_str" else list
    assert func(**{param: arg}) == func(arg)


@pytest.mark.parametrize("name, param", FUNCTIONS)
@pytest.mark.parametrize("args, kwargs, needle", [
    ((), {}, "{param}"),
    (("list", "dict"), {}, "2"),
    (("list",), {"bogus": 1}, "bogus"),
])
def test_wrong_calls(name, param, args, kwargs, needle):
    func = getattr(class_probe, name)
    with pytest.raises(TypeError) as exc:
        func(*args, **kwargs)
    msg = str(exc.value)
    assert name in msg
    assert needle.format(param=param) in msg


# ---------------------------------------------------------------- argument checks


@pytest.mark.parametrize("func", [is_container_type_by_str, get_type_from_string])
@pytest.mark.parametrize("value, got", [
    (1, "int"), (None, "NoneType"), (b"list", "bytes"), (list, "type"), (["list"], "list"),
])
def test_type_str_must_be_str(func, value, got):
    with pytest.raises(TypeError) as exc:
        func(value)
    assert str(exc.value) == ARG_MSG.format("type_str", "str", got)


@pytest.mark.parametrize("func", [is_container_type_by_str, get_type_from_string])
def test_type_str_subclass_refused_with_note(func):
    with pytest.raises(TypeError) as exc:
        func(StrSub("list"))
    assert str(exc.value) == ARG_MSG.format("type_str", "str", "StrSub")
    assert getattr(exc.value, "__notes__", None)


# ---------------------------------------------------------------- is_container_type_by_str


@pytest.mark.parametrize("type_str, expected", [
    ("list", True), ("tuple", True), ("dict", True), ("set", True),
    ("int", False), ("str", False), ("frozenset", False), ("bytes", False), ("object", False),
    ("Container", False), ("Iterable", False), ("BaseModel", False), ("DeclarativeBase", False),
    ("List", False),            # typing.List is not a type instance
    ("print", False),           # a builtin that is not a type
    ("None", False), ("False", False),
    ("model.User", False), ("collections.OrderedDict", False), ("builtins.list", False),
    ("no_such_name", False), ("", False), ("LIST", False), (" list", False), ("列表", False),
])
def test_is_container_type_by_str(type_str, expected):
    result = is_container_type_by_str(type_str)
    assert type(result) is bool
    assert result is expected


def test_is_container_type_by_str_never_imports(monkeypatch):
    def fail(*args, **kwargs):
        raise AssertionError("import attempted")
    monkeypatch.setattr(class_probe, "import_module", fail)
    monkeypatch.setattr(importlib, "import_module", fail)
    before = set(sys.modules)
    name = "probe_nothing_%s.Thing" % uuid.uuid4().hex
    assert is_container_type_by_str(name) is False
    assert is_container_type_by_str("os.path") is False
    assert set(sys.modules) == before


def test_is_container_type_by_str_reads_module_namespace_at_call_time(monkeypatch):
    monkeypatch.setattr(class_probe, "MyRows", ListSub, raising=False)
    monkeypatch.setattr(class_probe, "MyNumber", int, raising=False)
    assert is_container_type_by_str("MyRows") is True
    assert is_container_type_by_str("MyNumber") is False


def test_is_container_type_by_str_falsy_builtin_falls_back_to_namespace(monkeypatch):
    # builtins.False is falsy, so the module namespace is consulted
    monkeypatch.setattr(class_probe, "False", dict, raising=False)
    assert is_container_type_by_str("False") is True
    # builtins.print is truthy but not a type: the namespace is not consulted
    monkeypatch.setattr(class_probe, "print", dict, raising=False)
    assert is_container_type_by_str("print") is False


# ---------------------------------------------------------------- get_type_from_string


@pytest.mark.parametrize("type_str, expected", [
    ("int", int), ("list", list), ("dict", dict), ("str", str), ("object", object),
    ("type", type), ("frozenset", frozenset), ("ValueError", ValueError),
    ("BaseModel", BaseModel), ("DeclarativeBase", DeclarativeBase),
    ("Container", collections.abc.Container), ("Iterable", collections.abc.Iterable),
    ("collections.OrderedDict", collections.OrderedDict),
    ("collections.abc.Mapping", collections.abc.Mapping),
    ("os.PathLike", os.PathLike),
    ("types.SimpleNamespace", types.SimpleNamespace),
])
def test_get_type_from_string_resolves(type_str, expected):
    assert get_type_from_string(type_str) is expected


def test_get_type_from_string_resolves_test_module_class():
    assert get_type_from_string(__name__ + ".PydUser") is PydUser
    assert get_type_from_string(__name__ + ".OrmUser") is OrmUser


@pytest.mark.parametrize("type_str", [
    "None", "print", "True", "Ellipsis", "List", "",
    "no_such_name", "Int", "list ", "os.getcwd", "os.sep", "typing.List", "sys.version_info",
])
def test_get_type_from_string_unknown(type_str):
    with pytest.raises(ValueError) as exc:
        get_type_from_string(type_str)
    assert type(exc.value) is ValueError
    assert str(exc.value) == UNKNOWN + type_str


@pytest.mark.parametrize("type_str, context_type, context_text", [
    ("no_such_pkg.User", ModuleNotFoundError, "No module named 'no_such_pkg'"),
    ("no_such_pkg.sub.User", ModuleNotFoundError, "No module named 'no_such_pkg'"),
    ("os.NoSuch", AttributeError, "module 'os' has no attribute 'NoSuch'"),
    ("collections.abc.NoSuch", AttributeError, "has no attribute 'NoSuch'"),
    # the split is at the last dot only: a nested class name is not walked
    ("collections.OrderedDict.Inner", ModuleNotFoundError, "collections.OrderedDict"),
])
def test_get_type_from_string_import_failure(type_str, context_type, context_text):
    with pytest.raises(ValueError) as exc:
        get_type_from_string(type_str)
    err = exc.value
    context = err.__context__
    assert isinstance(context, context_type)
    assert context_text in str(context)
    assert str(err) == CANNOT_IMPORT + type_str + ": " + str(context)
    assert err.__cause__ is None
    assert err.__suppress_context__ is False


@pytest.mark.parametrize("type_str, exc_type", [
    (".User", ValueError),           # empty module path
    (".rel.User", TypeError),        # relative import without a package
])
def test_get_type_from_string_other_import_errors_pass_through(type_str, exc_type):
    with pytest.raises(exc_type) as exc:
        get_type_from_string(type_str)
    assert not str(exc.value).startswith(CANNOT_IMPORT)
    assert not str(exc.value).startswith(UNKNOWN)


@pytest.fixture
def probe_package(tmp_path, monkeypatch):
    pkg = "probe_pkg_" + uuid.uuid4().hex
    (tmp_path / pkg).mkdir()
    (tmp_path / pkg / "__init__.py").write_text("")
    (tmp_path / pkg / "models.py").write_text(
        "class User:\n"
        "    class Inner:\n"
        "        pass\n"
        "not_a_class = 42\n"
    )
    monkeypatch.syspath_prepend(str(tmp_path))
    importlib.invalidate_caches()
    yield pkg
    for name in [m for m in sys.modules if m == pkg or m.startswith(pkg + ".")]:
        del sys.modules[name]


def test_get_type_from_string_dotted_path_imports_module(probe_package):
    assert probe_package + ".models" not in sys.modules
    cls = get_type_from_string(probe_package + ".models.User")
    assert probe_package + ".models" in sys.modules
    assert cls is sys.modules[probe_package + ".models"].User
    assert cls.__name__ == "User"


def test_get_type_from_string_dotted_path_non_class(probe_package):
    with pytest.raises(ValueError) as exc:
        get_type_from_string(probe_package + ".models.not_a_class")
    assert str(exc.value) == UNKNOWN + probe_package + ".models.not_a_class"


def test_get_type_from_string_nested_class_not_walked(probe_package):
    type_str = probe_package + ".models.User.Inner"
    with pytest.raises(ValueError) as exc:
        get_type_from_string(type_str)
    assert isinstance(exc.value.__context__, ModuleNotFoundError)
    assert str(exc.value).startswith(CANNOT_IMPORT + type_str + ": ")


def test_get_type_from_string_reads_module_namespace_at_call_time(monkeypatch):
    monkeypatch.setattr(class_probe, "PlainUser", PlainUser, raising=False)
    assert get_type_from_string("PlainUser") is PlainUser
    # a builtin type wins over the module namespace
    monkeypatch.setattr(class_probe, "int", PlainUser, raising=False)
    assert get_type_from_string("int") is int
    # a module-level name that is not a type is not returned
    monkeypatch.setattr(class_probe, "not_a_type", 42, raising=False)
    with pytest.raises(ValueError) as exc:
        get_type_from_string("not_a_type")
    assert str(exc.value) == UNKNOWN + "not_a_type"


def test_get_type_from_string_uses_module_import_module(monkeypatch):
    calls = []

    def fake_import(path):
        calls.append(path)
        return types.SimpleNamespace(User=PlainUser)

    monkeypatch.setattr(class_probe, "import_module", fake_import)
    assert get_type_from_string("fake.pkg.User") is PlainUser
    assert calls == ["fake.pkg"]


def test_get_type_from_string_no_cache(monkeypatch):
    monkeypatch.setattr(class_probe, "Swapped", PlainUser, raising=False)
    assert get_type_from_string("Swapped") is PlainUser
    monkeypatch.setattr(class_probe, "Swapped", DcUser)
    assert get_type_from_string("Swapped") is DcUser


# ---------------------------------------------------------------- is_container_type


@pytest.mark.parametrize("type_obj, expected", [
    (list, True), (tuple, True), (dict, True), (set, True),
    (list[int], True), (dict[str, int], True), (tuple[int, ...], True), (set[str], True),
    (typing.List[str], True), (typing.Dict[str, int], True), (typing.Tuple[int], True),
    (typing.Set[int], True), (typing.List, True),
    (ListSub, True), (collections.OrderedDict, True), (collections.defaultdict, True),
    (int, False), (str, False), (bytes, False), (frozenset, False), (object, False),
    (collections.abc.Sequence, False), (collections.abc.Mapping, False),
    (typing.Sequence[int], False), (collections.abc.Iterable, False),
    (typing.FrozenSet[int], False), (PydUser, False), (DcUser, False),
])
def test_is_container_type(type_obj, expected):
    result = is_container_type(type_obj)
    assert type(result) is bool
    assert result is expected


@pytest.mark.parametrize("type_obj", [
    None, 5, "list", [1], typing.Literal[1], PlainUser(),
])
def test_is_container_type_non_class_raises(type_obj):
    with pytest.raises(TypeError):
        is_container_type(type_obj)


# ---------------------------------------------------------------- get_base_type


@pytest.mark.parametrize("generic_type, expected", [
    (list[int], list), (dict[str, str], dict), (tuple[int, str], tuple),
    (typing.List[int], list), (typing.Dict[str, int], dict), (typing.List, list),
    (typing.Sequence[int], collections.abc.Sequence),
    (collections.abc.Iterable[str], collections.abc.Iterable),
    (typing.Literal[1], typing.Literal),
])
def test_get_base_type_generic(generic_type, expected):
    assert get_base_type(generic_type) is expected


@pytest.mark.parametrize("value", [int, list, PydUser, None, 0, "", "list", [], 3.5, PlainUser()])
def test_get_base_type_returns_argument_itself(value):
    assert get_base_type(value) is value


# ---------------------------------------------------------------- is_result_class


@pytest.mark.parametrize("data_type, expected", [
    (PydUser, True), (BaseModel, True),
    (DcUser, True), (DcChild, True),
    (OrmUser, True), (Base, True), (DeclarativeBase, True),
    (dict, False), (list, False), (int, False), (str, False), (object, False),
    (PlainUser, False), (type, False),
])
def test_is_result_class(data_type, expected):
    result = is_result_class(data_type)
    assert type(result) is bool
    assert result is expected


@pytest.mark.parametrize("data_type", [5, "PydUser", None, PlainUser(), DcUser(), PydUser()])
def test_is_result_class_non_class_raises(data_type):
    # issubclass runs first, so even a dataclass instance is refused
    with pytest.raises(TypeError):
        is_result_class(data_type)


def test_is_result_class_generic_alias_follows_issubclass():
    # whatever issubclass decides for a parametrised alias is passed on unchanged
    try:
        expected = bool(issubclass(list[int], BaseModel)
                        or dataclasses.is_dataclass(list[int])
                        or issubclass(list[int], DeclarativeBase))
    except TypeError:
        with pytest.raises(TypeError):
            is_result_class(list[int])
    else:
        assert is_result_class(list[int]) is expected


def test_is_result_class_short_circuits(monkeypatch):
    calls = []

    def spy(obj):
        calls.append(obj)
        return False

    monkeypatch.setattr(class_probe, "is_dataclass", spy)
    assert is_result_class(PydUser) is True
    assert calls == []
    assert is_result_class(OrmUser) is True
    assert calls == [OrmUser]
