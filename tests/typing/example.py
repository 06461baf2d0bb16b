"""A small typed program against wisp.wisp, checked by mypy in test_wisp_decorators_typing."""

from sqlalchemy import select
from sqlalchemy.orm import DeclarativeBase, Mapped, mapped_column

from wisp.wisp import (BaseMapper, Page, PageResult, select_list, select_one, select_page,
                       transaction)


class Base(DeclarativeBase):
    pass


class User(Base):
    __tablename__ = "users"
    id: Mapped[int] = mapped_column(primary_key=True)
    name: Mapped[str]


class UserMapper(BaseMapper[User]):
    def find(self, name: str) -> User | None: ...

    def adults(self, page: Page | None = None) -> PageResult[User]: ...


@select_one("SELECT name FROM users WHERE id = #{id}")
def find_name(id: int) -> str | None: ...


@select_list("SELECT id FROM users WHERE name LIKE #{pattern}")
def find_like(pattern: str, *, limit: int = 10) -> list[User]: ...


@select_page("SELECT id FROM users")
def users_page(page: Page) -> list[User]: ...


@select_page("SELECT id FROM users WHERE name LIKE #{pattern}")
def users_like(pattern: str, page: Page | None = None) -> PageResult[User]: ...


@transaction("main", savepoint=True)
def checkout(order_id: int) -> bool: ...


with transaction() as gateway:
    pass

reveal_type(gateway)
reveal_type(UserMapper().select_by_id(1))
reveal_type(UserMapper().select_all())
reveal_type(UserMapper().select_one(select(User.name)))
reveal_type(UserMapper().select_one(select(User.id, User.name)))
reveal_type(UserMapper().insert({"name": "ann"}))
reveal_type(UserMapper().find("ann"))
reveal_type(UserMapper().adults()["list"])
reveal_type(find_name)
reveal_type(find_like)
reveal_type(users_page)
reveal_type(users_like)
reveal_type(users_like("a%")["list"])
reveal_type(checkout)
find_name("3")
