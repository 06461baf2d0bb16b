"""The count and page statements of wisp.db.query_runner: where count_query cuts
a statement (quotes, comments, parentheses and nested selects), how
limit_query ends one, and the two against the patterns they stand for."""

import re

import pytest
import sqlalchemy
from hypothesis import given, settings
from hypothesis import strategies as st
from sqlalchemy import text

from wisp.db.query_runner import Page, PageInfo, count_query, limit_query

SIMPLE = "SELECT COUNT(*) as count FROM "


def wrapped(sql_text):
    return "select count(*) from ( " + sql_text + " ) temp"


@pytest.mark.parametrize("sql, counted", [
    ("select id, name from user where age > :age order by id",
     SIMPLE + "user where age > :age order by id"),
    ("SELECT * FROM t;", SIMPLE + "t"),
    ("  select *\n\tfrom   t ;;", SIMPLE + "t "),
    ("select union_id, distinction from t", SIMPLE + "t"),
    ("select distinct a from t", wrapped("select distinct a from t")),
    ("select a from t GROUP\n BY a;", wrapped("select a from t GROUP\n BY a")),
    ("select a from t where n = 'having'", wrapped("select a from t where n = 'having'")),
    ("select a from t UNION select b from u", wrapped("select a from t UNION select b from u")),
    ("with x as (select 1 as a) select * from x", wrapped("with x as (select 1 as a) select * from x")),
    ("select a from(t)", wrapped("select a from(t)")),
    # a FROM that is not the statement's own is passed over
    ("select (select max(id) from u) as m, a from t where x = 1", SIMPLE + "t where x = 1"),
    ("select extract(year from d) as y from t", SIMPLE + "t"),
    ("select 'a from b' as x, \"c from\" from t", SIMPLE + "t"),
    ("select a -- from b\n, c from t", SIMPLE + "t"),
    ("select a /* ( from */ from t", SIMPLE + "t"),
    ("select 'it''s (' as x from t", SIMPLE + "t"),
    ("select (select 1 from u) from", wrapped("select (select 1 from u) from")),
    ("select a) from t", wrapped("select a) from t")),
])
def test_count_query_text(sql, counted):
    c = count_query(text(sql))
    assert isinstance(c, sqlalchemy.TextClause) and c.text == counted


def pattern_count(sql_text):
    """The count form as the two patterns define it, for text with no brackets,
    quotes or comments (where every FROM stands at the top level)."""
    sql_text = sql_text.strip().rstrip(";")
    m = re.search(r"^\s*SELECT\s+(.*?)\s+FROM\s+", sql_text, re.IGNORECASE | re.DOTALL)
    if m and not re.search(r"\b(distinct|group\s+by|having|union)\b", sql_text, re.IGNORECASE):
        return SIMPLE + sql_text[m.end():]
    return wrapped(sql_text)


WORDS = ["select", "SeLeCt", "\u017felect", "from", "FROM", "fRoM", "distinct", "d\u0131stinct", "D\u0130STINCT",
         "group", "by", "GROUP", "having", "union", "un\u0131on", "groupby", "from_", "_from", "froms",
         "x", "\u00e9", "1", "_", ";", ",", "*", ":p"]
BLANKS = ["", " ", "  ", "\t", "\n", "\u00a0", "\u2028", "\u3000", "\x1c", "\x85"]


@settings(max_examples=400, deadline=None)
@given(st.booleans(), st.lists(st.tuples(st.sampled_from(WORDS), st.sampled_from(BLANKS)), max_size=10))
def test_count_query_follows_the_patterns(lead, pieces):
    sql = ("select " if lead else "") + "".join(w + b for w, b in pieces)
    assert count_query(text(sql)).text == pattern_count(sql)


def test_count_query_needs_a_text_clause():
    with pytest.raises(AttributeError):
        count_query("select 1")


@pytest.mark.parametrize("sql", ["select * from t", "select * from t;", "select * from t ; \n",
                                 "select * from t;;"])
@pytest.mark.parametrize("num, size, offset", [(1, 10, 0), (3, 10, 20), (0, 10, -10)])
def test_limit_query(sql, num, size, offset):
    q = limit_query(text(sql), Page(num, size))
    assert q.text == "select * from t limit :page_size offset :page_offset"
    assert q.compile().params == {"page_size": size, "page_offset": offset}


def test_limit_query_failures():
    with pytest.raises(TypeError):
        limit_query(text("select 1"), PageInfo(pageSize=10))
    with pytest.raises(AttributeError):
        limit_query(text("select 1"), object())


@pytest.mark.parametrize("sql, expected", [
    ("select * from t -- c", "select * from t -- c\n limit :page_size offset :page_offset"),
    ("select * from t # c", "select * from t # c\n limit :page_size offset :page_offset"),
    ("select * from t -- c\nwhere 1 = 1", "select * from t -- c\nwhere 1 = 1 limit :page_size offset :page_offset"),
])
def test_limit_query_after_a_line_comment(sql, expected):
    assert limit_query(text(sql), Page(1, 10)).text == expected


# Each case names what the scanner has to see through to find the
# statement's own FROM (or to find that there is none at the top level).
@pytest.mark.parametrize("sql, counted", [
    # quotes
    ("select 'a\\' from b' as x from t", SIMPLE + "t"),
    ('select "x "" from y" as z from t', SIMPLE + "t"),
    ("select `from(` as x from t", SIMPLE + "t"),
    ("select ')' as p, a from t", SIMPLE + "t"),
    ("select a from t where b = '('", SIMPLE + "t where b = '('"),
    # comments
    ("select a # from b\n, c from t", SIMPLE + "t"),
    ("select a /* ' */ from t", SIMPLE + "t"),
    ("select a /* from t", wrapped("select a /* from t")),
    ("select a from t -- done", SIMPLE + "t -- done"),
    ("select distinct a from t -- c\r\n;", wrapped("select distinct a from t -- c\r\n")),  # ended already
    ("select distinct a from t -- c;", "select count(*) from ( select distinct a from t -- c\n ) temp"),
    ("select distinct a from t # c", "select count(*) from ( select distinct a from t # c\n ) temp"),
    # parentheses
    ("select ((a)) from t", SIMPLE + "t"),
    ("select count(a from t", wrapped("select count(a from t")),
    # nested selects
    ("select a from (select b from c) x", SIMPLE + "(select b from c) x"),
    ("select a from t where id in (select id from u)", SIMPLE + "t where id in (select id from u)"),
    ("select (select (select 1 from a) from b) as z from t", SIMPLE + "t"),
    ("select (select 1\nfrom u)\nfrom\tt", SIMPLE + "t"),
])
def test_count_query_sees_through(sql, counted):
    assert count_query(text(sql)).text == counted


# An aggregate in the select list folds the rows into one: only the subquery
# form counts that one row.
@pytest.mark.parametrize("sql, counted", [
    ("select count(*) from t", wrapped("select count(*) from t")),
    ("SELECT MAX (age) AS m FROM users WHERE age > :a", wrapped("SELECT MAX (age) AS m FROM users WHERE age > :a")),
    ("select coalesce(Sum(x), 0) as s from t;", wrapped("select coalesce(Sum(x), 0) as s from t")),
    ("select count(*) over () as n, a from t", wrapped("select count(*) over () as n, a from t")),
    # no aggregate of the statement's own
    ("select a, (select max(b) from u) as m from t", SIMPLE + "t"),
    ("select total, max_id, 'max(' as x /* min(b) */ from t -- count(", SIMPLE + "t -- count("),
])
def test_count_query_of_an_aggregate(sql, counted):
    assert count_query(text(sql)).text == counted


@pytest.mark.parametrize("sql, limited", [
    ("select * from t where a = ';'", "select * from t where a = ';'"),
    ("select * from t /* c */;", "select * from t /* c */"),
    ("select * from t # c;", "select * from t # c\n"),
    ("select * from t where x = 1 -- c\n", "select * from t where x = 1 -- c\n"),
    ("select a - b from t", "select a - b from t"),
    ("select '#' as h", "select '#' as h\n"),  # quotes are not looked at: a harmless line break
])
def test_limit_query_ends_the_statement(sql, limited):
    assert limit_query(text(sql), Page(1, 10)).text == limited + " limit :page_size offset :page_offset"
