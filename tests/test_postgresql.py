"""Where PostgreSQL shows through wisp, on the suite's own server: the key an insert returns
(sequences, identity columns, uuid keys, RETURNING), the generic mapper over uuid and identity
keys, page counts read in PostgreSQL's syntax (ORDER BY, casts, dollar quotes, its operators),
placeholders followed by casts, and PostgreSQL's types in result classes."""

import dataclasses
import datetime
import json
import uuid
from decimal import Decimal
from typing import Optional

import pytest
from pydantic import BaseModel
from sqlalchemy import ARRAY, DateTime, Identity, Integer, Numeric, String, Uuid, select, text
from sqlalchemy.dialects.postgresql import JSONB
from sqlalchemy.orm import DeclarativeBase, Mapped, mapped_column

from mapper_models import w  # noqa: F401  (the fixture)
from wisp.db.query_runner import Page

pytestmark = [pytest.mark.postgresql,
              pytest.mark.parametrize("backend", ["postgresql"], indirect=True)]


class Base(DeclarativeBase):
    pass


class Ticket(Base):  # a key the server makes: gen_random_uuid()
    __tablename__ = "tickets"
    id: Mapped[uuid.UUID] = mapped_column(Uuid, primary_key=True, server_default=text("gen_random_uuid()"))
    title: Mapped[str] = mapped_column(String(40), unique=True)


class Badge(Base):  # a key the client makes
    __tablename__ = "badges"
    id: Mapped[uuid.UUID] = mapped_column(Uuid, primary_key=True, default=uuid.uuid4)
    title: Mapped[str] = mapped_column(String(40))


class Order(Base):  # an identity column
    __tablename__ = "orders"
    id: Mapped[int] = mapped_column(Integer, Identity(always=True), primary_key=True)
    item: Mapped[str] = mapped_column(String(40))
    qty: Mapped[Optional[int]] = mapped_column(Integer, default=1)


class Kind(Base):  # PostgreSQL's own types
    __tablename__ = "kinds"
    id: Mapped[uuid.UUID] = mapped_column(Uuid, primary_key=True)
    doc: Mapped[dict] = mapped_column(JSONB)
    at: Mapped[datetime.datetime] = mapped_column(DateTime(timezone=True))
    amount: Mapped[Decimal] = mapped_column(Numeric(10, 2))
    tags: Mapped[list] = mapped_column(ARRAY(String))


@pytest.fixture
def pg(w):
    """mapper_models' `w` on PostgreSQL, with this module's tables as well."""
    Base.metadata.create_all(w.BaseMapper.datasource["main"]["db"])
    return w


def mapper_for(w, model):
    class Mapper(w.BaseMapper[model]):
        pass

    return Mapper()


# --- keys of inserts ------------------------------------------------------------------------


def test_text_inserts_return_the_key_of_their_own_row(pg):
    @pg.insert("INSERT INTO users (name, age) VALUES (#{name}, 1)")
    def add_user(name): ...

    @pg.insert("INSERT INTO orders (item) VALUES (#{item})")
    def add_order(item): ...

    @pg.insert("INSERT INTO tickets (title) VALUES (#{title})")
    def add_ticket(title): ...

    @pg.insert("INSERT INTO tickets (title) VALUES (#{title}) RETURNING id")
    def add_ticket_returning(title): ...

    @pg.insert("INSERT INTO users (id, name) VALUES (#{id}, #{name})")
    def add_user_with_id(id, name): ...

    @pg.insert("INSERT INTO users (name) VALUES (#{name}) ON CONFLICT (name) DO NOTHING")
    def add_user_once(name): ...

    # One transaction, one connection: every key speaks of its own statement only, never of a
    # value an earlier statement drew from a sequence; and an insert without a key leaves the
    # transaction usable.
    @pg.datasource("main", transactional=True)
    def work():
        return [add_user("a"), add_order("o"), add_ticket("t1"), add_ticket_returning("t2"),
                add_user_with_id(100, "b"), add_user_once("a"), add_user_once("c"), add_order("p")]

    keys = work()
    assert keys[:3] == [6, 1, None] and isinstance(keys[3], uuid.UUID)
    assert keys[4:] == [None, None, 8, 2]
    assert pg.rows("SELECT id FROM tickets WHERE title = 't2'") == [(keys[3],)]
    assert pg.rows("SELECT id, name FROM users WHERE id > 5 ORDER BY id") == [
        (6, "a"), (8, "c"), (100, "b")]  # 7: drawn by the insert that found "a" there


def test_a_mapped_insert_returns_what_its_statement_returns(pg, tmp_path):
    (tmp_path / "mappers" / "tickets.xml").write_text(
        '<mapper namespace="Tickets"><insert id="add">INSERT INTO tickets (title) VALUES'
        " (#{title}) RETURNING id, title</insert></mapper>", encoding="utf-8")
    pg.WispConfig._instance.scan_mapper_xml(str(tmp_path / "mappers"))
    gateway = pg.BaseMapper.datasource["main"]["db_gateway"]
    key = gateway.execute_sql("add", "Tickets", {"title": "x"})
    assert pg.rows("SELECT id FROM tickets") == [(key,)]


@pytest.mark.parametrize("model, data, key_type", [
    (Ticket, {"title": "a"}, uuid.UUID),
    (Badge, {"title": "a"}, uuid.UUID),
    (Order, {"item": "a"}, int),  # an identity column: the database gives the key
])
def test_generic_mapper_over_uuid_and_identity_keys(pg, model, data, key_type):
    m = mapper_for(pg, model)
    key = m.insert(data)
    assert isinstance(key, key_type) and m.select_one().id == key
    others = [{"title": "b"}, {"title": "c"}] if model is not Order else [{"item": "b"}, {"item": "c"}]
    assert m.save_batch(others) is None
    column = model.title if model is not Order else model.item
    rows = m.select_all(select(model).order_by(column))
    assert len(rows) == 3 and rows[0].id == key and all(isinstance(r.id, key_type) for r in rows)
    field = "title" if model is not Order else "item"
    assert m.update_by_id({"id": key, field: "z"}) == 1
    page = m.select_page_by_orm(select(model).order_by(column), Page(2, 2))
    assert (page["total"], [getattr(r, field) for r in page["list"]]) == (3, ["z"])
    assert m.delete(pg.delete_statement(model).where(model.id == key)) == 1
    assert len(m.select_all()) == 2
    # the key as the key column takes it: a UUID as it is, its text too, an int by int()
    first = m.select_all()[0].id
    assert m.select_by_id(first).id == first and m.select_by_id(str(first)).id == first
    assert m.delete_by_id(first) == 1 and m.select_by_id(first) is None


# --- pages ----------------------------------------------------------------------------------


@pytest.mark.parametrize("sql, total, first", [
    # an ORDER BY ending the statement is left out of the count
    ("SELECT name FROM users WHERE age >= #{age} ORDER BY id;", 4, "u2"),
    # casts, one after a placeholder
    ("SELECT id::text AS i, name FROM users WHERE age::numeric >= #{age}::numeric ORDER BY id",
     4, "u2"),
    # dollar quotes holding a quote, FROM, ORDER BY and a parenthesis
    ("SELECT $$ from (users) it's ORDER BY x$$ AS t, name FROM users WHERE age >= #{age} ORDER BY id",
     4, "u2"),
    ("SELECT $q$ -- ' $q$ AS t, name FROM users WHERE age >= #{age} ORDER BY name DESC", 4, "u5"),
    # "#" is an operator, not a comment
    ("SELECT (age # 1) AS x, name FROM users WHERE age >= #{age} ORDER BY id", 4, "u2"),
    # quoted names, and a string whose backslash escapes nothing
    ('SELECT "name", \'a\\\' AS "From" FROM users WHERE age >= #{age} ORDER BY "name"', 4, "u2"),
    # a clause after ORDER BY keeps it inside the count's subquery
    ("SELECT name FROM users WHERE age >= #{age} ORDER BY id FOR UPDATE", 4, "u2"),
    # a literal percent beside the driver's own placeholders
    ("SELECT name FROM users WHERE name LIKE 'u%' AND age >= #{age} ORDER BY id", 4, "u2"),
])
def test_pages_count_in_postgresql_syntax(pg, sql, total, first):
    @pg.select_page(sql)
    def page_of(age, page: Page): ...

    page = page_of(20, Page(1, 2))
    assert (page["total"], len(page["list"]), page["list"][0]["name"]) == (total, 2, first)
    assert page_of(20, Page(2, 3))["list"][0]["name"] != first


# --- placeholders and types -----------------------------------------------------------------


@dataclasses.dataclass
class KindDC:
    id: uuid.UUID
    doc: dict
    at: datetime.datetime
    amount: Decimal
    tags: list


class KindPD(BaseModel):
    id: uuid.UUID
    doc: dict
    at: datetime.datetime
    amount: Decimal
    tags: list[str]


def test_postgresql_types_through_placeholders_and_result_classes(pg):
    @pg.insert("INSERT INTO kinds (id, doc, at, amount, tags)"
               " VALUES (#{id}, #{doc}::jsonb, #{at}::timestamptz, #{amount}, #{tags})")
    def add_kind(id, doc, at, amount, tags): ...

    columns = "SELECT id, doc, at, amount, tags FROM kinds"

    @pg.select_list(columns + " WHERE id = ANY(#{ids}) AND doc @> #{probe}::jsonb ORDER BY amount")
    def as_dataclasses(ids, probe) -> list[KindDC]: ...

    @pg.select_one(columns + " WHERE tags && #{tags} ORDER BY amount")
    def as_pydantic(tags) -> KindPD: ...

    @pg.select_list(columns + " WHERE doc ->> 'k' LIKE 'v%' ORDER BY amount")
    def as_models() -> list[Kind]: ...

    at = datetime.datetime(2024, 2, 29, 12, 30, tzinfo=datetime.timezone.utc)
    rows = [KindDC(uuid.uuid4(), {"k": "v1", "n": [1, 2]}, at, Decimal("1.50"), ["a", "b"]),
            KindDC(uuid.uuid4(), {"k": "v2"}, at + datetime.timedelta(days=1), Decimal("2.25"), [])]
    for r in rows:
        assert add_kind(r.id, json.dumps(r.doc), r.at.isoformat(), r.amount, r.tags) is None
    assert as_dataclasses([r.id for r in rows], '{"k": "v1"}') == rows[:1]
    assert as_pydantic(["b", "x"]) == KindPD(**dataclasses.asdict(rows[0]))
    models = as_models()
    assert [(m.id, m.doc, m.at, m.amount, m.tags) for m in models] == [
        dataclasses.astuple(r) for r in rows]
