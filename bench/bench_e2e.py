"""End-to-end benchmark of wisp.db.db_gateway on SQLite.

Each workload runs through the gateway (a mapped statement from a mapper file
executed by id, rows mapped into the declared type) and through hand-written
SQLAlchemy doing the same work: a Session per call, text(), Row._asdict(),
building the result objects, commit and close. Both run against the same
engine, created with the package's pool options, and are timed alternately in
one run; the printed figure is wisp's time over the hand-written time (best
of several rounds each). The clock is the thread's CPU time: SQLite runs in
the process, so all the work is counted, and time the machine spends on
other processes is not.

- select: a mapped select returning 10 rows, as dicts and as dataclasses;
- page: a page of 10 rows with its count;
- insert: a single-row insert returning the new id.

Run: python bench/bench_e2e.py [rounds]
"""

import dataclasses
import os
import sys
import tempfile
import time
import timeit

from sqlalchemy import create_engine, event, text
from sqlalchemy.orm import Session

from wisp.db.db_gateway import WispDbGateway
from wisp.db.query_runner import Page
from wisp.mapper.xml_reader import ParseMapper

TARGET = 1.10

MAPPER = """<?xml version="1.0" encoding="UTF-8"?>
<mapper namespace="BenchMapper">
  <select id="older" resultType="{module}.User">
    SELECT id, name, age FROM users WHERE age &gt;= #{{min_age}} ORDER BY id LIMIT 10
  </select>
  <select id="older_dicts">
    SELECT id, name, age FROM users WHERE age &gt;= #{{min_age}} ORDER BY id LIMIT 10
  </select>
  <select id="page">
    SELECT id, name, age FROM users WHERE age &gt;= #{{min_age}} ORDER BY id
  </select>
  <insert id="add">INSERT INTO users (name, age) VALUES (#{{name}}, #{{age}})</insert>
</mapper>
"""

SELECT_SQL = "SELECT id, name, age FROM users WHERE age >= :min_age ORDER BY id LIMIT 10"
PAGE_SQL = "SELECT id, name, age FROM users WHERE age >= :min_age ORDER BY id"
COUNT_SQL = "SELECT COUNT(*) as count FROM users WHERE age >= :min_age ORDER BY id"
INSERT_SQL = "INSERT INTO users (name, age) VALUES (:name, :age)"


@dataclasses.dataclass
class User:
    id: int
    name: str
    age: int


def setup(tmp):
    engine = create_engine("sqlite:///" + os.path.join(tmp, "bench.db"), echo=False, pool_size=10,
                           max_overflow=30, pool_recycle=1800, pool_pre_ping=True)

    @event.listens_for(engine, "connect")
    def no_fsync(dbapi_conn, _):
        dbapi_conn.execute("PRAGMA synchronous=OFF")

    with engine.begin() as c:
        c.execute(text("CREATE TABLE users (id INTEGER PRIMARY KEY AUTOINCREMENT, "
                       "name VARCHAR(40), age INTEGER)"))
        c.execute(text(INSERT_SQL), [{"name": f"user{i}", "age": i % 90} for i in range(1000)])
    path = os.path.join(tmp, "bench.xml")
    with open(path, "w", encoding="utf-8") as f:
        f.write(MAPPER.format(module=__name__))
    mapper = ParseMapper(xml_path=path)
    return engine, WispDbGateway(mapper_dict={mapper.namespace: mapper}, data_source=engine)


def workloads(engine, gw):
    params = {"min_age": 30}
    counter = iter(range(10**9))

    def hand_select(make):
        with Session(engine, expire_on_commit=False) as s:
            rows = s.execute(text(SELECT_SQL), params).all()
            out = [make(r._asdict()) for r in rows]
            s.commit()
        return out

    def hand_page():
        page = Page(3, 10)
        with Session(engine, expire_on_commit=False) as s:
            total = s.execute(text(COUNT_SQL), params).scalar()
            limited = text(PAGE_SQL + " limit :page_size offset :page_offset")
            binds = dict(params, page_size=page.pageSize, page_offset=(page.pageNum - 1) * page.pageSize)
            rows = s.execute(limited, binds).all()
            out = {"pageNum": page.pageNum, "pageSize": page.pageSize, "total": total,
                   "list": [r._asdict() for r in rows]}
            s.commit()
        return out

    def hand_insert():
        with Session(engine, expire_on_commit=False) as s:
            new_id = s.execute(text(INSERT_SQL), {"name": f"n{next(counter)}", "age": 1}).lastrowid
            s.commit()
        return new_id

    def wisp_insert():
        return gw.execute_sql("add", "BenchMapper", {"name": f"n{next(counter)}", "age": 1})

    return [
        ("select 10 rows as dicts",
         lambda: gw.execute_sql("older_dicts", "BenchMapper", params, None, list),
         lambda: hand_select(dict)),
        ("select 10 rows as dataclasses",
         lambda: gw.execute_sql("older", "BenchMapper", params, None, list[User]),
         lambda: hand_select(lambda row: User(**row))),
        ("page of 10 with its count",
         lambda: gw.execute_sql("page", "BenchMapper", params, Page(3, 10), list),
         hand_page),
        ("single-row insert", wisp_insert, hand_insert),
    ]


def cpu(fn, number):
    """CPU seconds of this thread per call."""
    return timeit.timeit(fn, number=number, timer=time.thread_time) / number


def check_same_results(cases):
    for name, wisp_fn, hand_fn in cases[:3]:
        assert wisp_fn() == hand_fn(), name


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 60
    with tempfile.TemporaryDirectory() as tmp:
        engine, gw = setup(tmp)
        cases = workloads(engine, gw)
        check_same_results(cases)
        print(f"{'workload':32} {'wisp us':>9} {'hand us':>9} {'ratio':>7}")
        worst = 0.0
        for name, wisp_fn, hand_fn in cases:
            number = 50
            timeit.timeit(wisp_fn, number=10 * number)
            timeit.timeit(hand_fn, number=10 * number)
            best_w = best_h = float("inf")
            for _ in range(rounds):  # alternate, so that drift hits both sides alike
                best_w = min(best_w, cpu(wisp_fn, number))
                best_h = min(best_h, cpu(hand_fn, number))
            ratio = best_w / best_h
            worst = max(worst, ratio)
            print(f"{name:32} {best_w * 1e6:9.1f} {best_h * 1e6:9.1f} {ratio:7.3f}")
        engine.dispose()
    print(f"worst ratio {worst:.3f} (target at most {TARGET:.2f})")


if __name__ == "__main__":
    main()
