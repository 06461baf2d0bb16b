"""The facade: data-source configuration, per-context selection, the generic mapper, the
statement decorators."""

import builtins
import inspect as inspect
import os as os
import weakref
from collections.abc import Callable as _Callable
from contextlib import AbstractAsyncContextManager, AbstractContextManager
from contextlib import contextmanager as contextmanager
from contextvars import ContextVar as ContextVar
from dataclasses import dataclass as dataclass
from dataclasses import field as field
from functools import wraps as wraps
from types import TracebackType
from typing import Any as Any
from typing import Callable as Callable
from typing import ClassVar
from typing import Dict as Dict
from typing import Generic as Generic
from typing import List as List
from typing import Literal, ParamSpec, Protocol, TypedDict
from typing import TypeVar as TypeVar
from typing import Union as Union
from typing import get_args as get_args
from typing import get_origin as get_origin
from typing import overload
from collections.abc import Coroutine as _Coroutine

from pydantic import BaseModel as BaseModel
from sqlalchemy import create_engine as create_engine
from sqlalchemy import delete as delete_statement
from sqlalchemy import func as func_stat
from sqlalchemy import insert as insert_statement
from sqlalchemy import inspect as inspect_statement
from sqlalchemy import select as select
from sqlalchemy import text as text
from sqlalchemy import update as update_statement
from sqlalchemy import TextClause
from sqlalchemy.orm import DeclarativeBase as DeclarativeBase
from sqlalchemy.ext.asyncio import AsyncSession
from sqlalchemy.orm import Session
from sqlalchemy.sql.dml import Delete as Delete
from sqlalchemy.sql.dml import Update as Update
from sqlalchemy.sql.selectable import Select as Select
from typing_extensions import get_type_hints as get_type_hints

from wisp.db.db_gateway import WispDbGateway as WispDbGateway
from wisp.db.query_runner import Page as Page
from wisp.mapper.xml_reader import ParseMapper as ParseMapper
from wisp.utils.class_probe import get_base_type as get_base_type
from wisp.utils.class_probe import is_container_type as is_container_type
from wisp.utils.class_probe import is_result_class as is_result_class

_F = TypeVar("_F", bound=_Callable[..., Any])
_C = TypeVar("_C", bound=type)
_P = ParamSpec("_P")
_R = TypeVar("_R")
_Row = TypeVar("_Row")

@dataclass
class DataSource:
    db_type: str
    host: str = None
    port: int = None
    user: str = None
    password: str = None
    database: str = None
    sqlite_path: str = None
    # The data source's own engine options; None: the default every engine gets.
    pool_size: int | None = None
    max_overflow: int | None = None
    pool_recycle: int | None = None
    pool_pre_ping: bool | None = None
    echo: bool | None = None

@dataclass(init=False)
class DBConfig:
    ds: dict[str, DataSource] = field(init=False)
    raw_sql: bool = False
    mapper_xml_path: str = None
    primary: str = None
    def __init__(
        self,
        primary: str | None = None,
        mapper_xml_path: str | None = None,
        raw_sql: bool = False,
        **kwargs: dict[str, Any],
    ) -> None: ...

class WispConfig:
    _instance: ClassVar[WispConfig | None]
    _initialized: ClassVar[bool]
    datasource: ClassVar[dict[str, dict[str, Any]]]
    raw_sql: bool
    wisp_mapper_dict: ClassVar[dict[str, ParseMapper]]
    mapper_errors: Literal["raise", "warn"]
    # One instance per process (__new__ takes the arguments of __init__ and
    # gives it back). Mapper files are checked before they are loaded: an
    # error refuses the start with Exception naming every problem;
    # mapper_errors="warn" makes each a UserWarning instead. quiet=True leaves
    # out the start-up print.
    def __init__(
        self,
        db_config: DBConfig,
        *,
        mapper_errors: Literal["raise", "warn"] = "raise",
        quiet: bool = False,
    ) -> None: ...
    def scan_mapper_xml(self, mapper_xml_path: str | None) -> None: ...
    def _WispConfig__list_mapper(self, mapper_xml_dir: str, ext: str) -> list[str]: ...
    @classmethod
    def add_datasource_config(cls, datasource_name: str, datasource_config: DataSource) -> None: ...
    @classmethod
    def remove_datasource(cls, datasource_name: str) -> None: ...

def get_current_db() -> str | None: ...
def switch_datasource(db: str) -> AbstractContextManager[str]: ...

T = TypeVar("T", bound=DeclarativeBase)

# A mapper per declarative model, ``class UserMapper(BaseMapper[User])``: a
# method a subclass declares by its signature alone runs the mapper XML
# statement whose namespace is the class's name and whose id is the method's.
class BaseMapper(Generic[T]):
    datasource: ClassVar[dict[str, dict[str, Any]] | None]
    default_key: ClassVar[str | None]
    raw_sql: ClassVar[bool]
    _sig_cache: ClassVar[
        weakref.WeakKeyDictionary[type, dict[str, tuple[weakref.ref[Any], inspect.Signature]]]
    ]
    _type_cache: ClassVar[dict[type, type]]
    @classmethod
    def _BaseMapper__type_parameter(cls) -> type[T]: ...
    @staticmethod
    def _BaseMapper__exclude_pk(pk_name: str | None, data_dict: dict[str, Any]) -> dict[str, Any]: ...
    @classmethod
    def _get_auto_pk(cls, model_class: type[DeclarativeBase]) -> str | None: ...
    def _convert_data(
        self, data: T | BaseModel | dict[str, Any], model_class: type[T], exclude_pk: bool = True
    ) -> dict[str, Any]: ...
    @classmethod
    def _BaseMapper__session(cls) -> WispDbGateway: ...
    @property
    def session(self) -> WispDbGateway: ...
    @classmethod
    def db_session(cls, datasource_name: str | None = None) -> AbstractContextManager[Session]: ...
    @classmethod
    def switch_datasource(cls, datasource_name: str) -> AbstractContextManager[WispDbGateway]: ...
    def add(self, data: T) -> None: ...
    def add_all(self, data: list[T]) -> None: ...
    def save_batch(self, data: list[T | BaseModel | dict[str, Any]]) -> None: ...
    # The new row's key (the one given, or the one the database assigned), or None.
    def insert(self, data: T | BaseModel | dict[str, Any]) -> object | None: ...
    # The key as the model's `id` column needs it: int() for an integer column.
    def delete_by_id(self, id: object) -> int: ...
    def delete(self, del_statement: Delete) -> int: ...
    def update_by_id(self, data: dict[str, Any], selective: bool = False) -> int: ...
    def update(self, update_stat: Update, data: dict[str, Any] | None = None) -> int: ...
    def bulk_update_mappings(
        self, table_model: type[Any] | None = None, data_list: list[dict[str, Any]] | None = None
    ) -> None: ...
    def select_page_by_orm(self, statement: Select[Any], page: Page = ...) -> dict[str, Any]: ...
    def select_page_by_sql(
        self, sql_str: str, sql_param: dict[str, Any] | None = None, page: Page = ...
    ) -> dict[str, Any]: ...
    def select_all_by_sql(
        self, sql_str: str, sql_param: dict[str, Any] | None = None
    ) -> list[dict[str, Any]]: ...
    def _use_orm2(self, statement: Select[Any]) -> bool: ...
    @overload
    def select_all(self, statement: None = None) -> list[T]: ...
    @overload
    def select_all(self, statement: Select) -> list[Any]: ...
    # One entity or column: the object or value (SQLAlchemy 2.0 writes its select as
    # Select[tuple[X]], 2.1 as Select[X]); several columns: the row as a dict.
    @overload
    def select_one(self, statement: None = None) -> T | None: ...
    @overload
    def select_one(self, statement: Select[tuple[_R]]) -> _R | None: ...
    @overload
    def select_one(self, statement: Select[_R]) -> _R | None: ...
    @overload
    def select_one(self, statement: Select) -> dict[str, Any] | None: ...
    def select_by_id(self, id: object) -> T | None: ...
    def __getattribute__(self, name: str) -> Any: ...

datasource_context: ContextVar[str | None]

def datasource(
    datasource_name: str, transactional: bool = False
) -> Callable[[Union[_F, _C]], Union[_F, _C]]:
    """
    多功能数据源装饰器，既可用于类也可用于方法

    :param datasource_name: 数据源名称
    :param transactional: 是否开启事务
    """

def _decorate_class(cls: _C, datasource_name: str, transactional: bool) -> _C:
    """
    装饰类，使类中所有方法都使用指定数据源
    """

def _create_wrapped_method(
    method: _F, datasource_name: str, transactional: bool, mark_decorated: bool = False
) -> _F:
    """
    包装方法，添加数据源切换逻辑
    :param mark_decorated: 是否标记已装饰，避免类装饰时重复装饰
    """

def db_session(datasource_name: str | None = None) -> AbstractContextManager[Session]:
    """
    get ori_session
    :param datasource_name: str
    :return:
    """

class transaction:
    """A transaction of a data source, as a context manager or a function decorator.

    The block (or each call) runs with the data source `name` selected, or the one in
    force when `name` is None. Without an open transaction of that data source in the
    context, it opens one, commits it when the block ends normally and rolls it back on
    any exception. Inside one, it joins it; should it then end with an exception, the
    whole transaction can only roll back. With `savepoint=True` it marks a SAVEPOINT
    instead: an exception rolls back the block's own work only, and the transaction
    around it goes on. Entering gives the data source's gateway."""

    name: str | None
    savepoint: bool
    def __init__(self, name: str | None = None, *, savepoint: bool = False) -> None: ...
    def __enter__(self) -> WispDbGateway: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> bool: ...
    # `async with`: the same block, each step awaited; the gateway is the one over the
    # data source's async engine.
    async def __aenter__(self) -> WispDbGateway: ...
    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> bool: ...
    # A function or an async def: the transaction encloses each call, awaited or not.
    def __call__(self, func: _F) -> _F: ...

# The page of rows a paged query gives. As the return annotation of a select_page function
# or of a mapped method, PageResult[X] shapes the rows as list[X] does.
class PageResult(TypedDict, Generic[_Row]):
    pageNum: int
    pageSize: int
    total: int
    list: builtins.list[_Row]

# The statement decorators return the function they decorate with its declared signature;
# a select_page function returns a page, whose rows its annotation names.
class _PageDecorator(Protocol):
    @overload
    def __call__(
        self, func: Callable[_P, _Coroutine[Any, Any, PageResult[_Row]]]
    ) -> Callable[_P, _Coroutine[Any, Any, PageResult[_Row]]]: ...
    @overload
    def __call__(
        self, func: Callable[_P, _Coroutine[Any, Any, builtins.list[_Row]]]
    ) -> Callable[_P, _Coroutine[Any, Any, PageResult[_Row]]]: ...
    @overload
    def __call__(
        self, func: Callable[_P, _Coroutine[Any, Any, Any]]
    ) -> Callable[_P, _Coroutine[Any, Any, PageResult[Any]]]: ...
    @overload
    def __call__(self, func: Callable[_P, PageResult[_Row]]) -> Callable[_P, PageResult[_Row]]: ...
    @overload
    def __call__(self, func: Callable[_P, builtins.list[_Row]]) -> Callable[_P, PageResult[_Row]]: ...
    @overload
    def __call__(self, func: Callable[_P, Any]) -> Callable[_P, PageResult[Any]]: ...

def __combine_args(
    fun: _Callable[..., Any], args: tuple[Any, ...], kwargs: dict[str, Any]
) -> dict[str, Any]: ...
def __combine_args_page(
    fun: _Callable[..., Any], args: tuple[Any, ...], kwargs: dict[str, Any]
) -> tuple[dict[str, Any], Page | None]: ...
def _prepare_sql(
    sql_str: str, params: dict[str, Any]
) -> tuple[WispDbGateway, TextClause, dict[str, Any]]:
    """预编译SQL并获取session"""

def select_one(sql: str) -> Callable[[_F], _F]:
    """
    decorator select one by raw sql
    :param sql: str
    :return:
    """

def result_type_handle(result_type: Any, result: dict) -> Any: ...
def select_list(sql: str) -> Callable[[_F], _F]: ...
def select_page(sql: str) -> _PageDecorator:
    """
    decorator select list by raw sql, default Page(1, 10)
    :param sql: str
    :return:
    """

def _sql_decorator(sql_str: str, sql_type: str) -> Callable[[_F], _F]:
    """通用SQL操作装饰器工厂"""

def insert_list(sql: str) -> Callable[[_F], _F]:
    """
    decorator insert by raw sql
    :param sql: str
    :return:
    """

def insert(sql: str) -> Callable[[_F], _F]:
    """decorator insert by raw sql"""

def delete(sql: str) -> Callable[[_F], _F]:
    """decorator delete by raw sql"""

def update(sql: str) -> Callable[[_F], _F]:
    """decorator update by raw sql"""

# The async surface (the `async` extra). An async def decorated by any statement decorator,
# by datasource or by transaction stays a coroutine function with its declared signature.

def async_db_session(name: str | None = None) -> AbstractAsyncContextManager[AsyncSession]:
    """An AsyncSession of the data source `name` (the one in force when None), for
    `async with`: committed when the block ends normally, rolled back when it raises,
    closed always. The selection in force is not changed."""

# BaseMapper awaited: ``class UserMapper(AsyncBaseMapper[User])``; a method a subclass
# declares by its signature alone (``async def find(self, name: str) -> User | None: ...``)
# runs the mapper XML statement of the same name.
class AsyncBaseMapper(Generic[T]):
    datasource: ClassVar[dict[str, dict[str, Any]] | None]
    default_key: ClassVar[str | None]
    raw_sql: ClassVar[bool]
    _sig_cache: ClassVar[
        weakref.WeakKeyDictionary[type, dict[str, tuple[weakref.ref[Any], inspect.Signature]]]
    ]
    @classmethod
    def _BaseMapper__type_parameter(cls) -> type[T]: ...
    @staticmethod
    def _BaseMapper__exclude_pk(pk_name: str | None, data_dict: dict[str, Any]) -> dict[str, Any]: ...
    @classmethod
    def _get_auto_pk(cls, model_class: type[DeclarativeBase]) -> str | None: ...
    def _convert_data(
        self, data: T | BaseModel | dict[str, Any], model_class: type[T], exclude_pk: bool = True
    ) -> dict[str, Any]: ...
    @classmethod
    def _BaseMapper__session(cls) -> WispDbGateway: ...
    @property
    def session(self) -> WispDbGateway: ...
    @classmethod
    def db_session(
        cls, datasource_name: str | None = None
    ) -> AbstractAsyncContextManager[AsyncSession]: ...
    @classmethod
    def switch_datasource(cls, datasource_name: str) -> AbstractAsyncContextManager[WispDbGateway]: ...
    async def add(self, data: T) -> None: ...
    async def add_all(self, data: list[T]) -> None: ...
    async def save_batch(self, data: list[T | BaseModel | dict[str, Any]]) -> None: ...
    async def insert(self, data: T | BaseModel | dict[str, Any]) -> object | None: ...
    async def delete_by_id(self, id: object) -> int: ...
    async def delete(self, del_statement: Delete) -> int: ...
    async def update_by_id(self, data: dict[str, Any], selective: bool = False) -> int: ...
    async def update(self, update_stat: Update, data: dict[str, Any] | None = None) -> int: ...
    async def bulk_update_mappings(
        self, table_model: type[Any] | None = None, data_list: list[dict[str, Any]] | None = None
    ) -> None: ...
    async def select_page_by_orm(self, statement: Select[Any], page: Page = ...) -> dict[str, Any]: ...
    async def select_page_by_sql(
        self, sql_str: str, sql_param: dict[str, Any] | None = None, page: Page = ...
    ) -> dict[str, Any]: ...
    async def select_all_by_sql(
        self, sql_str: str, sql_param: dict[str, Any] | None = None
    ) -> list[dict[str, Any]]: ...
    def _use_orm2(self, statement: Select[Any]) -> bool: ...
    @overload
    async def select_all(self, statement: None = None) -> list[T]: ...
    @overload
    async def select_all(self, statement: Select) -> list[Any]: ...
    @overload
    async def select_one(self, statement: None = None) -> T | None: ...
    @overload
    async def select_one(self, statement: Select[tuple[_R]]) -> _R | None: ...
    @overload
    async def select_one(self, statement: Select[_R]) -> _R | None: ...
    @overload
    async def select_one(self, statement: Select) -> dict[str, Any] | None: ...
    async def select_by_id(self, id: object) -> T | None: ...
    def __getattribute__(self, name: str) -> Any: ...
