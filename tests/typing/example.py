"""A small typed program against wisp.wisp, checked by mypy in test_wisp_decorators_typing."""

from sqlalchemy import select
from sqlalchemy.orm import DeclarativeBase, Mapped, mapped_column

from wisp.wisp import (AsyncBaseMapper, BaseMapper, Page, PageResult, async_db_session,
                       select_list, select_one, select_page, transaction)


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


class AsyncUserMapper(AsyncBaseMapper[User]):
    async def find(self, name: str) -> User | None: ...


@select_one("SELECT name FROM users WHERE id = #{id}")
async def find_name_async(id: int) -> str | None: ...


@select_page("SELECT id FROM users")
async def users_page_async(page: Page) -> list[User]: ...


@transaction("main")
async def checkout_async(order_id: int) -> bool: ...


async def awaited() -> None:
    async with transaction() as async_gateway:
        reveal_type(async_gateway)
    async with async_db_session() as async_session:
        reveal_type(async_session)
    reveal_type(await AsyncUserMapper().select_by_id(1))
    reveal_type(await AsyncUserMapper().select_all())
    reveal_type(await AsyncUserMapper().select_one(select(User.name)))
    reveal_type(await AsyncUserMapper().find("ann"))
    reveal_type(await find_name_async(1))
    reveal_type(await users_page_async(Page(1, 10)))
    reveal_type(await checkout_async(1))
