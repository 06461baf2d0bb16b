"""Text clauses of SQL seen before are shared, on both back ends, within
bounded memory; replacements of text(), count_query and limit_query are
called on every call."""

import itertools
import sys
import threading
from pathlib import Path

import pytest
from sqlalchemy import text

import memcheck
from wisp.db import query_runner
from wisp.db.db_gateway import WispDbGateway
from wisp.db.query_runner import Page, QueryRunner, count_query, limit_query
from wisp.mapper import xml_reader
from wisp.mapper.xml_reader import ParseMapper

MAPPERS = Path(__file__).parent / "mappers"


@pytest.fixture
def mappers():
    loaded = [ParseMapper(str(MAPPERS / name)) for name in ("user_mapper.xml", "render_mapper.xml")]
    return {m.namespace: m for m in loaded}


@pytest.mark.parametrize("namespace, sql_id, params, page", [
    ("RenderMapper", "search", {"min_age": 20, "order": "age"}, None),
    ("RenderMapper", "search", {"ids": [1, 3, 5], "name": "u3"}, None),
    ("RenderMapper", "search", {"ids": [1, 2, 4, 5]}, Page(2, 3)),
    ("UserMapper", "younger_than", {"max_age": 35}, None),
    ("UserMapper", "find_all", {}, Page(2, 2)),
])
def test_results_match_a_fresh_text_clause(users, mappers, monkeypatch, namespace, sql_id, params,
                                           page):
    gateway = WispDbGateway(mapper_dict=mappers, data_source=users)

    def run():
        clause, binds, _, _ = mappers[namespace].get_sql(sql_id, params)
        return clause.text, binds, gateway.execute_sql(sql_id, namespace, params, page, list)

    first, again = run(), run()
    # Replacements are called every time: nothing is kept on this path.
    own_format = ParseMapper._format_sql
    monkeypatch.setattr(ParseMapper, "_format_sql", staticmethod(lambda sql: own_format(sql)))
    monkeypatch.setattr(xml_reader, "text", lambda sql: text(sql))
    monkeypatch.setattr(query_runner, "text", lambda sql: text(sql))
    assert first == again == run()


@pytest.mark.parametrize("make", [
    lambda m, v: m["RenderMapper"].get_sql("search", {"name": v, "ids": [v]})[:2],
    lambda m, v: m["UserMapper"].get_sql("younger_than", {"max_age": v})[:2],
    lambda m, v: m["UserMapper"].insert("add", {"name": v, "age": v}, "id"),
    lambda m, v: ParseMapper.to_prepared_statement("SELECT #{v}  FROM t", {"v": v}),
], ids=["dynamic", "static", "insert returning", "prepared text"])
def test_the_clause_is_shared_and_the_binds_are_not(mappers, make):
    (c1, b1), (c2, b2) = make(mappers, "a"), make(mappers, "b")
    assert c1 is c2 and b1 is not b2
    assert set(b1.values()) == {"a"} and set(b2.values()) == {"b"}


def test_changes_to_a_handed_out_clause_do_not_reach_the_next_call(users, mappers):
    m = mappers["UserMapper"]
    clause, binds, _, _ = m.get_sql("younger_than", {"max_age": 35})
    written = clause.text
    bound = clause.bindparams(max_age=0)
    again, binds, _, _ = m.get_sql("younger_than", {"max_age": 35})
    assert again is clause and bound is not clause
    with users.connect() as c:
        assert [r.name for r in c.execute(again, binds)] == ["u1", "u2", "u3"]
        assert c.execute(bound).all() == []
    clause.text = "SELECT 'changed'"
    assert m.get_sql("younger_than", {"max_age": 35})[0].text == written
    pages = [limit_query(text("SELECT 1"), Page(n, 2)).compile().params for n in (1, 3)]
    assert pages == [{"page_size": 2, "page_offset": 0}, {"page_size": 2, "page_offset": 4}]


def test_overrides_and_edits_after_use_are_followed(mappers, monkeypatch):
    path = str(MAPPERS / "user_mapper.xml")
    assert mappers["UserMapper"].select("count", {})[0].text == "SELECT COUNT(*) FROM users"

    class Loud(ParseMapper):
        @staticmethod
        def to_prepared_statement(ret, param):
            return ParseMapper.to_prepared_statement(ret + " -- loud", param)

    assert Loud(path).select("count", {})[0].text == "SELECT COUNT(*) FROM users -- loud"
    m = ParseMapper(path)
    m.id_2_element_map["count"].text = "SELECT COUNT(*) FROM users WHERE age > #{age}"
    assert m.select("count", {"age": 3})[0].text == "SELECT COUNT(*) FROM users WHERE age > :age"
    monkeypatch.setattr(ParseMapper, "_format_sql", staticmethod(lambda sql: "<" + sql + ">"))
    assert mappers["UserMapper"].select("count", {})[0].text == "<SELECT COUNT(*) FROM users>"


def page_of(users):
    # no ORDER BY: a replaced count_query keeps it, which PostgreSQL refuses beside COUNT(*)
    return QueryRunner(users).select_page(text("SELECT name FROM users"), Page(2, 2))


@pytest.mark.parametrize("module, name, run, per_call", [
    (xml_reader, "text", lambda m, users: m["UserMapper"].get_sql("younger_than", {"max_age": 1}), 1),
    (xml_reader, "text", lambda m, users: m["RenderMapper"].get_sql("search", {"ids": [1]}), 1),
    (xml_reader, "text", lambda m, users: m["UserMapper"].insert("add", {}, "id"), 2),
    (query_runner, "text", lambda m, users: count_query(text("SELECT * FROM users")), 1),
    (query_runner, "text", lambda m, users: page_of(users), 2),
    (query_runner, "count_query", lambda m, users: page_of(users), 1),
    (query_runner, "limit_query", lambda m, users: page_of(users), 1),
])
def test_a_replacement_is_called_on_every_call(users, mappers, monkeypatch, module, name, run,
                                               per_call):
    real, calls = getattr(module, name), []

    def spy(*args):
        calls.append(args)
        return real(*args)

    monkeypatch.setattr(module, name, spy)
    for _ in range(3):
        run(mappers, users)
    assert len(calls) == 3 * per_call


@pytest.mark.parametrize("kind", ["foreach of 1 to 5,000 items", "a new text per call"])
def test_new_texts_on_every_call_keep_memory_flat(mappers, kind):
    render = mappers["RenderMapper"]
    if kind.startswith("foreach"):
        starts = itertools.count(1)

        def window():  # lengths no earlier window had
            for n in range(next(starts), 5001, 251):
                assert len(render.get_sql("search", {"ids": list(range(n))})[1]) == n
    else:
        counter = itertools.count()

        def window():
            for _ in range(5000):
                ParseMapper.to_prepared_statement(f"SELECT {next(counter)} FROM t", {})

        first = ParseMapper.to_prepared_statement("SELECT -1 FROM t", {})[0]
        assert ParseMapper.to_prepared_statement("SELECT -1 FROM t", {})[0] is first
        window()
        assert ParseMapper.to_prepared_statement("SELECT -1 FROM t", {})[0] is not first
    window()
    # Entries made before tracing starts are not counted when they leave, so
    # the later windows, after the cache has turned over, are the measure.
    memcheck.assert_flat(window, what=kind, windows=5)


def test_concurrent_callers_get_their_own_statements(mappers):
    render, users, failures = mappers["RenderMapper"], mappers["UserMapper"], []

    def worker(k):
        try:
            for i in range(300):
                n = (k * 7 + i) % 13 + 1
                clause, binds, _, _ = render.get_sql("search", {"ids": list(range(n)), "name": f"n{k}"})
                counted = count_query(text(f"SELECT * FROM t{n} WHERE a = :a"))
                _, static_binds, _, _ = users.get_sql("younger_than", {"max_age": n})
                if (clause.text.count(":ids_for_index_") != n or binds["name"] != f"n{k}"
                        or static_binds != {"max_age": n}
                        or counted.text != f"SELECT COUNT(*) as count FROM t{n} WHERE a = :a"):
                    failures.append((k, i))
        except BaseException as e:  # noqa: BLE001 - reported below
            failures.append(e)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    threads = [threading.Thread(target=worker, args=(k,)) for k in range(8)]
    try:
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(interval)
    assert failures == []
