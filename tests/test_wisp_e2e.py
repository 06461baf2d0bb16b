"""An application written against wisp.wisp the way a user writes one: a declarative model, a
mapper file under the scanned directory, a UserMapper with XML-mapped and inherited methods,
decorated functions, two data sources chosen per call, paging, and a transaction that fails
and leaves nothing behind. It runs on SQLite and on MariaDB."""

import contextlib

import pytest
from sqlalchemy import String
from sqlalchemy.exc import IntegrityError
from sqlalchemy.orm import DeclarativeBase, Mapped, mapped_column

from mapper_models import main_source, sqlite
from wisp.wisp import (BaseMapper, DBConfig, Page, WispConfig, datasource, insert, select_list,
                       select_one, select_page, switch_datasource)


class Base(DeclarativeBase):
    pass


class User(Base):
    __tablename__ = "app_users"
    id: Mapped[int] = mapped_column(primary_key=True, autoincrement=True)
    name: Mapped[str] = mapped_column(String(40), unique=True)
    age: Mapped[int] = mapped_column(default=0)


USER_MAPPER = f"""<?xml version="1.0" encoding="UTF-8"?>
<mapper namespace="UserMapper">
  <select id="find_by_name" resultType="{__name__}.User">
    SELECT id, name, age FROM app_users
    <where><if test="params.get('name')">name = #{{name}}</if></where>
    ORDER BY id
  </select>
  <select id="adults" resultType="{__name__}.User">
    SELECT id, name, age FROM app_users WHERE age &gt;= 18 ORDER BY id
  </select>
</mapper>
"""


class UserMapper(BaseMapper[User]):
    def find_by_name(self, name: str | None) -> list[User]: ...

    def adults(self, page: Page = None) -> list[User]: ...


@select_list("SELECT name FROM app_users WHERE age >= #{age} ORDER BY id")
def names_from(age: int) -> list[str]: ...


@select_page("SELECT id, name, age FROM app_users ORDER BY id")
def user_page(page: Page) -> list[User]: ...


@select_one("SELECT COUNT(*) AS n FROM app_users")
def user_count() -> int: ...


@insert("INSERT INTO app_users (name, age) VALUES (#{name}, #{age})")
def add_user(name: str, age: int) -> int: ...


@datasource("archive")
def archived_names() -> list[str]:
    return names_from(0)


@datasource("main", transactional=True)
class SignUp:
    def register(self, names):
        for name in names:
            add_user(name, 30)


def names(users):
    return [u.name for u in users]


def test_user_program(wisp_registry, backend, tmp_path):
    mappers = tmp_path / "mappers" / "users"
    mappers.mkdir(parents=True)
    (mappers / "user_mapper.xml").write_text(USER_MAPPER, encoding="utf-8")
    with contextlib.redirect_stdout(None):
        WispConfig(DBConfig("main", mapper_xml_path=str(tmp_path / "mappers"),
                            main=main_source(backend), archive=sqlite(tmp_path / "archive.db")))
    for entry in BaseMapper.datasource.values():
        Base.metadata.create_all(entry["db"])

    users = UserMapper()
    ann = users.insert({"name": "ann", "age": 34})
    add_user("bob", 17)
    users.save_batch([{"name": "cid", "age": 51}, {"name": "dee", "age": 22}])
    assert users.select_by_id(ann).name == "ann" and user_count() == 4

    # Methods declared by signature run the mapper file's statements.
    assert names(users.find_by_name("bob")) == ["bob"]
    assert names(users.find_by_name(None)) == ["ann", "bob", "cid", "dee"]
    adults = users.adults(Page(1, 2))
    assert (adults["total"], names(adults["list"])) == (3, ["ann", "cid"])

    page = user_page(Page(2, 3))
    assert (page["total"], names(page["list"])) == (4, ["dee"])
    assert names_from(18) == ["ann", "cid", "dee"]

    # The second data source, chosen per call.
    with switch_datasource("archive"):
        users.insert({"name": "old", "age": 90})
        assert names(users.select_all()) == ["old"] and names_from(0) == ["old"]
    assert archived_names() == ["old"] and user_count() == 4

    # A transaction whose last statement fails stores none of its rows.
    with pytest.raises(IntegrityError):
        SignUp().register(["eve", "fay", "ann"])
    assert user_count() == 4 and users.find_by_name("eve") == []
    SignUp().register(["eve", "fay"])
    assert names_from(30) == ["ann", "cid", "eve", "fay"]
