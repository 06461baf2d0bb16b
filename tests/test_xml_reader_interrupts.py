"""wisp.mapper.xml_reader: one note per place on an exception that passes again; Ctrl-C in a long foreach."""

import signal
import sys
import time

import pytest

from wisp.mapper.xml_reader import ParseMapper

TEST = "params['boom'](params)"


@pytest.fixture
def mapper(tmp_path):
    (path := tmp_path / "m.xml").write_text(
        f"""<mapper namespace="N"><select id="q">SELECT 1 <if test="{TEST}">x</if></select>
        <select id="q2">SELECT 2 <if test="{TEST}">x</if></select><select id="long">SELECT 3 IN
        <foreach item="i" collection="ids" open="(" separator="," close=")">#{{i}}</foreach></select></mapper>""")
    return ParseMapper(str(path)), repr(str(path))


def test_an_exception_raised_again_gets_each_note_once(mapper):
    (m, path), error = mapper, ValueError()

    def kept(params):  # raises the one exception object it keeps
        raise error

    for sql_id in ["q"] * 5 + ["q2"]:
        with pytest.raises(ValueError):
            m.get_sql(sql_id, {"boom": kept})
    assert error.__notes__ == [f"mapper file {path}, statement {i!r}, expression {TEST!r}" for i in ("q", "q2")]


def test_ctrl_c_reaches_a_long_foreach_promptly(mapper):
    (m, path), params = mapper, {"ids": (ids := [7] * 3_000_000)}
    refs, previous = sys.getrefcount(ids), signal.signal(signal.SIGALRM, signal.default_int_handler)
    # The statement first copies the list in a collection expression; let the
    # alarm fire well after that copy (slow under sanitizers), inside the loop.
    start = time.monotonic()
    [item for item in ids]
    delay = 0.3 + 2 * (time.monotonic() - start)
    try:
        signal.setitimer(signal.ITIMER_REAL, delay)
        start = time.monotonic()
        with pytest.raises(KeyboardInterrupt) as e:
            m.select("long", params)
        # Rendering all 3,000,000 items takes over ten seconds; a second of slack
        # leaves room for a loaded machine (the suite runs beside others).
        assert time.monotonic() - start < delay + 1.0
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert e.value.__notes__ == [f"mapper file {path}, statement 'long'"]  # from inside the loop
    del e
    assert sys.getrefcount(ids) == refs and list(params) == ["ids", "__builtins__"]
    assert m.select("long", {"ids": [1, 2]})[0].text == "SELECT 3 IN (:ids_for_index_0,:ids_for_index_1)"
