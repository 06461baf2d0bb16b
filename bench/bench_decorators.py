"""Benchmark of the statement decorators of wisp.wisp on SQLite.

A function decorated with `select_list` and annotated `-> list[User]`
returns 10 rows as dataclasses; the same work hand-written in SQLAlchemy
opens a Session, runs text(), turns each Row into a dict with
Row._asdict(), builds the dataclasses, commits and closes. Both run
against the same engine (the package's pool options) and are timed
alternately in one run; the printed figure is wisp's time over the
hand-written time (best of several rounds each), in the thread's CPU time:
SQLite runs in the process, so all the work is counted, and time the
machine spends on other processes is not.

A second line times the same decorated function once its wrapper can no
longer keep the signature and type hints between calls (a string return
annotation, re-read on every call): the price of looking them up afresh.

Run: python bench/bench_decorators.py [rounds]
"""

import dataclasses
import sys
import tempfile
import timeit

from sqlalchemy import text
from sqlalchemy.orm import Session

from benchlib import cpu, users_table, wisp_sqlite
from wisp import wisp

TARGET = 1.10

SQL = "SELECT id, name, age FROM users WHERE age >= #{min_age} ORDER BY id LIMIT 10"
HAND_SQL = "SELECT id, name, age FROM users WHERE age >= :min_age ORDER BY id LIMIT 10"
INSERT_SQL = "INSERT INTO users (name, age) VALUES (:name, :age)"


@dataclasses.dataclass
class User:
    id: int
    name: str
    age: int


def setup(tmp):
    engine = wisp_sqlite(tmp)
    users_table(engine)
    return engine


def workloads(engine):
    @wisp.select_list(SQL)
    def older(min_age: int) -> list[User]: ...

    @wisp.select_list(SQL)
    def older_unkept(min_age: int) -> "list[User]": ...

    def hand(min_age):
        with Session(engine, expire_on_commit=False) as s:
            rows = s.execute(text(HAND_SQL), {"min_age": min_age}).all()
            out = [User(**r._asdict()) for r in rows]
            s.commit()
        return out

    return [
        ("select_list -> list[User], 10 rows", lambda: older(30), lambda: hand(30)),
        ("the same, hints looked up per call", lambda: older_unkept(30), lambda: hand(30)),
    ]


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 60
    with tempfile.TemporaryDirectory() as tmp:
        engine = setup(tmp)
        cases = workloads(engine)
        for name, wisp_fn, hand_fn in cases:
            assert wisp_fn() == hand_fn(), name
        print(f"{'workload':40} {'wisp us':>9} {'hand us':>9} {'ratio':>7}")
        ratios = []
        for name, wisp_fn, hand_fn in cases:
            number = 50
            timeit.timeit(wisp_fn, number=10 * number)
            timeit.timeit(hand_fn, number=10 * number)
            best_w = best_h = float("inf")
            for _ in range(rounds):  # alternate, so that drift hits both sides alike
                best_w = min(best_w, cpu(wisp_fn, number))
                best_h = min(best_h, cpu(hand_fn, number))
            ratio = best_w / best_h
            ratios.append(ratio)
            print(f"{name:40} {best_w * 1e6:9.1f} {best_h * 1e6:9.1f} {ratio:7.3f}")
        for entry in wisp.BaseMapper.datasource.values():
            entry["db"].dispose()
    print(f"ratio {ratios[0]:.3f} (target at most {TARGET:.2f})")


if __name__ == "__main__":
    main()
