"""Render benchmark for wisp.mapper.xml_reader.

Prints ratios measured in one run, so that they compare like with like on
whatever machine runs them:

- a reference statement (an include, a where with five ifs, a choose and a
  foreach over 100 ids) through ParseMapper.select, against
  sqlalchemy.text() on the SQL it renders; "rendering alone" is select with
  the module's text() swapped for a pass-through, so it counts only the
  work of this module;
- ParseMapper.to_prepared_statement on a 2 KB text with 50 placeholders,
  alone and against text() on its output;
- a foreach over 10,000 items against one over 1,000, rendering alone and
  with text().

Run: python bench/bench_render.py
"""

import os
import tempfile
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
</mapper>
"""


def best(fn, number):
    """Seconds per call, best of five runs."""
    return min(timeit.repeat(fn, number=number, repeat=5)) / number


def passthrough(sql):
    return sql


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

    t_text = best(lambda: text(sql), 2000)
    t_select = best(lambda: mapper.select("reference", params), 2000)
    t_prepared_text = best(lambda: text(prepared), 2000)
    t_prepare = best(lambda: ParseMapper.to_prepared_statement(raw, values), 2000)
    t_small = best(lambda: mapper.select("loop", small), 20)
    t_large = best(lambda: mapper.select("loop", large), 20)
    xml_reader.text = passthrough
    try:
        t_render = best(lambda: mapper.select("reference", params), 2000)
        t_prepare_alone = best(lambda: ParseMapper.to_prepared_statement(raw, values), 2000)
        t_small_alone = best(lambda: mapper.select("loop", small), 20)
        t_large_alone = best(lambda: mapper.select("loop", large), 20)
    finally:
        xml_reader.text = text

    print(f"reference statement: {len(sql)} characters, {sql.count(':')} bind parameters")
    print(f"  select / text() on its SQL                  {t_select / t_text:6.2f}")
    print(f"  rendering alone / text() on its SQL         {t_render / t_text:6.2f}  (target <= 1)")
    print("to_prepared_statement, 2 KB, 50 placeholders")
    print(f"  with text() / text() on its output          {t_prepare / t_prepared_text:6.2f}")
    print(f"  alone / text() on its output                {t_prepare_alone / t_prepared_text:6.2f}")
    print("foreach over 10,000 items / over 1,000 items")
    print(f"  rendering alone                             {t_large_alone / t_small_alone:6.2f}")
    print(f"  select, with text()                         {t_large / t_small:6.2f}")


if __name__ == "__main__":
    main()
