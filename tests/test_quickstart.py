"""The quickstart as a user runs it: examples/quickstart.py in its own process with the installed
package, on SQLite files, with --mysql on the suite's MariaDB server and with --postgresql on its
PostgreSQL server. What it prints is examples/quickstart_output.txt, which the README points to."""

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


# Per server: its name in the output, the URL scheme, its fixtures (the server, the user whose
# password holds @ : / % # ?) and how many quickstart tables a root connection finds.
SERVERS = {
    "mysql": ("MySQL", "mysql+pymysql", "mariadb_server", "mariadb_special_user",
              "SELECT COUNT(*) FROM information_schema.tables WHERE table_schema=%s"
              " AND table_name='quickstart_users'"),
    "postgresql": ("PostgreSQL", "postgresql+psycopg", "postgres_server", "postgres_special_user",
                   "SELECT COUNT(*) FROM information_schema.tables WHERE table_catalog=%s"
                   " AND table_name='quickstart_users'"),
}


@pytest.mark.parametrize("db_type", [pytest.param("mysql", marks=pytest.mark.mariadb),
                                     pytest.param("postgresql", marks=pytest.mark.postgresql)])
def test_quickstart_on_a_server(tmp_path, request, db_type):
    name, scheme, server_fixture, user_fixture, tables = SERVERS[db_type]
    server, c = request.getfixturevalue(server_fixture), request.getfixturevalue(user_fixture)
    # written into the URL percent-encoded
    url = URL.create(scheme, c["user"], c["password"], c["host"], c["port"],
                     c["database"]).render_as_string(hide_password=False)
    main = (f"'main': DataSource(db_type='{db_type}', host='{c['host']}', port={c['port']}, "
            f"user={c['user']!r}, password='***', database={c['database']!r}, sqlite_path=None)")
    expected = expected_output().replace("'main' on SQLite", f"'main' on {name}", 1)
    assert SQLITE_MAIN in expected
    for _ in range(2):  # a second run starts from an empty table again
        assert quickstart(tmp_path, f"--{db_type}", url) == expected.replace(SQLITE_MAIN, main)
    if db_type == "postgresql":
        conn = server.root_connect(c["database"])
    else:
        conn = server.root_connect()
    try:
        cur = conn.cursor()
        cur.execute(tables, (c["database"],))
        assert cur.fetchone() == (0,)  # the table is dropped when done
    finally:
        conn.close()
