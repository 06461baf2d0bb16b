"""wisp.mapper.xml_reader: random mapper documents render or fail only in the
documented ways, and repeated rendering leaves memory flat."""

import os
import pathlib
import re
from xml.sax.saxutils import escape, quoteattr

import pytest

import memcheck
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from wisp.mapper import xml_reader
from wisp.mapper.xml_reader import ParseMapper

MAPPER_FILE = str(pathlib.Path(__file__).parent / "mappers" / "render_mapper.xml")

# Pieces of statement text: blanks of several kinds, AND/OR words, commas,
# quotes, placeholders and a few characters outside ASCII.
TEXT = st.lists(st.sampled_from([
    " ", "  ", "\n", "\t", "\u3000", "AND", "and", "OR", "ANDx", ",", " , ", "'", "''",
    "'a  b'", "x = #{a}", "#{b}", "#{id}", "#{ c }", "${t}", "é", "中", "y",
]), max_size=6).map("".join)
# Test expressions: true, false, and ones that raise what eval raises.
TESTS = st.sampled_from(["True", "False", "params.get('a')", "'b' in params", "params['a']",
                         "a", "1/0", "(("])
EVAL_ERRORS = (KeyError, NameError, ZeroDivisionError, SyntaxError)


def attrs(d):
    return "".join(f" {k}={quoteattr(v)}" for k, v in d.items())


def element(children):
    kinds = st.one_of(
        st.tuples(st.just("if"), TESTS.map(lambda t: {"test": t})),
        st.tuples(st.just("where"), st.just({})),
        st.tuples(st.just("set"), st.just({})),
        st.tuples(st.just("trim"), st.fixed_dictionaries({}, optional={
            "prefix": st.sampled_from(["(", "WHERE", ""]),
            "suffix": st.sampled_from([")", ""]),
            "prefixOverrides": st.sampled_from(["AND |OR ", "AND|OR|", ",", "|"]),
            "suffixOverrides": st.sampled_from([",", "AND|", ",|"]),
        })),
        st.tuples(st.just("foreach"), st.fixed_dictionaries({
            "item": st.sampled_from(["id", "x"]),
            "collection": st.sampled_from(["ids", "t", "ids[:1]"]),
            "open": st.sampled_from(["(", ""]),
            "close": st.sampled_from([")", ""]),
            "separator": st.sampled_from([",", " OR "]),
        })),
        st.tuples(st.just("include"), st.sampled_from(["frag", "q", "missing"]).map(
            lambda r: {"refid": r})),
        st.tuples(st.just("bogus"), st.just({})),
    )
    return st.tuples(kinds, TEXT, children, TEXT).map(
        lambda t: f"<{t[0][0]}{attrs(t[0][1])}>{escape(t[1])}{''.join(t[2])}</{t[0][0]}>"
                  f"{escape(t[3])}")


def choose(children):
    whens = st.lists(st.tuples(TESTS, TEXT, children), max_size=3)
    return st.tuples(whens, st.booleans(), TEXT).map(
        lambda t: "<choose>" + "".join(f"<when test={quoteattr(a)}>{escape(b)}{''.join(c)}</when>"
                                       for a, b, c in t[0])
                  + ("<otherwise>o</otherwise>" if t[1] else "") + "</choose>" + escape(t[2]))


ELEMENTS = st.recursive(
    st.just(""),
    lambda ch: st.one_of(element(st.lists(ch, max_size=3)), choose(st.lists(ch, max_size=2))),
    max_leaves=8)
PARAMS = st.fixed_dictionaries({}, optional={
    "a": st.sampled_from([1, 0, "x", None]),
    "b": st.integers(),
    "ids": st.lists(st.integers(), max_size=4) | st.tuples(st.integers()),
    "t": st.just("tbl"),
    "id": st.integers(),
})
PLACEHOLDER = re.compile(r"#{([a-zA-Z0-9_\-]+)}")


def blanks_outside_literals(sql):
    return re.sub(r"'[^']*('|$)", "''", sql)


@settings(max_examples=200, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(body=st.lists(ELEMENTS, max_size=4), head=TEXT, params=PARAMS)
def test_random_documents_render_or_fail_as_documented(tmp_path_factory, body, head, params):
    path = tmp_path_factory.mktemp("doc") / "random.xml"
    path.write_text(
        "<mapper namespace='Random'><sql id='frag'>F <if test=\"params.get('a')\">#{a}</if></sql>"
        f"<select id='q'>{escape(head)}{''.join(body)}</select></mapper>", encoding="utf-8")
    mapper = ParseMapper(str(path))
    try:
        clause, binds = mapper.select("q", params)
    except Exception as e:  # noqa: BLE001 - the kinds of failure are the point
        assert e.__notes__[0].startswith(f"mapper file {str(path)!r}, statement 'q'")
        if type(e) is Exception:
            assert e.args in {("Missing otherwise element",), ("Collection must be a list",)}
        elif type(e) is TypeError:
            assert str(e) == 'can only concatenate str (not "NoneType") to str'
        else:
            assert isinstance(e, EVAL_ERRORS), repr(e)
        return
    sql = clause.text
    assert sql == sql.strip()
    assert not re.search(r"\s\s", blanks_outside_literals(sql))
    assert PLACEHOLDER.search(sql) is None
    for name, value in binds.items():
        assert ":" + name in sql
        container, _, index = name.partition("_for_index_")
        assert value == (params[container][int(index)] if index else params.get(name))
    assert mapper.get_sql("q", params)[:2][0].text == sql


REFERENCE = {"name": "n", "min_age": 1, "max_age": 9, "note": 1, "ids": list(range(10)),
             "order": "name", "with_age": 1}


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_rendering_leaves_memory_flat(monkeypatch):
    mapper = ParseMapper(MAPPER_FILE)

    def render_many(n):
        for _ in range(n):
            mapper.select("search", REFERENCE)
            try:
                mapper.select("bad_test", {})
            except KeyError:
                pass

    # The native side: resident memory over a few hundred thousand renders,
    # with SQLAlchemy's text() left out to keep the run short.
    monkeypatch.setattr(xml_reader, "text", str)
    render_many(20_000)
    memcheck.assert_flat(lambda: render_many(100_000), traced_limit=None,
                         rss_limit=2 * 1024 * 1024, what="100,000 renders without text()")
    # The Python objects made on the way, through the real text().
    monkeypatch.undo()
    render_many(2_000)
    memcheck.assert_flat(lambda: render_many(7_000), rss_limit=None,
                         what="7,000 renders through text()")
