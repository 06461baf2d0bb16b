"""wisp.wisp BaseMapper: its methods and two context managers on SQLite and MariaDB, the model
class taken from the generic base, strict arguments, and the insert paths that keep natural
keys, column defaults and one row per item."""

import contextlib
import gc
import weakref
from typing import Optional

import pytest
from sqlalchemy import Integer, String, delete, insert, select, text, update
from sqlalchemy.exc import CompileError, IntegrityError, MultipleResultsFound
from sqlalchemy.orm import DeclarativeBase, Mapped, mapped_column, synonym

from mapper_models import (Event, Tag, User, UserIn, mapper_for, sqlite,  # noqa: F401
                           w)  # w: the fixture
from wisp.db.db_gateway import TransactionRolledBackError
from wisp.db.query_runner import Page


class StrSub(str):
    pass


class Unmade(DeclarativeBase):  # tables never created: only their keys are read
    pass


class Composite(Unmade):
    __tablename__ = "composite"
    a: Mapped[int] = mapped_column(Integer, primary_key=True)
    b: Mapped[int] = mapped_column(Integer, primary_key=True)


class CompositeAuto(Unmade):
    __tablename__ = "composite_auto"
    a: Mapped[int] = mapped_column(Integer, primary_key=True)
    b: Mapped[int] = mapped_column(Integer, primary_key=True, autoincrement=True)


class Notes(DeclarativeBase):
    pass


class Note(Notes):  # attributes named apart from their columns
    __tablename__ = "notes"
    id: Mapped[int] = mapped_column(Integer, primary_key=True)
    body: Mapped[Optional[str]] = mapped_column("text", String(40))
    stars: Mapped[int] = mapped_column("rating", Integer, default=3)
    score = synonym("stars")


@pytest.mark.parametrize("make, stored_age", [
    (lambda: {"id": None, "name": "new", "age": 3}, 3),
    (lambda: UserIn(name="new"), 7),
    (lambda: User(name="new"), 0),  # the column default, not NULL
    (lambda: User(id=None, name="new", age=None), None),
])
def test_insert_returns_the_generated_key(w, make, stored_age):
    data = make()
    dumped = data.model_dump() if isinstance(data, UserIn) else None
    assert mapper_for(w, User).insert(data) == 6
    assert w.rows("SELECT id, name, age FROM users WHERE name = 'new'") == [(6, "new", stored_age)]
    if isinstance(data, dict):
        assert data == {"id": None, "name": "new", "age": 3}  # the caller's dict as it was
    if dumped is not None:
        assert data.model_dump() == dumped


@pytest.mark.parametrize("how", ["insert", "save_batch"])
def test_natural_primary_key_is_kept(w, how):
    m, data = mapper_for(w, Tag), {"code": "py", "label": "Python"}
    if how == "insert":
        assert m.insert(data) == "py"
    else:
        assert m.save_batch([data, Tag(code="c", label="C")]) is None
    assert data == {"code": "py", "label": "Python"}
    expected = [("py", "Python")] if how == "insert" else [("c", "C"), ("py", "Python")]
    assert w.rows("SELECT code, label FROM tags ORDER BY code") == expected


@pytest.mark.parametrize("model, key", [
    (User, "id"), (Tag, None), (Event, "seq"), (Composite, None), (CompositeAuto, "b")])
def test_only_a_generated_key_counts_as_auto_increment(wisp_registry, model, key):
    assert wisp_registry.BaseMapper._get_auto_pk(model) == key


@pytest.mark.parametrize("items, added", [
    ([], []),
    ([{"name": "a", "age": 1}], [("a", 1)]),
    ([{"id": None, "name": "a"}, UserIn(name="b"), User(name="c")], [("a", 0), ("b", 7), ("c", 0)]),
])
def test_save_batch_inserts_one_row_per_item(w, items, added):
    assert mapper_for(w, User).save_batch(list(items)) is None
    assert w.rows("SELECT name, age FROM users WHERE id > 5 ORDER BY id") == added


@pytest.mark.parametrize("how, make, stored", [
    ("insert", lambda: Note(body="a"), [("a", 3)]),
    ("save_batch", lambda: [Note(body="a", stars=1), Note()], [("a", 1), (None, 3)]),
    ("save_batch", lambda: [{"text": "a", "rating": 1}, {"body": "b"}], [("a", 1), ("b", 3)]),
    ("save_batch", lambda: [{"text": "a"}, {"body": "b", "rating": 1, "rate": 2}], "rate"),
    ("save_batch", lambda: [{"rate": 1, "text": "a", "mark": 2}], "(rate, mark|mark, rate)"),
    ("insert", lambda: {"body": "b", "score": 2}, [("b", 2)]),
    ("save_batch", lambda: [{"body": "b", "score": 2}], "score"),  # the bulk insert would drop it
])
def test_every_given_column_is_written_or_refused(w, how, make, stored):
    Notes.metadata.create_all(w.BaseMapper.datasource["main"]["db"])
    if isinstance(stored, str):  # a key that names no column: refused, as insert refuses it
        with pytest.raises(CompileError, match=f"^Unconsumed column names: {stored}$"):
            getattr(mapper_for(w, Note), how)(make())
        stored = []
    else:
        getattr(mapper_for(w, Note), how)(make())
    assert w.rows("SELECT text, rating FROM notes ORDER BY id") == stored


@pytest.mark.parametrize("selective, stored", [(True, ("x", 10)), (False, ("x", None))])
def test_update_by_id(w, selective, stored):
    data = {"id": 1, "name": "x", "age": None}
    assert mapper_for(w, User).update_by_id(data, selective) == 1
    assert data == {"id": 1, "name": "x", "age": None}
    assert w.rows("SELECT name, age FROM users WHERE id = 1") == [stored]


def test_deletes_and_statement_updates(w):
    m = mapper_for(w, User)
    assert m.delete_by_id(2.9) == 1  # truncated to 2
    assert m.delete(delete(User).where(User.age > 40)) == 1
    assert m.update(update(User).where(User.id == 1).values(age=11)) == 1
    assert m.bulk_update_mappings(None, [{"id": 3, "age": 33}]) is None
    assert w.rows("SELECT id, age FROM users ORDER BY id") == [(1, 11), (3, 33), (4, 40)]


def test_reads_choose_scalar_or_row_results(w):
    m = mapper_for(w, User)
    assert [u.name for u in m.select_all()] == ["u1", "u2", "u3", "u4", "u5"]
    assert m.select_all(select(User.name).where(User.age > 30).order_by(User.id)) == ["u4", "u5"]
    pairs = m.select_all(select(User.id, User.name).where(User.id < 3).order_by(User.id))
    assert [tuple(r) for r in pairs] == [(1, "u1"), (2, "u2")]
    assert m.select_one().name == "u1"
    assert m.select_one(select(User).order_by(User.id.desc()).limit(5)).name == "u5"
    assert m.select_one(select(User.id, User.name).where(User.id == 2)) == {"id": 2, "name": "u2"}
    assert m.select_one(select(User).where(User.id == 99)) is None
    assert m.select_by_id(3.9).name == "u3" and m.select_by_id(99) is None
    with w.db_session() as session:
        session.execute(insert(Event), [{"seq": 1, "id": 7}, {"seq": 2, "id": 7}])
    with pytest.raises(MultipleResultsFound):  # the database's own "multiple rows" error
        mapper_for(w, Event).select_by_id(7)


@pytest.mark.parametrize("page, names", [
    (None, ["u1", "u2", "u3", "u4", "u5"]), (Page(2, 2), ["u3", "u4"])])
def test_paging_by_orm_and_by_sql(w, page, names):
    m, given = mapper_for(w, User), () if page is None else (page,)
    result = m.select_page_by_orm(select(User).order_by(User.id), *given)
    assert list(result) == ["list", "total"] and result["total"] == 5
    assert [u.name for u in result["list"]] == names
    sql = "SELECT name FROM users WHERE age >= :age ORDER BY id"
    result = m.select_page_by_sql(sql, {"age": 10}, *given)
    assert result["total"] == 5 and [r["name"] for r in result["list"]] == names
    assert m.select_all_by_sql(sql, {"age": 40}) == [{"name": "u4"}, {"name": "u5"}]


@pytest.mark.parametrize("call, refusal", [
    (lambda m: m().save_batch(None), "Argument 'data' has incorrect type (expected list, got None"),
    (lambda m: m().update_by_id([]), "Argument 'data' has incorrect type (expected dict, got list)"),
    (lambda m: m().bulk_update_mappings(None, ()), "Argument 'data_list' has incorrect type"),
    (lambda m: m().select_page_by_sql(StrSub("x")), "Argument 'sql_str' has incorrect type"),
    (lambda m: m().delete_by_id([2]), "Argument 'id' has incorrect type (expected int, got list)"),
    (lambda m: type(m()).switch_datasource(None), "Argument 'datasource_name' has incorrect type"),
    (lambda m: m().__getattribute__(5), "Argument 'name' has incorrect type (expected str, got int)"),
    (lambda m: m()._convert_data(5, User), "Data type <class 'int'> is not supported"),
    (lambda m: m(Tag).update_by_id({"code": "x"}), AttributeError),  # no `id`, no "id" either
    (lambda m: m().update_by_id({"name": "x"}), KeyError),
    (lambda m: m().update_by_id({"id": None, "name": "x"}, True), KeyError),
])
def test_refused_arguments(wisp_registry, tmp_path, call, refusal):
    w = wisp_registry
    w.WispConfig(w.DBConfig("a", a=sqlite(tmp_path / "a.db")))
    with pytest.raises(TypeError if isinstance(refusal, str) else refusal) as info:
        call(lambda model=User: mapper_for(w, model))
    assert isinstance(refusal, type) or str(info.value).startswith(refusal)


def test_model_class_from_the_generic_base(wisp_registry):
    w = wisp_registry

    class UserMapper(w.BaseMapper[User]):
        label = "users"

        def __init__(self, tag):
            self.tag = tag

        def _convert_data(self, data, model_class, exclude_pk=True):
            return {"from": "override", **super()._convert_data(dict(data), model_class)}

    class Child(UserMapper):  # no generic base of its own: the parent's
        pass

    class Mid(w.BaseMapper[w.T]):
        pass

    class Leaf(Mid[User]):  # BaseMapper only through another generic class
        pass

    m = Child("t")
    assert (m.tag, m.label) == ("t", "users")
    assert m._BaseMapper__type_parameter() is User and w.BaseMapper._type_cache[Child] is User
    assert m._convert_data({"id": None, "name": "n"}, User) == {"from": "override", "name": "n"}
    for cls in (Leaf, w.BaseMapper):
        with pytest.raises(TypeError, match="^Generic type not found$"):
            cls._BaseMapper__type_parameter()


class Recorded(type):
    """isinstance() against a class of this kind is recorded, and says no."""
    seen = []

    def __instancecheck__(cls, obj):
        Recorded.seen.append(obj)
        return False


@pytest.mark.parametrize("name", ["BaseModel", "DeclarativeBase"])
def test_a_replaced_model_base_is_asked_about_a_plain_dict(w, monkeypatch, name):
    data = {"id": None, "name": "n"}
    m = mapper_for(w, User)
    assert m._convert_data(data, User) == {"name": "n"}
    Recorded.seen.clear()
    monkeypatch.setattr(w, name, Recorded(name, (), {}))
    assert m._convert_data(data, User) == {"name": "n"} and Recorded.seen == [data]


@pytest.mark.parametrize("fail", [False, True])
def test_db_session_commits_or_rolls_back(w, fail):
    with contextlib.suppress(LookupError):
        with type(mapper_for(w, User)).db_session() as session:
            session.execute(text("INSERT INTO users (name, age) VALUES ('n', 1)"))
            if fail:
                raise LookupError
    assert w.count_users() == (5 if fail else 6)


@pytest.mark.parametrize("manager", ["db_session", "switch_datasource"])
def test_a_failed_lookup_reaches_the_caller_unchanged(w, monkeypatch, manager):
    monkeypatch.setitem(w.BaseMapper.datasource, "broken", {"db": None})
    with pytest.raises(KeyError) as info:
        with getattr(type(mapper_for(w, User)), manager)("broken"):
            pass
    assert info.value.args == ("db_gateway",) and w.get_current_db() == "main"


@pytest.mark.parametrize("failure", [None, "raise", "interrupt", "statement", "swallowed"])
@pytest.mark.parametrize("switch", ["own", "replaced"])
def test_switch_datasource_runs_the_block_in_one_transaction(w, monkeypatch, failure, switch):
    m, entered, outer = mapper_for(w, User), [], w.switch_datasource
    if switch == "replaced":  # a patched module-level switch is entered with `with`
        original = w.switch_datasource

        @contextlib.contextmanager
        def recording(name):
            entered.append(name)
            with original(name):
                yield name
            entered.append("left")

        monkeypatch.setattr(w, "switch_datasource", recording)
    with outer("other"):
        with contextlib.suppress(LookupError, KeyboardInterrupt, IntegrityError, TransactionRolledBackError):
            with type(m).switch_datasource("main") as gateway:
                assert w.get_current_db() == "main" and gateway._tx_depth.get() == 1
                m.insert({"name": "a1"})
                if failure == "statement":  # the database refuses: the block's work is undone
                    m.insert({"name": "u1"})
                if failure == "raise":
                    raise LookupError
                if failure == "interrupt":  # not an Exception: rolled back all the same
                    raise KeyboardInterrupt
                if failure == "swallowed":  # the gateway refuses what follows a failed statement
                    with contextlib.suppress(IntegrityError):
                        m.insert({"name": "u1"})
                m.insert({"name": "a2"})
        assert w.get_current_db() == "other"
    assert w.count_users() == (5 if failure else 7)
    assert gateway._tx_depth.get() == 0 and gateway._WispDbGateway__con() is None
    assert m.insert({"name": "after"}) and w.count_users() == (6 if failure else 8)
    assert entered == ([] if switch == "own" else ["main"] + ([] if failure else ["left"]))


def test_a_suspended_switch_in_a_reference_cycle_is_collected(w, monkeypatch):
    original, made = w.switch_datasource, []

    @contextlib.contextmanager
    def replaced(name):
        with original(name):
            made.append({})
            yield made[-1]

    monkeypatch.setattr(w, "switch_datasource", replaced)
    block = type(mapper_for(w, User)).switch_datasource("main")
    gateway = block.__enter__()
    made.pop()["block"] = block  # block -> its generator -> the switch it is in -> dict -> block
    ref = weakref.ref(block)
    del block
    gc.collect()
    # Closing the suspended block rolled its transaction back and closed it.
    assert ref() is None and w.datasource_context.get() is None
    assert gateway._tx_depth.get() == 0 and gateway._WispDbGateway__con() is None


@pytest.mark.parametrize("fail", [False, True])
def test_mapper_calls_inside_a_transactional_class(w, fail):
    m = mapper_for(w, User)

    @w.datasource("main", transactional=True)
    class Service:
        def run(self):
            m.insert({"name": "s1"})
            m.save_batch([{"name": "s2"}, {"name": "s3"}])
            m.update_by_id({"id": 1, "age": 1})
            if fail:
                raise RuntimeError("undo")
            return w.count_users()

    with w.switch_datasource("other"):
        if fail:
            with pytest.raises(RuntimeError):
                Service().run()
        else:
            assert Service().run() == 5  # nothing visible outside before the commit
    assert w.count_users() == (5 if fail else 8)
    assert w.rows("SELECT age FROM users WHERE id = 1") == [(10 if fail else 1,)]
