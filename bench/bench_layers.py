"""The layers between a statement and the driver, side by side in one interleaved run.

The same three workloads (a select of 10 rows by an age range into dicts and into
dataclasses, and a single-row insert with its commit) through:

- the bare driver (`sqlite3`, PyMySQL), one connection kept open;
- SQLAlchemy's pooled raw connection (`engine.raw_connection()`, a cursor, commit);
- a `Connection` and a `text()` clause built once;
- a `Session` per call (the way wisp ran an owned statement before its leaner paths);
- wisp: an XML-mapped method, a decorated function, and `BaseMapper`'s own methods
  (beside them, the hand-written ORM code they stand for, a `Session` per call);
- PugSQL (SQL files over SQLAlchemy Core).

wisp and the SQLAlchemy layers share wisp's engine (its pool options, pre-ping on). SQLite
always (thread CPU time: SQLite runs in the process, so all the work is counted and other
processes are not); MariaDB or MySQL when a URL is given (wall time: the server's work and
the round trips are the cost there), where the decorated function also runs with the pool's
pre-ping off. In each round every case runs `NUMBER` calls, in an order rotated from round
to round; the figure kept is the median of the rounds, and every ratio is to the bare driver
of the same run.

Run: python bench/bench_layers.py [--rounds N] [--mysql mysql+pymysql://user:pw@host:port/db]
"""

import argparse
import contextlib
import dataclasses
import io
import os
import sqlite3
import statistics
import sys
import tempfile
import time

import pugsql
from sqlalchemy import event, insert, make_url, select, text
from sqlalchemy.orm import DeclarativeBase, Mapped, MappedAsDataclass, Session, mapped_column

from benchlib import no_fsync
from wisp import wisp
from wisp.wisp import BaseMapper

NUMBER = 40
MIN_AGE = 30
ROWS = 1000
COLUMNS = "id, name, age"
SELECT = f"SELECT {COLUMNS} FROM users WHERE age >= :min_age ORDER BY id LIMIT 10"
INSERT = "INSERT INTO notes (body) VALUES (:body)"
WORKLOADS = [("dicts", "select 10 rows, dicts"), ("dataclasses", "select 10 rows, dataclasses"),
             ("insert", "insert 1 row + commit")]
BARE = "bare driver"


@dataclasses.dataclass
class User:
    id: int
    name: str
    age: int


class Base(MappedAsDataclass, DeclarativeBase):
    pass


class UserRow(Base):
    __tablename__ = "users"
    id: Mapped[int] = mapped_column(primary_key=True, autoincrement=True, init=False)
    name: Mapped[str]
    age: Mapped[int]


class NoteRow(Base):
    __tablename__ = "notes"
    id: Mapped[int] = mapped_column(primary_key=True, autoincrement=True, init=False)
    body: Mapped[str]


MAPPER_XML = f"""<?xml version="1.0" encoding="UTF-8"?>
<mapper namespace="LayerMapper">
  <select id="older">
    SELECT {COLUMNS} FROM users WHERE age &gt;= #{{min_age}} ORDER BY id LIMIT 10
  </select>
  <select id="older_users" resultType="{__name__}.User">
    SELECT {COLUMNS} FROM users WHERE age &gt;= #{{min_age}} ORDER BY id LIMIT 10
  </select>
  <insert id="add_note">INSERT INTO notes (body) VALUES (#{{body}})</insert>
</mapper>
"""


class LayerMapper(BaseMapper[UserRow]):
    def older(self, min_age) -> list: ...

    def older_users(self, min_age) -> list[User]: ...

    def add_note(self, body) -> int: ...


class NoteMapper(BaseMapper[NoteRow]):
    pass


@wisp.select_list(f"SELECT {COLUMNS} FROM users WHERE age >= #{{min_age}} ORDER BY id LIMIT 10")
def older(min_age) -> list: ...


@wisp.select_list(f"SELECT {COLUMNS} FROM users WHERE age >= #{{min_age}} ORDER BY id LIMIT 10")
def older_users(min_age) -> list[User]: ...


@wisp.insert("INSERT INTO notes (body) VALUES (#{body})")
def add_note(body): ...


def as_dicts(cursor):
    names = [d[0] for d in cursor.description]
    return [dict(zip(names, r)) for r in cursor.fetchall()]


def dbapi_layer(connect, paramstyle):
    """A driver connection (`connect()`: a new one, or the pool's) around each call."""
    select_sql = SELECT.replace(":min_age", paramstyle)
    insert_sql = INSERT.replace(":body", paramstyle)

    def select_(make):
        conn = connect()
        try:
            cur = conn.cursor()
            cur.execute(select_sql, (MIN_AGE,))
            rows = make(cur)
            cur.close()
            conn.commit()
            return rows
        finally:
            conn.close()

    def insert_(body):
        conn = connect()
        try:
            cur = conn.cursor()
            cur.execute(insert_sql, (body,))
            new_id = cur.lastrowid
            cur.close()
            conn.commit()
            return new_id
        finally:
            conn.close()

    return {"dicts": lambda: select_(as_dicts),
            "dataclasses": lambda: select_(lambda cur: [User(*r) for r in cur.fetchall()]),
            "insert": insert_}


class Kept:
    """A bare connection kept open: close() leaves it open."""

    def __init__(self, conn):
        self.conn = conn

    def cursor(self):
        return self.conn.cursor()

    def commit(self):
        self.conn.commit()

    def close(self):
        pass


def sqlalchemy_layers(engine):
    select_once, insert_once = text(SELECT), text(INSERT)

    def conn_select(make):
        with engine.connect() as c:
            rows = c.execute(select_once, {"min_age": MIN_AGE}).all()
            c.commit()
        return [make(r) for r in rows]

    def conn_insert(body):
        with engine.connect() as c:
            new_id = c.execute(insert_once, {"body": body}).lastrowid
            c.commit()
        return new_id

    def session_select(make):
        with Session(engine, expire_on_commit=False) as s:
            rows = s.execute(select_once, {"min_age": MIN_AGE}).all()
            s.commit()
        return [make(r) for r in rows]

    def session_insert(body):
        with Session(engine, expire_on_commit=False) as s:
            new_id = s.execute(insert_once, {"body": body}).lastrowid
            s.commit()
        return new_id

    older_10 = select(UserRow).where(UserRow.age >= MIN_AGE).order_by(UserRow.id).limit(10)

    def orm_select():
        with Session(engine, expire_on_commit=False) as s:
            rows = s.execute(older_10).scalars().all()
            s.commit()
        return rows

    def orm_insert(body):
        with Session(engine, expire_on_commit=False) as s:
            new_id = s.execute(insert(NoteRow).values(body=body)).inserted_primary_key[0]
            s.commit()
        return new_id

    return {
        "Connection + text()": {"dicts": lambda: conn_select(lambda r: r._asdict()),
                                "dataclasses": lambda: conn_select(lambda r: User(*r)),
                                "insert": conn_insert},
        "Session + text()": {"dicts": lambda: session_select(lambda r: r._asdict()),
                             "dataclasses": lambda: session_select(lambda r: User(*r)),
                             "insert": session_insert},
        "ORM by hand, Session per call": {"dataclasses": orm_select, "insert": orm_insert},
    }, older_10


def wisp_layers(older_10):
    mapper, users, notes = LayerMapper(), LayerMapper(), NoteMapper()
    return {
        "wisp XML-mapped method": {"dicts": lambda: mapper.older(MIN_AGE),
                                   "dataclasses": lambda: mapper.older_users(MIN_AGE),
                                   "insert": mapper.add_note},
        "wisp decorator": {"dicts": lambda: older(MIN_AGE), "dataclasses": lambda: older_users(MIN_AGE),
                           "insert": add_note},
        "wisp BaseMapper": {"dataclasses": lambda: users.select_all(older_10),
                            "insert": lambda body: notes.insert({"body": body})},
    }


def pugsql_layer(engine, folder):
    os.makedirs(folder)
    files = {"older.sql": f"-- :name older :many\n{SELECT}\n",
             "add_note.sql": f"-- :name add_note :insert\n{INSERT}\n"}
    for name, body in files.items():
        with open(os.path.join(folder, name), "w", encoding="utf-8") as f:
            f.write(body)
    q = pugsql.module(folder)
    q.setengine(engine)
    return {"dicts": lambda: list(q.older(min_age=MIN_AGE)),
            "dataclasses": lambda: [User(**r) for r in q.older(min_age=MIN_AGE)],
            "insert": lambda body: q.add_note(body=body)}


def make_tables(conn, autoincrement):
    cur = conn.cursor()
    cur.execute(f"CREATE TABLE users (id INTEGER PRIMARY KEY {autoincrement}, name VARCHAR(40) NOT NULL,"
                " age INTEGER NOT NULL)")
    cur.execute(f"CREATE TABLE notes (id INTEGER PRIMARY KEY {autoincrement},"
                " body VARCHAR(80) NOT NULL)")
    cur.executemany("INSERT INTO users (name, age) VALUES (%s, %s)" if autoincrement == "AUTO_INCREMENT"
                    else "INSERT INTO users (name, age) VALUES (?, ?)",
                    [(f"user{i}", 18 + i % 60) for i in range(ROWS)])
    conn.commit()


def configure(tmp, mysql_url):
    """wisp with an SQLite data source (and a MySQL one); the SQLite file's tables."""
    path = os.path.join(tmp, "layers.db")
    conn = sqlite3.connect(path)
    make_tables(conn, "AUTOINCREMENT")
    no_fsync(conn)
    sources = {"lite": {"db_type": "sqlite", "sqlite_path": path}}
    if mysql_url:
        u = make_url(mysql_url)
        sources["maria"] = {"db_type": "mysql", "host": u.host, "port": u.port or 3306,
                            "user": u.username, "password": u.password, "database": u.database}
    mappers = os.path.join(tmp, "mappers")
    os.makedirs(mappers)
    with open(os.path.join(mappers, "layers.xml"), "w", encoding="utf-8") as f:
        f.write(MAPPER_XML)
    with contextlib.redirect_stdout(io.StringIO()):
        wisp.WispConfig(wisp.DBConfig(primary="lite", mapper_xml_path=mappers, **sources))
    engine = wisp.WispConfig.datasource["lite"]["db"]
    event.listen(engine, "connect", no_fsync)  # a pool event: the pool is used alike on every path
    engine.dispose()
    return conn, engine


def cases(tmp, engine, bare, paramstyle, source):
    """(layer name, workload) -> (function, context manager factory around a batch)."""
    layers = {BARE: dbapi_layer(lambda: Kept(bare), paramstyle),
              "pooled raw connection": dbapi_layer(engine.raw_connection, paramstyle)}
    by_hand, older_10 = sqlalchemy_layers(engine)
    layers.update(by_hand)
    layers.update(wisp_layers(older_10))
    layers["PugSQL"] = pugsql_layer(engine, os.path.join(tmp, "pugsql-" + source))
    around = lambda: wisp.switch_datasource(source)  # noqa: E731
    out = {(name, key): (fn, around) for name, fns in layers.items() for key, fn in fns.items()}
    if source == "maria":
        def no_ping():
            @contextlib.contextmanager
            def off():
                with wisp.switch_datasource(source):
                    engine.pool._pre_ping = False
                    try:
                        yield
                    finally:
                        engine.pool._pre_ping = True
            return off()
        for key, fn in layers["wisp decorator"].items():
            out["wisp decorator, no pre-ping", key] = (fn, no_ping)
        for key, fn in layers["pooled raw connection"].items():
            out["pooled raw connection, no pre-ping", key] = (fn, no_ping)
    return out


def check(calls):
    rows = {}
    for (name, key), (fn, around) in calls.items():
        if key == "insert":
            continue
        with around():
            got = fn()
        rows.setdefault(key, {})[name] = [(r["id"], r["name"], r["age"]) if isinstance(r, dict)
                                          else (r.id, r.name, r.age) for r in got]
    for key, by_layer in rows.items():
        expected = by_layer[BARE]
        assert expected and all(v == expected for v in by_layer.values()), key


def measure(calls, rounds, clock):
    bodies = iter(range(10**9))
    names = list(calls)

    def batch(pair):
        fn, around = calls[pair]
        with around():
            if pair[1] == "insert":
                args = [f"note {next(bodies)}" for _ in range(NUMBER)]
                start = clock()
                for a in args:
                    fn(a)
            else:
                start = clock()
                for _ in range(NUMBER):
                    fn()
            return (clock() - start) / NUMBER

    for pair in names:  # warm-up: caches, compiled statements, the pool
        batch(pair)
    seen = {pair: [] for pair in names}
    for r in range(rounds):
        shift = r % len(names)
        for pair in names[shift:] + names[:shift]:
            seen[pair].append(batch(pair))
    return {pair: statistics.median(v) for pair, v in seen.items()}


def table(title, calls, best):
    layers = list(dict.fromkeys(name for name, _ in calls))
    width = max(map(len, layers)) + 2
    lines = [title, f"{'':{width}}" + "".join(f"{label:>30}" for _, label in WORKLOADS),
             f"{'':{width}}" + "".join(f"{'us    x bare':>30}" for _ in WORKLOADS)]
    for name in layers:
        cells = ""
        for key, _ in WORKLOADS:
            if (name, key) in best:
                us, base = best[name, key] * 1e6, best[BARE, key] * 1e6
                cells += f"{us:22.1f} {us / base:6.2f}x"
            else:
                cells += f"{'-':>30}"
        lines.append(f"{name:{width}}{cells}")
    return "\n".join(lines)


def ratio(best, a, b):
    return best[a] / best[b]


def must_show(best, maria):
    lines = []

    def show(text_, value, target):
        lines.append(f"  {text_:72} {value:6.2f}x  (target <= {target:.2f}x) "
                     + ("met" if value <= target else "MISSED"))

    lite = best["lite"]
    for key in ("dicts", "dataclasses"):
        for layer in ("wisp XML-mapped method", "wisp decorator"):
            show(f"SQLite {key}, {layer} / bare sqlite3", ratio(lite, (layer, key), (BARE, key)), 3.5)
            show(f"SQLite {key}, {layer} / PugSQL", ratio(lite, (layer, key), ("PugSQL", key)), 0.5)
    for layer in ("wisp decorator", "wisp XML-mapped method"):
        show(f"SQLite insert, {layer} / bare sqlite3 with commit",
             ratio(lite, (layer, "insert"), (BARE, "insert")), 2.0)
    show("SQLite BaseMapper.insert / ORM insert().values() by hand",
         ratio(lite, ("wisp BaseMapper", "insert"), ("ORM by hand, Session per call", "insert")), 0.8)
    show("SQLite BaseMapper.select_all(stmt) / the same ORM call by hand",
         ratio(lite, ("wisp BaseMapper", "dataclasses"),
               ("ORM by hand, Session per call", "dataclasses")),
         1.05)
    if maria:
        m = best["maria"]
        for key in ("dicts", "dataclasses"):
            show(f"MariaDB {key}, wisp decorator / bare PyMySQL, pre-ping on",
                 ratio(m, ("wisp decorator", key), (BARE, key)), 2.0)
            show(f"MariaDB {key}, wisp decorator / bare PyMySQL, pre-ping off",
                 ratio(m, ("wisp decorator, no pre-ping", key), (BARE, key)), 1.6)
    return "\n".join(lines)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=30)
    parser.add_argument("--mysql", help="a mysql+pymysql:// URL of an empty database")
    args = parser.parse_args(argv)
    best = {}
    with tempfile.TemporaryDirectory() as tmp:
        bare, engine = configure(tmp, args.mysql)
        try:
            calls = cases(tmp, engine, bare, "?", "lite")
            check(calls)
            best["lite"] = measure(calls, args.rounds, time.thread_time)
            print(table(f"SQLite, thread CPU time per call, median of {args.rounds} rounds of "
                        f"{NUMBER} calls", calls, best["lite"]))
            if args.mysql:
                import pymysql

                u = make_url(args.mysql)
                maria = pymysql.connect(host=u.host, port=u.port or 3306, user=u.username,
                                        password=u.password, database=u.database)
                make_tables(maria, "AUTO_INCREMENT")
                mengine = wisp.WispConfig.datasource["maria"]["db"]
                try:
                    mcalls = cases(tmp, mengine, maria, "%s", "maria")
                    check(mcalls)
                    best["maria"] = measure(mcalls, args.rounds, time.perf_counter)
                    print()
                    print(table(f"MariaDB over {u.host}, wall time per call, median of "
                                f"{args.rounds} rounds of {NUMBER} calls", mcalls, best["maria"]))
                finally:
                    with maria.cursor() as cur:
                        cur.execute("DROP TABLE users")
                        cur.execute("DROP TABLE notes")
                    maria.close()
                    mengine.dispose()
        finally:
            bare.close()
            engine.dispose()
    print()
    print("Must show:")
    print(must_show(best, bool(args.mysql)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
