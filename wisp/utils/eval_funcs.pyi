import re as re
import time as time
from typing import Any, Callable

from wisp.utils.literal_tools import (
    convert_cdata as convert_cdata,
    param_str as param_str,
    replace_cdata as replace_cdata,
    sql_string_format as sql_string_format,
)

def like(value: str) -> str: ...
def time_format(date_value: time.struct_time | tuple[int, ...], format: str = "%Y-%m-%d %H:%M:%S") -> str: ...

default_fun_dict: dict[str, Callable[..., str]]
