"""Benchmark of wisp's async surface on SQLite (aiosqlite).

Two awaited workloads through an AsyncBaseMapper whose methods are declared by signature
and run mapper XML statements: a select of 10 rows (as dicts) and an insert of one row
(its key). The baseline is the same work hand-written with SQLAlchemy's AsyncSession on
the same async engine, its text() clauses built once: open a session, execute, read the
rows as dicts (or the key), commit, close. Both run on one event loop and are timed
alternately in one run; each figure is the median of several rounds of the process's CPU
time per call (aiosqlite runs every statement in a thread of its own, which the process
time counts; time the machine spends on other processes is not counted), and the printed
ratio is wisp's over the baseline's.

Run: python bench/bench_async.py [rounds]
"""

import asyncio
import os
import sys
import statistics
import tempfile
import time

from sqlalchemy import text
from sqlalchemy.ext.asyncio import AsyncSession

from benchlib import users_table, wisp_sqlite
from wisp import wisp

TARGET = 1.0
CALLS = 200

MAPPER = """<?xml version="1.0" encoding="UTF-8"?>
<mapper namespace="UserMapper">
  <select id="older">SELECT id, name, age FROM users WHERE age &gt;= #{min_age} ORDER BY id LIMIT 10</select>
  <insert id="add">INSERT INTO users (name, age) VALUES (#{name}, #{age})</insert>
</mapper>
"""
HAND_SELECT = text("SELECT id, name, age FROM users WHERE age >= :min_age ORDER BY id LIMIT 10")
HAND_INSERT = text("INSERT INTO users (name, age) VALUES (:name, :age)")


class UserMapper(wisp.AsyncBaseMapper):
    async def older(self, min_age: int) -> list[dict]: ...

    async def add(self, name: str, age: int) -> int: ...


def setup(tmp):
    os.makedirs(os.path.join(tmp, "mappers"))
    with open(os.path.join(tmp, "mappers", "users.xml"), "w") as f:
        f.write(MAPPER)
    engine = wisp_sqlite(tmp, os.path.join(tmp, "mappers"))
    users_table(engine)


def workloads(async_engine):
    users = UserMapper()

    async def wisp_select():
        return await users.older(45)

    async def wisp_insert():
        return await users.add("new", 7)

    async def hand_select():
        async with AsyncSession(async_engine, expire_on_commit=False) as s:
            rows = [r._asdict() for r in (await s.execute(HAND_SELECT, {"min_age": 45})).all()]
            await s.commit()
        return rows

    async def hand_insert():
        async with AsyncSession(async_engine, expire_on_commit=False) as s:
            key = (await s.execute(HAND_INSERT, {"name": "new", "age": 7})).lastrowid
            await s.commit()
        return key

    return {"select 10 rows": (wisp_select, hand_select),
            "insert 1 row": (wisp_insert, hand_insert)}


async def per_call(fn):
    started = time.process_time()
    for _ in range(CALLS):
        await fn()
    return (time.process_time() - started) / CALLS


async def the_async_engine():
    """The engine wisp made for "main" on its first awaited call (the gateway a transaction
    gives in an awaited call runs on its sync_engine): the baseline uses the same one."""
    async with wisp.transaction("main") as gateway:
        engine = gateway.data_source
    from sqlalchemy.ext.asyncio import AsyncEngine

    return AsyncEngine(engine)


async def main(rounds):
    async_engine = await the_async_engine()
    cases = workloads(async_engine)
    for name, (mine, hand) in cases.items():
        assert await mine() == await hand() or name.startswith("insert"), name
    print(f"wisp awaited over hand-written AsyncSession code, text() built once "
          f"(CPU time per call, median of {rounds} rounds of {CALLS}):")
    ok = True
    for name, (mine, hand) in cases.items():
        seen = {mine: [], hand: []}
        for _ in range(rounds):
            for fn in (hand, mine):
                seen[fn].append(await per_call(fn))
        best = {fn: statistics.median(v) for fn, v in seen.items()}
        ratio = best[mine] / best[hand]
        ok &= ratio <= TARGET
        print(f"  {name:15} wisp {best[mine] * 1e6:7.1f} us   hand {best[hand] * 1e6:7.1f} us"
              f"   ratio {ratio:.2f}x (target <= {TARGET:.2f}x)")
    wisp.WispConfig.datasource["main"]["db"].dispose()  # and the async engine, in a task
    await asyncio.sleep(0.1)
    return ok


if __name__ == "__main__":
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 7
    with tempfile.TemporaryDirectory() as tmp:
        setup(tmp)
        sys.exit(0 if asyncio.run(main(rounds)) else 1)
