"""End-to-end benchmark of wisp.db.db_gateway on SQLite.

Each workload runs through the gateway (a mapped statement from a mapper file
executed by id, rows mapped into the declared type) and through two kinds of
hand-written SQLAlchemy doing the same work: a Session per call,
Row._asdict(), building the result objects, commit and close; the first
calls text() on every call, the second builds its text() clauses once, as
careful code does. All three run against the same engine, created with the
package's pool options, and are timed in turn in one run; the printed
figures are wisp's time over each hand-written time (best of several rounds
each). The clock is the thread's CPU time: SQLite runs in the process, so
all the work is counted, and time the machine spends on other processes is
not.

- select: a mapped select returning 10 rows, as dicts and as dataclasses;
- page: a page of 10 rows with its count;
- insert: a single-row insert returning the new id.

Run: python bench/bench_e2e.py [rounds]
"""

import dataclasses
import os
import sys
import tempfile
import timeit

from sqlalchemy import create_engine, event, text
from sqlalchemy.orm import Session

from benchlib import cpu, no_fsync, users_table
from wisp.db.db_gateway import WispDbGateway
from wisp.db.query_runner import Page
from wisp.mapper.xml_reader import ParseMapper

# Worst ratio against hand-written code calling text() on every call.
TARGET = 1.10
# Ratios against hand-written code that builds its text() once.
TARGETS_ONCE = {"select 10 rows as dataclasses": 1.02, "page of 10 with its count": 1.05}

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
LIMITED_SQL = PAGE_SQL + " limit :page_size offset :page_offset"
INSERT_SQL = "INSERT INTO users (name, age) VALUES (:name, :age)"


@dataclasses.dataclass
class User:
    id: int
    name: str
    age: int


def setup(tmp):
    engine = create_engine("sqlite:///" + os.path.join(tmp, "bench.db"), echo=False, pool_size=10,
                           max_overflow=30, pool_recycle=1800, pool_pre_ping=True)

    event.listen(engine, "connect", no_fsync)
    users_table(engine)
    path = os.path.join(tmp, "bench.xml")
    with open(path, "w", encoding="utf-8") as f:
        f.write(MAPPER.format(module=__name__))
    mapper = ParseMapper(xml_path=path)
    return engine, WispDbGateway(mapper_dict={mapper.namespace: mapper}, data_source=engine)


def workloads(engine, gw):
    params = {"min_age": 30}
    counter = iter(range(10**9))

    # The second baseline's clauses, built once.
    select_once, count_once = text(SELECT_SQL), text(COUNT_SQL)
    limited_once, insert_once = text(LIMITED_SQL), text(INSERT_SQL)

    def hand_select(make, stmt=None):
        with Session(engine, expire_on_commit=False) as s:
            rows = s.execute(stmt if stmt is not None else text(SELECT_SQL), params).all()
            out = [make(r._asdict()) for r in rows]
            s.commit()
        return out

    def hand_page(once=False):
        page = Page(3, 10)
        with Session(engine, expire_on_commit=False) as s:
            total = s.execute(count_once if once else text(COUNT_SQL), params).scalar()
            limited = limited_once if once else text(LIMITED_SQL)
            binds = dict(params, page_size=page.pageSize, page_offset=(page.pageNum - 1) * page.pageSize)
            rows = s.execute(limited, binds).all()
            out = {"pageNum": page.pageNum, "pageSize": page.pageSize, "total": total,
                   "list": [r._asdict() for r in rows]}
            s.commit()
        return out

    def hand_insert(once=False):
        with Session(engine, expire_on_commit=False) as s:
            stmt = insert_once if once else text(INSERT_SQL)
            new_id = s.execute(stmt, {"name": f"n{next(counter)}", "age": 1}).lastrowid
            s.commit()
        return new_id

    def wisp_insert():
        return gw.execute_sql("add", "BenchMapper", {"name": f"n{next(counter)}", "age": 1})

    def as_user(row):
        return User(**row)

    # A return annotation is evaluated once, where the function is defined.
    users_type = list[User]

    # (name, wisp, hand-written with text() per call, hand-written with text() once)
    return [
        ("select 10 rows as dicts",
         lambda: gw.execute_sql("older_dicts", "BenchMapper", params, None, list),
         lambda: hand_select(dict),
         lambda: hand_select(dict, select_once)),
        ("select 10 rows as dataclasses",
         lambda: gw.execute_sql("older", "BenchMapper", params, None, users_type),
         lambda: hand_select(as_user),
         lambda: hand_select(as_user, select_once)),
        ("page of 10 with its count",
         lambda: gw.execute_sql("page", "BenchMapper", params, Page(3, 10), list),
         hand_page,
         lambda: hand_page(once=True)),
        ("single-row insert", wisp_insert, hand_insert, lambda: hand_insert(once=True)),
    ]


def check_same_results(cases):
    for name, wisp_fn, hand_fn, once_fn in cases[:3]:
        expected = hand_fn()
        assert wisp_fn() == expected == once_fn(), name


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 60
    with tempfile.TemporaryDirectory() as tmp:
        engine, gw = setup(tmp)
        cases = workloads(engine, gw)
        check_same_results(cases)
        print(f"{'workload':32} {'wisp us':>9} {'hand us':>9} {'once us':>9} "
              f"{'/hand':>7} {'/once':>7}  target /once")
        worst = 0.0
        missed = []
        for name, *fns in cases:
            number = 50
            for fn in fns:
                timeit.timeit(fn, number=10 * number)
            best = [float("inf")] * len(fns)
            for _ in range(rounds):  # in turn, so that drift hits every side alike
                for i, fn in enumerate(fns):
                    best[i] = min(best[i], cpu(fn, number))
            best_w, best_h, best_o = best
            ratio, ratio_once = best_w / best_h, best_w / best_o
            worst = max(worst, ratio)
            target = TARGETS_ONCE.get(name)
            if target is not None and ratio_once > target:
                missed.append(name)
            print(f"{name:32} {best_w * 1e6:9.1f} {best_h * 1e6:9.1f} {best_o * 1e6:9.1f} "
                  f"{ratio:7.3f} {ratio_once:7.3f}  " + (f"<= {target:.2f}" if target else ""))
        engine.dispose()
    print(f"worst ratio against text() per call {worst:.3f} (target at most {TARGET:.2f})")
    print("targets against text() built once: " + ("missed by " + ", ".join(missed) if missed else "met"))


if __name__ == "__main__":
    main()
