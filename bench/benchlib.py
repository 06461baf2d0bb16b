"""What the benchmarks share: the clock, a configured SQLite data source and
a users table. Imported by the scripts next to it (`python bench/x.py` puts
this folder on the path)."""

import contextlib
import os
import time
import timeit

from sqlalchemy import event, text


def cpu(fn, number):
    """CPU seconds of this thread per call."""
    return timeit.timeit(fn, number=number, timer=time.thread_time) / number


def no_fsync(dbapi_conn, _=None):
    """Keeps the disk out of the figures: SQLite does not wait for it."""
    dbapi_conn.execute("PRAGMA synchronous=OFF")


def wisp_sqlite(tmp, mapper_xml_path=None):
    """wisp configured with one SQLite data source "main" in `tmp`; its engine."""
    from wisp import wisp

    config = wisp.DBConfig("main", mapper_xml_path=mapper_xml_path,
                           main={"db_type": "sqlite", "sqlite_path": os.path.join(tmp, "bench.db")})
    with contextlib.redirect_stdout(None):
        wisp.WispConfig(config)
    engine = wisp.BaseMapper.datasource["main"]["db"]
    event.listen(engine, "connect", no_fsync)
    return engine


def users_table(engine, rows=1000):
    """A users table (id, name, age) with `rows` rows, ages 0 to 89."""
    with engine.begin() as c:
        c.execute(text("CREATE TABLE users (id INTEGER PRIMARY KEY AUTOINCREMENT, "
                       "name VARCHAR(40), age INTEGER)"))
        c.execute(text("INSERT INTO users (name, age) VALUES (:name, :age)"),
                  [{"name": f"user{i}", "age": i % 90} for i in range(rows)])
