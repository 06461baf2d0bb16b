"""Mapper XML files: statement index, dynamic SQL rendering, prepared statements."""

import os
import re as re
import xml.etree.ElementTree as et
from collections.abc import Iterable, KeysView
from dataclasses import dataclass
from typing import Any, Literal

from sqlalchemy import TextClause as TextClause
from sqlalchemy import text as text

from wisp.utils.class_probe import get_type_from_string as get_type_from_string
from wisp.utils.class_probe import is_container_type_by_str as is_container_type_by_str

sql_id_type_list: list[str]
param_pattern: re.Pattern[str]
replace_pattern: re.Pattern[str]

# ParseMapper also has a __getattr__, reached only for a missing attribute: it
# raises the usual AttributeError (with a note naming the mapper file when the
# missing attribute is `namespace`), so it is left out here.
class ParseMapper:
    id_2_element_map: dict[str, et.Element]
    result_type_map: dict[str, type]
    sql_type_map: dict[str, str]
    namespace: str
    def __init__(self, xml_path: str | None = None) -> None: ...
    def get_sql(
        self, sql_id: str, params: dict[str, Any] | None = None
    ) -> tuple[TextClause, dict[str, Any], str, type]:
        """
        Get SQL Statement By sql_id
        Formatting of SQL Statements
        :return:
        """
    def list_statement(self) -> KeysView[str]: ...
    @staticmethod
    def _trim_prefix(s: str, prefixes: set[str]) -> str: ...
    @staticmethod
    def _trim_suffix(s: str, suffixes: set[str]) -> str: ...
    def parse_element(self, element: et.Element, param: dict[str, Any]) -> str | None: ...
    @staticmethod
    def _format_sql(sql: str) -> str: ...
    @staticmethod
    def to_prepared_statement(ret: str, param: Any) -> tuple[TextClause, dict[str, Any]]: ...
    @staticmethod
    def to_replace(ret: str, param: Any) -> str: ...
    def select(self, id: str, params: dict[str, Any]) -> tuple[TextClause, dict[str, Any]]: ...
    def update(self, id: str, params: dict[str, Any]) -> tuple[TextClause, dict[str, Any]]: ...
    def delete(self, id: str, params: dict[str, Any]) -> tuple[TextClause, dict[str, Any]]: ...
    def insert(
        self, id: str, params: dict[str, Any], primary_key: str | None = None
    ) -> tuple[TextClause, dict[str, Any]]: ...

@dataclass(frozen=True)
class MapperProblem:
    """One problem of a mapper file: where it is and what it is."""

    file: str
    line: int
    message: str
    warning: bool = False
    def __str__(self) -> str: ...

def check_mappers(
    *paths: str | os.PathLike[str],
    mappers: Iterable[type] = (),
    async_mappers: Iterable[type] = (),
    on_error: Literal["raise", "warn"] | None = None,
) -> list[MapperProblem]:
    """Checks mapper files (files, or folders of *.xml files at any depth) before they run,
    and the mapper classes given against their namespaces (async_mappers: those whose
    mapped methods are async def). Returns the problems found; with on_error='raise'
    raises Exception naming them all when one is an error, with on_error='warn' issues
    each as a UserWarning."""
