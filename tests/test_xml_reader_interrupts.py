"""wisp.mapper.xml_reader: one note per place on an exception that passes again; Ctrl-C in a long foreach."""

import gc
import os
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
    # Timed in the process's own CPU time (ITIMER_PROF), so that other
    # processes on the machine do not count, and without the cycle collector,
    # whose passes over a large heap would count against the loop.
    (m, path), params = mapper, {"ids": (ids := [7] * 3_000_000)}
    arrived = []

    def interrupt(signum, frame):  # runs where the loop checks for signals
        arrived.append(time.process_time())
        raise KeyboardInterrupt

    refs, previous = sys.getrefcount(ids), signal.signal(signal.SIGPROF, interrupt)
    # The statement first copies the list in a collection expression; let the
    # alarm fire well after that copy (slow under sanitizers), inside the loop.
    start = time.process_time()
    [item for item in ids]
    delay = 0.3 + 2 * (time.process_time() - start)
    collecting = gc.isenabled()
    gc.disable()
    try:
        signal.setitimer(signal.ITIMER_PROF, delay)
        start = time.process_time()
        with pytest.raises(KeyboardInterrupt) as e:
            m.select("long", params)
        ended = time.process_time()
    finally:
        signal.setitimer(signal.ITIMER_PROF, 0)
        signal.signal(signal.SIGPROF, previous)
        if collecting:
            gc.enable()
    # The interrupt is taken within 0.3 s of the alarm (more under the
    # sanitizer build, where every item costs many times more): between two
    # checks the text buffer, by then some hundred megabytes, may double and
    # fault its new pages in, which takes a good part of that on a loaded
    # machine. Dropping what the loop built so far follows. Running the whole
    # loop would take over ten seconds.
    assert arrived and arrived[0] - (start + delay) < (0.5 if "ASAN_OPTIONS" in os.environ else 0.3)
    assert ended - start < delay + 3.0
    assert e.value.__notes__ == [f"mapper file {path}, statement 'long'"]  # from inside the loop
    del e
    assert sys.getrefcount(ids) == refs and list(params) == ["ids", "__builtins__"]
    assert m.select("long", {"ids": [1, 2]})[0].text == "SELECT 3 IN (:ids_for_index_0,:ids_for_index_1)"
