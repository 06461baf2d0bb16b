"""Models, a mapper file and a configured registry shared by the BaseMapper tests."""

import contextlib
import dataclasses
from typing import Optional

import pytest
from pydantic import BaseModel
from sqlalchemy import Integer, String, text
from sqlalchemy.orm import DeclarativeBase, Mapped, mapped_column

from conftest import make_engine


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


@pytest.fixture
def w(wisp_registry, backend, tmp_path):
    """wisp.wisp with data source "main" (primary) on the backend and "other" an SQLite file,
    both with the tables, five users u1..u5 aged 10..50 in "main", and w.rows(sql) and
    w.count_users() reading through a connection of their own."""
    probe = configure(wisp_registry, backend, tmp_path)
    yield wisp_registry
    del wisp_registry.rows, wisp_registry.count_users
    probe.dispose()


def configure(w, backend, tmp_path):
    xml_dir = tmp_path / "mappers"
    xml_dir.mkdir()
    (xml_dir / "users.xml").write_text(MAPPER_XML, encoding="utf-8")
    main = (backend.server.config if backend.kind == "mariadb"
            else sqlite(backend.url[len("sqlite:///"):]))
    with contextlib.redirect_stdout(None):
        w.WispConfig(w.DBConfig("main", mapper_xml_path=str(xml_dir), main=main,
                                other=sqlite(tmp_path / "other.db")))
    for entry in w.BaseMapper.datasource.values():
        Base.metadata.create_all(entry["db"])
    probe = make_engine(backend.url)
    with probe.begin() as c:
        c.execute(text("INSERT INTO users (name, age) VALUES (:name, :age)"),
                  [{"name": f"u{i}", "age": i * 10} for i in range(1, 6)])

    def rows(sql):
        with probe.connect() as c:
            return [tuple(r) for r in c.execute(text(sql))]

    w.rows = rows
    w.count_users = lambda: rows("SELECT COUNT(*) FROM users")[0][0]
    return probe
