"""Models, a mapper file and a configured registry shared by the BaseMapper tests."""

import contextlib
import dataclasses
from typing import Optional

import pytest
from pydantic import BaseModel
from sqlalchemy import Integer, String, text
from sqlalchemy.orm import DeclarativeBase, Mapped, mapped_column



class Base(DeclarativeBase):
    pass


class User(Base):
    __tablename__ = "users"
    id: Mapped[int] = mapped_column(Integer, primary_key=True, autoincrement=True)
    name: Mapped[str] = mapped_column(String(40), unique=True)
    age: Mapped[Optional[int]] = mapped_column(Integer, default=0)


class Tag(Base):  # a natural key
    __tablename__ = "tags"
    code: Mapped[str] = mapped_column(String(20), primary_key=True)
    label: Mapped[str] = mapped_column(String(40))


class Event(Base):  # `id` is an ordinary column here, and repeats
    __tablename__ = "events"
    seq: Mapped[int] = mapped_column(Integer, primary_key=True)
    id: Mapped[int] = mapped_column(Integer)


@dataclasses.dataclass
class Person:
    id: int
    name: str
    age: int


class UserIn(BaseModel):
    name: str
    age: int = 7


MAPPER_XML = """<?xml version="1.0" encoding="UTF-8"?>
<mapper namespace="UserMapper">
  <select id="older" resultType="mapper_models.Person">
    SELECT id, name, age FROM users WHERE age &gt;= #{age} ORDER BY id
  </select>
  <select id="older_models" resultType="mapper_models.User">
    SELECT id, name, age FROM users WHERE age &gt;= #{age} ORDER BY id
  </select>
  <select id="by_name">SELECT name, age FROM users WHERE name = #{name}</select>
  <select id="count_older" resultType="int">
    SELECT COUNT(*) AS n FROM users <where><if test="params.get('age')">age &gt;= #{age}</if></where>
  </select>
  <select id="by_age">SELECT name FROM users WHERE age &gt;= #{age} ORDER BY id</select>
  <insert id="add_user">INSERT INTO users (name, age) VALUES (#{name}, #{age})</insert>
  <select id="select_all">SELECT name FROM users ORDER BY id</select>
</mapper>
"""


def sqlite(path):
    return {"db_type": "sqlite", "sqlite_path": str(path)}


def mapper_for(w, model):
    """A mapper of `model` with no namespace of its own: the plain methods run."""
    class Mapper(w.BaseMapper[model]):
        pass

    return Mapper()


def main_source(backend):
    """The data-source dict of the test's backend."""
    if backend.server:
        return backend.server.config
    return sqlite(backend.url[len("sqlite:///"):])


@pytest.fixture
def w(wisp_registry, backend, users, tmp_path):
    """wisp.wisp with data source "main" (primary) on the backend and "other" an SQLite file,
    both with the tables, conftest's five users u1..u5 aged 10..50 in "main", and w.rows(sql)
    (tuples), w.dicts(sql) and w.count_users() reading through a connection of their own."""
    w = wisp_registry
    (tmp_path / "mappers").mkdir()
    (tmp_path / "mappers" / "users.xml").write_text(MAPPER_XML, encoding="utf-8")
    with contextlib.redirect_stdout(None):
        w.WispConfig(w.DBConfig("main", mapper_xml_path=str(tmp_path / "mappers"),
                                main=main_source(backend), other=sqlite(tmp_path / "other.db")))
    for entry in w.BaseMapper.datasource.values():
        Base.metadata.create_all(entry["db"])

    def fetch(sql):
        with users.connect() as c:
            return list(c.execute(text(sql)))

    w.rows = lambda sql: [tuple(r) for r in fetch(sql)]
    w.dicts = lambda sql: [r._asdict() for r in fetch(sql)]
    w.count_users = lambda: fetch("SELECT COUNT(*) FROM users")[0][0]
    yield w
    del w.rows, w.dicts, w.count_users
