"""The quickstart as a user runs it: examples/quickstart.py in its own process with the installed
package, on SQLite files and with --mysql on the suite's MariaDB server. What it prints is
examples/quickstart_output.txt, which the README points to."""

import pathlib
import subprocess
import sys

import pytest
from sqlalchemy.engine import URL

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
SQLITE_MAIN = ("'main': DataSource(db_type='sqlite', host=None, port=None, user=None, "
               "password=None, database=None, sqlite_path='main.db')")


def quickstart(cwd, *args):
    done = subprocess.run([sys.executable, str(EXAMPLES / "quickstart.py"), *args], cwd=cwd,
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout


def expected_output():
    return (EXAMPLES / "quickstart_output.txt").read_text(encoding="utf-8")


def test_quickstart_on_sqlite(tmp_path):
    assert quickstart(tmp_path) == expected_output()


@pytest.mark.mariadb
def test_quickstart_on_mysql(tmp_path, mariadb_server, mariadb_special_user):
    # The user whose password holds @ : / % # ?, written into the URL percent-encoded.
    c = mariadb_special_user
    url = URL.create("mysql+pymysql", c["user"], c["password"], c["host"], c["port"],
                     c["database"]).render_as_string(hide_password=False)
    main = (f"'main': DataSource(db_type='mysql', host='{c['host']}', port={c['port']}, "
            f"user='{c['user']}', password='***', database='{c['database']}', sqlite_path=None)")
    expected = expected_output().replace("'main' on SQLite", "'main' on MySQL", 1)
    assert SQLITE_MAIN in expected
    for _ in range(2):  # a second run starts from an empty table again
        assert quickstart(tmp_path, "--mysql", url) == expected.replace(SQLITE_MAIN, main)
    conn = mariadb_server.root_connect()
    try:
        with conn.cursor() as cur:
            cur.execute("SELECT COUNT(*) FROM information_schema.tables WHERE table_schema=%s"
                        " AND table_name='quickstart_users'", (c["database"],))
            assert cur.fetchone() == (0,)  # the table is dropped when done
    finally:
        conn.close()
