"""The peers benchmark compares like with like: before anything is timed, every library,
wisp's three ways included, must return the rows plain sqlite3 returns for the select, the
page, the insert and each search (filters given and left out, IN lists of several lengths)."""

import importlib.util
import os
import subprocess
import sys

import pytest

BENCH = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench",
                     "bench_peers.py")


def test_every_library_returns_the_same_rows(tmp_path):
    # Looked for, not imported: importing PugSQL replaces how SQLAlchemy compiles bind
    # parameters in the whole process, which breaks other tests' multi-row inserts.
    for peer in ("pugsql", "aiosql"):
        if importlib.util.find_spec(peer) is None:
            pytest.skip(f"{peer} is not installed (it comes with the test extra)")
    # A process of its own: the benchmark configures wisp's process-wide registry.
    done = subprocess.run([sys.executable, BENCH, "--check"], cwd=tmp_path,
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("same results from all 8 libraries")
