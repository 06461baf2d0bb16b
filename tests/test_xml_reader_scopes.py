"""wisp.mapper.xml_reader: the names a statement brings into scope. Inside a foreach
body the item's fields (#{u.name}), the index and the item in test expressions; nested
foreach over an item's field; <bind>. Each bound value gets a placeholder name of its
own; a 1,000-row insert from records of every kind runs on every back end."""

import dataclasses
import textwrap
import types

import pytest
from pydantic import BaseModel
from sqlalchemy import Integer, String, text
from sqlalchemy.orm import DeclarativeBase, Mapped, mapped_column

from wisp.db.db_gateway import WispDbGateway
from wisp.mapper.xml_reader import ParseMapper

FOREACH = "<foreach collection='{c}' item='{i}' open='(' separator=',' close=')'{x}>{body}</foreach>"


def mapper_of(tmp_path, statements):
    path = tmp_path / "scopes.xml"
    path.write_text(f"<mapper namespace='Scopes'>{statements}</mapper>", encoding="utf-8")
    return ParseMapper(str(path))


def foreach(body, c="users", i="u", x=""):
    return FOREACH.format(c=c, i=i, x=x, body=body)


@dataclasses.dataclass
class Person:
    name: str
    age: int
    address: dict = None


ANN = {"name": "ann", "age": 30, "tags": ["a", "b"], "address": {"city": "Oslo"}}
BOB = types.SimpleNamespace(name="bob", age=None, tags=[], address=types.SimpleNamespace(city="Rome"))


@pytest.mark.parametrize("body, params, sql, binds", [
    # fields of mappings and of any other object; each occurrence bound on its own
    (foreach("#{u.name}, #{u.age}, #{u.name}"), {"users": [ANN, BOB]},
     "(:u_name_0, :u_age_0, :u_name_1,:u_name_2, :u_age_1, :u_name_3)",
     {"u_name_0": "ann", "u_age_0": 30, "u_name_1": "ann", "u_name_2": "bob", "u_age_1": None,
      "u_name_3": "bob"}),
    (foreach("#{u.address.city}"), {"users": [ANN, BOB]}, "(:u_address_city_0,:u_address_city_1)",
     {"u_address_city_0": "Oslo", "u_address_city_1": "Rome"}),
    (foreach("#{u.name}"), {"users": [Person("cid", 5)]}, "(:u_name_0)", {"u_name_0": "cid"}),
    # the index, and item and index seen by tests
    (foreach("#{i}<if test='u is not None and i == 0'>#{u}</if>", x=" index='i'"),
     {"users": [3, None]}, "(:i_0:users_for_index_0,:i_1)", {"i_0": 0, "users_for_index_0": 3,
                                                              "i_1": 1}),
    # nested: the inner collection is a field of the outer item
    (foreach(foreach("#{t}", c="u.tags", i="t"), c="users", i="u"),
     {"users": [types.SimpleNamespace(tags=["a", "b"]), BOB]}, "((:t_0,:t_1),())",
     {"t_0": "a", "t_1": "b"}),
    (foreach(foreach("#{g}#{j}", c="g_list", i="g", x=" index='j'"), c="groups", i="g_list"),
     {"groups": [[7], [8, 9]]}, "((:g_0:j_0),(:g_1:j_1,:g_2:j_2))",
     {"g_0": 7, "j_0": 0, "g_1": 8, "j_1": 0, "g_2": 9, "j_2": 1}),
    # a collection written as an expression binds its elements here
    (foreach("#{x}", c="sorted(xs)", i="x"), {"xs": [2, 1]}, "(:x_0,:x_1)", {"x_0": 1, "x_1": 2}),
    # the collection's own rewrite stays (#{u} -> users_for_index_N): a body with a child, a test that reads params
    (foreach("<if test=\"params['on']\">#{u}</if>"), {"users": [1, 2], "on": 1},
     "(:users_for_index_0,:users_for_index_1)", {"users_for_index_0": 1, "users_for_index_1": 2}),
    # bind: once per rendering, its fields too; a caller's key of that name is not read
    ("<bind name='p' value=\"'%' + params['q'] + '%'\"/>LIKE #{p} OR #{p} <if test='p'>#{q}</if>",
     {"q": "an", "p": "caller's"}, "LIKE :p_0 OR :p_1 :q", {"p_0": "%an%", "p_1": "%an%", "q": "an"}),
    ("#{b} <where><bind name='b' value='params'/>b = #{b.k}</where> #{b}", {"k": 4, "b": 1},
     ":b WHERE b = :b_k_0 :b", {"b": 1, "b_k_0": 4}),
    # generated names never take a caller's parameter, nor a foreach position's form
    (foreach("#{u.name}"), {"users": [ANN], "u_name_0": "mine"}, "(:u_name_1)",
     {"u_name_1": "ann"}),
    (foreach("#{x_for_index}", c="list(v)", i="x_for_index"), {"v": [[1]]}, "(:bind_0)",
     {"bind_0": [1]}),
])
def test_names_in_scope(tmp_path, body, params, sql, binds):
    mapper = mapper_of(tmp_path, f"<select id='s'>{body}</select>")
    given = dict(params)
    clause, bound = mapper.select("s", params)
    assert (clause.text, bound) == (sql, binds)
    # The caller's dict gains only what eval gives a namespace.
    assert {k: v for k, v in params.items() if k != "__builtins__"} == given


@pytest.mark.parametrize("body, params, exc, note", [
    (foreach("#{u.name}"), {"users": [ANN, {"age": 1}]}, KeyError,
     "placeholder '#{u.name}', position 1 of collection 'users'"),
    (foreach("#{u.nmae}"), {"users": [BOB]}, AttributeError,
     "placeholder '#{u.nmae}', position 0 of collection 'users'"),
    (foreach("<if test='u > 1'>x</if>"), {"users": [0, None]}, TypeError,
     "expression 'u > 1', position 1 of collection 'users'"),
    ("<bind name='a b' value='1'/>", {}, ValueError, None),
    (foreach("x", x=" index='0i'"), {"users": []}, ValueError, None),
])
def test_failures_name_the_collection_and_position(tmp_path, body, params, exc, note):
    mapper = mapper_of(tmp_path, f"<select id='s'>{body}</select>")
    with pytest.raises(exc) as info:
        mapper.select("s", params)
    if note:
        assert info.value.__notes__ == [
            f"mapper file {str(tmp_path / 'scopes.xml')!r}, statement 's', {note}"]


def test_overridden_finishing_gets_the_bound_values(tmp_path):
    seen = []

    class Recording(ParseMapper):
        @staticmethod
        def to_prepared_statement(ret, param):
            seen.append(dict(param))
            return ParseMapper.to_prepared_statement(ret, param)

    path = tmp_path / "m.xml"
    path.write_text(f"<mapper namespace='M'><select id='s'>{foreach('#{u.name}')}</select></mapper>")
    params = {"users": [ANN]}
    assert Recording(str(path)).select("s", params)[1] == {"u_name_0": "ann"}
    assert seen[0]["u_name_0"] == "ann" and "u_name_0" not in params


# ---------------------------------------------------------------------------
# A multi-row insert of 1,000 records through #{u.field}


class Base(DeclarativeBase):
    pass


class PersonORM(Base):
    __tablename__ = "people"
    id: Mapped[int] = mapped_column(Integer, primary_key=True)
    name: Mapped[str] = mapped_column(String(40))
    age: Mapped[int] = mapped_column(Integer, nullable=True)


@dataclasses.dataclass
class PersonDC:
    id: int
    name: str
    age: int


class PersonPD(BaseModel):
    id: int
    name: str
    age: int | None


INSERT = textwrap.dedent("""\
    <mapper namespace="People">
      <insert id="add_all">
        INSERT INTO people (id, name, age) VALUES
        <foreach collection="people" item="p" open="" separator="," close="">(#{p.id}, #{p.name}, #{p.age})</foreach>
      </insert>
    </mapper>""")


@pytest.mark.parametrize("kind", [dict, PersonDC, PersonPD, PersonORM])
def test_multi_row_insert_of_a_thousand_records(engine, tmp_path, kind):
    Base.metadata.create_all(engine)
    path = tmp_path / "people.xml"
    path.write_text(INSERT, encoding="utf-8")
    mapper = ParseMapper(str(path))
    rows = [{"id": i, "name": f"n{i}'\"", "age": None if i % 7 == 0 else i % 90}
            for i in range(1, 1001)]
    gateway = WispDbGateway(mapper_dict={"People": mapper}, data_source=engine)
    gateway.execute_sql("add_all", "People", {"people": [kind(**r) for r in rows]})
    with engine.connect() as c:
        stored = [r._asdict() for r in c.execute(text("SELECT id, name, age FROM people ORDER BY id"))]
    assert stored == rows
