"""The peers benchmark compares like with like: before anything is timed, every library,
wisp's three ways included, must return the rows the plain driver (sqlite3, or psycopg on the
suite's PostgreSQL server) returns for the select, the page, the insert and each search (filters
given and left out, IN lists of several lengths)."""

import importlib.util
import os
import subprocess
import sys

import pytest

BENCH = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench",
                     "bench_peers.py")

# Runs the comparison with one library's workload replaced by `change` (None: as written).
SCRIPT = """
import importlib.util, os, sys
sys.path.insert(0, os.path.dirname({bench!r}))  # as `python bench/bench_peers.py` has it
spec = importlib.util.spec_from_file_location("bench_peers", {bench!r})
bench = importlib.util.module_from_spec(spec)
sys.modules["bench_peers"] = bench
spec.loader.exec_module(bench)
setup, change = bench.setup, {change}
def changed_setup(*args):
    engine, libraries, conn = setup(*args)
    if change:
        name, key, wrap = change
        libraries[name][key] = wrap(libraries[name][key])
    return engine, libraries, conn
bench.setup = changed_setup
sys.exit(bench.main(["--check", *{options}]))
"""


@pytest.mark.parametrize("database, change, complaint", [
    ("sqlite", None, None),
    pytest.param("postgresql", None, None, marks=pytest.mark.postgresql),
    ("sqlite", "('wisp: XML-mapped method', 'search', lambda f: lambda p: f(p)[:-1])",
     "wisp: XML-mapped method, search {'name': None"),
    ("sqlite", "('PugSQL', 'page', lambda f: lambda: dict(f(), total=0))", "PugSQL, page total: 0 != "),
    ("sqlite", "('wisp: BaseMapper methods', 'insert', lambda f: lambda body: f(body) + 1)",
     "wisp: BaseMapper methods, insert: "),
])
def test_every_library_returns_the_same_rows(tmp_path, request, database, change, complaint):
    # Looked for, not imported: importing PugSQL replaces how SQLAlchemy compiles bind
    # parameters in the whole process, which breaks other tests' multi-row inserts.
    for peer in ("pugsql", "aiosql"):
        if importlib.util.find_spec(peer) is None:
            pytest.skip(f"{peer} is not installed (it comes with the test extra)")
    options = []
    if database == "postgresql":
        options = ["--postgresql", request.getfixturevalue("postgres_server").url
                   .render_as_string(hide_password=False)]
    # A process of its own: the benchmark configures wisp's process-wide registry.
    done = subprocess.run([sys.executable, "-c", SCRIPT.format(bench=BENCH, change=change,
                                                               options=options)],
                          cwd=tmp_path, capture_output=True, text=True, timeout=300)
    if complaint is None:
        assert done.returncode == 0, done.stderr
        assert done.stdout.startswith("same results from all 8 libraries")
    else:
        assert done.returncode == 1 and complaint in done.stderr, done.stderr
