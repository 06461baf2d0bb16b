"""Render benchmark for wisp.mapper.xml_reader.

Prints ratios measured in one run, so that they compare like with like on
whatever machine runs them. The clock is the thread's CPU time; the two sides
of a ratio are timed in turn, round after round, and each keeps its best.

- a reference statement (an include, a where with five ifs, a choose and a
  foreach over 100 ids) through ParseMapper.select and get_sql, against
  sqlalchemy.text() on the SQL it renders. After the first call the text
  clause comes from the module's cache, so a call costs rendering and the
  bind values; "rendering alone" is select with the module's text()
  swapped for a pass-through, so it counts only the work of this module;
- ParseMapper.to_prepared_statement on a 2 KB text with 50 placeholders,
  alone and against text() on its output;
- a foreach over 10,000 items against one over 1,000, rendering alone and
  with text() made on every call (a replaced text() is never cached);
- a foreach over 1,000 ids whose body is a plain #{id}, rendering alone,
  against the same rendering written in plain Python (the body rewritten
  per element, placeholders bound and rewritten, whitespace collapsed); and
  the same with the #{id} inside an `if` whose test is evaluated per element.

Run: python bench/bench_render.py
"""

import os
import re
import tempfile
import time
import timeit

from sqlalchemy import text

from wisp.mapper import xml_reader
from wisp.mapper.xml_reader import ParseMapper

MAPPER = """<?xml version="1.0" encoding="UTF-8"?>
<mapper namespace="BenchMapper">
  <sql id="columns">id, name, email, age, status, created_at</sql>
  <select id="reference">
    SELECT <include refid="columns"/> FROM users
    <where>
      <if test="params.get('name')">AND name = #{name}</if>
      <if test="params.get('email')">AND email = #{email}</if>
      <if test="params.get('min_age') is not None">AND age &gt;= #{min_age}</if>
      <if test="params.get('status')">AND status = #{status}</if>
      <if test="params.get('ids')">AND id IN
        <foreach item="id" collection="ids" open="(" separator=", " close=")">#{id}</foreach>
      </if>
    </where>
    <choose>
      <when test="params.get('order') == 'name'">ORDER BY name</when>
      <otherwise>ORDER BY id</otherwise>
    </choose>
  </select>
  <select id="loop">
    SELECT id FROM users WHERE id IN
    <foreach item="id" collection="ids" open="(" separator="," close=")">#{id}</foreach>
  </select>
  <select id="loop_if">
    SELECT id FROM users WHERE id IN
    <foreach item="id" collection="ids" open="(" separator="," close=")"><if test="True">#{id}</if></foreach>
  </select>
</mapper>
"""


# get_sql on the reference statement, second and later calls, over text() on
# its output.
TARGET_GET_SQL = 0.3


def interleaved(fns, number, rounds=7):
    """Thread CPU seconds per call of each function: timed in turn, best of `rounds`."""
    for fn in fns:
        fn()  # the first call, which fills the caches, is not timed
    best = [float("inf")] * len(fns)
    for _ in range(rounds):
        for i, fn in enumerate(fns):
            best[i] = min(best[i], timeit.timeit(fn, number=number, timer=time.thread_time) / number)
    return best


def passthrough(sql):
    return sql


def text_every_call(sql):
    return text(sql)


PARAM = re.compile(r"#{([a-zA-Z0-9_\-]+)}")
PLACEHOLDER = re.compile(r"#\{([^}]+)\}")


TRUE = compile("True", "<string>", "eval")


def python_loop(params, test=False):
    """The "loop" statement (or "loop_if", with `test`) rendered and finished in plain Python."""
    namespace = {"params": params}
    parts = []
    for i in range(len(params["ids"])):
        body = "#{id}" if not test or eval(TRUE, namespace) else ""
        parts.append(body.replace("#{id}", "#{ids_for_index_" + str(i) + "}"))
    sql = "\n    SELECT id FROM users WHERE id IN\n    (" + ",".join(parts) + ")\n  "
    binds = {}
    for name in PARAM.findall(sql):
        container, index = name.split("_for_index_", 1)
        binds[name] = params[container][int(index)]
    return " ".join(PLACEHOLDER.sub(r":\1", sql).split()), binds


def main():
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "bench.xml")
        with open(path, "w", encoding="utf-8") as f:
            f.write(MAPPER)
        mapper = ParseMapper(path)

    params = {
        "name": "alice",
        "email": "alice@example.com",
        "min_age": 18,
        "status": "active",
        "ids": list(range(100)),
        "order": "name",
    }
    sql = mapper.select("reference", params)[0].text

    words = " ".join(f"col_{i} = #{{p{i}}} AND" for i in range(50))
    raw = ("SELECT * FROM t WHERE " + words + " 1 = 1 ").ljust(2048, " ")
    values = {f"p{i}": i for i in range(50)}
    prepared = ParseMapper.to_prepared_statement(raw, values)[0].text

    small = {"ids": list(range(1000))}
    large = {"ids": list(range(10000))}

    t_text, t_select, t_get_sql = interleaved([
        lambda: text(sql),
        lambda: mapper.select("reference", params),
        lambda: mapper.get_sql("reference", params),
    ], 1000)
    t_prepared_text, t_prepare = interleaved([
        lambda: text(prepared),
        lambda: ParseMapper.to_prepared_statement(raw, values),
    ], 1000)
    xml_reader.text = text_every_call
    try:
        t_small, t_large = interleaved([
            lambda: mapper.select("loop", small),
            lambda: mapper.select("loop", large),
        ], 10, rounds=5)
    finally:
        xml_reader.text = text
    xml_reader.text = passthrough
    try:
        t_render, t_prepare_alone = interleaved([
            lambda: mapper.select("reference", params),
            lambda: ParseMapper.to_prepared_statement(raw, values),
        ], 1000)
        t_small_alone, t_large_alone = interleaved([
            lambda: mapper.select("loop", small),
            lambda: mapper.select("loop", large),
        ], 10, rounds=5)
        assert mapper.select("loop", small) == python_loop(small)
        assert mapper.select("loop_if", small) == python_loop(small, test=True)
        t_loop, t_python_loop, t_loop_if, t_python_loop_if = interleaved([
            lambda: mapper.select("loop", small),
            lambda: python_loop(small),
            lambda: mapper.select("loop_if", small),
            lambda: python_loop(small, test=True),
        ], 20)
    finally:
        xml_reader.text = text

    print(f"reference statement: {len(sql)} characters, {sql.count(':')} bind parameters")
    print(f"  select / text() on its SQL                  {t_select / t_text:6.2f}")
    print(f"  get_sql, second and later calls / text()    {t_get_sql / t_text:6.2f}"
          f"  (target <= {TARGET_GET_SQL})")
    print(f"  rendering alone / text() on its SQL         {t_render / t_text:6.2f}  (target <= 1)")
    print("to_prepared_statement, 2 KB, 50 placeholders")
    print(f"  with text() / text() on its output          {t_prepare / t_prepared_text:6.2f}")
    print(f"  alone / text() on its output                {t_prepare_alone / t_prepared_text:6.2f}")
    print("foreach over 10,000 items / over 1,000 items")
    print(f"  rendering alone                             {t_large_alone / t_small_alone:6.2f}")
    print(f"  select, text() made on every call           {t_large / t_small:6.2f}")
    print("foreach over 1,000 ids, plain #{id} body")
    print(f"  rendering alone / plain Python               {t_loop / t_python_loop:6.2f}")
    print(f"  the same, #{{id}} inside an if                 {t_loop_if / t_python_loop_if:6.2f}")
    print(f"(text() on the reference SQL: {t_text * 1e6:.1f} us)")


if __name__ == "__main__":
    main()
