"""wisp.wisp BaseMapper.__getattribute__: methods whose bodies come from the mapper XML
statement named like them, the per-instance wrappers, argument binding with pages, left-out
arguments, signatures per class, collection of mappers, and memory over many calls."""

import gc
import inspect
import weakref

import pytest

import memcheck
from mapper_models import Person, User, w  # noqa: F401  (w: the fixture)
from wisp.db.query_runner import Page


def user_mapper(w, *bases):
    class UserMapper(w.BaseMapper[User], *bases):  # the namespace of tests/mapper_models.py
        def older(self, age: int) -> list[Person]: ...

        def older_models(self, age) -> list[User]: ...

        def by_name(self, name, page: Page) -> list: ...

        def by_age(self, age, page=None) -> list: ...

        def count_older(self, age, flag) -> int: ...

        def add_user(self, name, age): ...

        def plain(self, x, y=2):
            return ("body", x, y)

    return UserMapper()


def test_mapped_methods_run_their_statements(w):
    m = user_mapper(w)
    assert m.older(30) == [Person(3, "u3", 30), Person(4, "u4", 40), Person(5, "u5", 50)]
    assert [(u.id, u.name) for u in m.older_models(age=40)] == [(4, "u4"), (5, "u5")]
    assert m.count_older(30) == 3  # `flag` is left out, and no placeholder uses it
    assert m.add_user("new", age=1) == 6 and w.count_users() == 6
    names = [{"name": n} for n in ("u1", "u2", "u3", "u4", "u5", "new")]
    assert m.select_all() == names  # an inherited method replaced by a statement
    assert m.plain(1) == ("body", 1, 2) and m.select_by_id(2).name == "u2"
    with w.switch_datasource("other"):  # the data source in force at each call
        assert m.older(0) == [] and m.add_user("elsewhere", 1) == 1
    assert w.count_users() == 6


@pytest.mark.parametrize("call, expected", [
    (lambda m: m.by_name("u2"), [{"name": "u2", "age": 20}]),  # a Page left out: no page
    (lambda m: m.by_age(40, None), [{"name": "u4"}, {"name": "u5"}]),
    (lambda m: m.by_name(page=Page(1, 5), name="u2"),
     {"pageNum": 1, "pageSize": 5, "total": 1, "list": [{"name": "u2", "age": 20}]}),
    (lambda m: m.by_age(30, Page(2, 1)),  # a Page recognised by its type
     {"pageNum": 2, "pageSize": 1, "total": 3, "list": [{"name": "u4"}]}),
    (lambda m: m.by_age(40), [{"name": "u4"}, {"name": "u5"}]),
    # a left-out argument is refused before anything runs
    (lambda m: m.add_user("x"), "missing a required argument: 'age'"),
    (lambda m: m.add_user(age=3), "missing a required argument: 'name'"),
    (lambda m: m.count_older(flag=1), "missing a required argument: 'age'"),
])
def test_arguments_bound_by_position_then_name_and_pages(w, call, expected):
    if isinstance(expected, str):
        with pytest.raises(TypeError) as info:
            call(user_mapper(w))
        assert str(info.value) == expected
        assert w.rows("SELECT name, age FROM users WHERE id > 5") == []
    else:
        assert call(user_mapper(w)) == expected


def test_same_named_mapper_classes_bind_by_their_own_signatures(w):
    class UserMapper(w.BaseMapper[User]):
        def by_name(self, name) -> list: ...

    first = UserMapper()
    assert first.by_name("u1") == [{"name": "u1", "age": 10}]

    class UserMapper(w.BaseMapper[User]):  # noqa: F811  redefined, as after a reload
        def by_name(self, who, name=None) -> list: ...

    second = UserMapper()
    assert second.by_name("u3", "u2") == [{"name": "u2", "age": 20}]
    assert first.by_name("u1") == [{"name": "u1", "age": 10}]


def test_wrappers_per_instance_look_like_their_methods(w):
    m, n = user_mapper(w), user_mapper(w)
    wrapper = m.older
    assert wrapper is m.older and wrapper is not n.older and m._wrapper_cache == {"older": wrapper}
    assert inspect.signature(wrapper) == inspect.signature(type(m).older.__get__(m))
    assert m.session is w.BaseMapper.datasource["main"]["db_gateway"]
    assert m.datasource is w.BaseMapper.datasource
    assert m._convert_data.__func__ is w.BaseMapper._convert_data  # never wrapped
    assert "_wrapper_cache" not in vars(user_mapper(w))


def test_a_cached_wrapper_still_follows_the_lookup(w):
    seen = []

    class Logged:
        def __getattribute__(self, name):
            seen.append(name)
            return object.__getattribute__(self, name)

    m, logged = user_mapper(w), user_mapper(w, Logged)
    wrapper = m.plain
    m.plain = 5
    assert m.plain == 5  # the instance's own value, not callable: no wrapper
    m.plain = len
    assert m.plain is wrapper  # callable: the wrapper built first, calling the first method
    del m.plain
    del type(m).plain
    with pytest.raises(AttributeError):
        m.plain
    assert logged.plain is logged.plain and seen.count("plain") == 2


def test_a_cached_wrapper_follows_changes_of_the_class_and_its_bases(w):
    class Mixin:
        pass

    m = user_mapper(w, Mixin)
    wrapper = m.plain
    assert m.plain is wrapper
    type(m).plain = property(lambda self: 7)  # no longer a plain method: the lookup's value
    assert m.plain == 7
    type(m).plain = lambda self, x, y=2: ("new", x, y)
    assert m.plain is wrapper  # callable again: the wrapper built first
    Mixin.__getattribute__ = lambda self, name: "from the mixin"  # a base changed after the reads
    assert m.plain == "from the mixin" and m.older == "from the mixin"
    del Mixin.__getattribute__
    assert m.plain is wrapper


@pytest.mark.parametrize("foreign", ["rebound", "borrowed"])
@pytest.mark.parametrize("name", ["plain", "_convert_data", "__class__"])
def test_a_lookup_through_a_foreign_class_ends_in_recursion_error(wisp_registry, monkeypatch,
                                                                 foreign, name):
    # super(BaseMapper, self) for a self that is no BaseMapper asks self.__class__, which comes
    # back to the same lookup: Python's RecursionError, not a stack overflow.
    if foreign == "rebound":
        m = user_mapper(wisp_registry)
        monkeypatch.setattr(wisp_registry, "BaseMapper", int)
    else:
        m = type("Foreign", (), {"__getattribute__": wisp_registry.BaseMapper.__getattribute__,
                                 "plain": lambda self: 1})()
    with pytest.raises(RecursionError):
        getattr(m, name)


def test_mapper_and_its_wrappers_are_collected(w):
    m = user_mapper(w)
    assert m.older(50) and m.plain(1) and m.session
    ref = weakref.ref(m)
    del m
    gc.collect()
    assert ref() is None


@pytest.mark.parametrize("backend", ["sqlite"], indirect=True)  # MariaDB adds only network time
def test_memory_flat_over_mapped_calls(w):
    m = user_mapper(w)

    def reads_and_fallbacks():
        for i in range(200_000):
            m.plain(i)
            (type(m)() if i % 100 == 0 else m).older

    def statements():
        for i in range(300):
            m.by_age(i % 60)
            m.count_older(i % 60)
            m.by_age(30, Page(1, 2))
            m.select_by_id(1)

    reads_and_fallbacks()
    memcheck.assert_flat(reads_and_fallbacks, what="wrapper reads and calls")
    statements()
    memcheck.assert_flat(statements, what="mapped statements")


def test_text_annotations_of_a_mapped_method_are_resolved(w, tmp_path, monkeypatch):
    # A module that keeps its annotations as text: the return annotation of a
    # mapped method is resolved before the statement runs.
    (tmp_path / "text_annotated.py").write_text(
        "from __future__ import annotations\n"
        "from mapper_models import Person, User\n"
        "from wisp.wisp import BaseMapper\n"
        "class UserMapper(BaseMapper[User]):\n"
        "    def older(self, age: int) -> list[Person]: ...\n"
        "    def by_name(self, name) -> list[Missing]: ...\n"
    )
    monkeypatch.syspath_prepend(str(tmp_path))
    import text_annotated

    m = text_annotated.UserMapper()
    assert m.older(40) == [Person(4, "u4", 40), Person(5, "u5", 50)]
    with pytest.raises(NameError):
        m.by_name("u1")
