"""Database back ends shared by the tests that touch a database.

Every database test runs on two back ends: an SQLite file in a temporary
directory and a MariaDB server that the suite starts itself (a throw-away data
directory, its own socket, a free loopback port), reached through PyMySQL.
Without a local mariadbd the MariaDB cases are skipped; under CI=true they
fail instead, because there the server must be present.
"""

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

import pytest
from sqlalchemy import create_engine, text

# The pool options every engine of the package is created with.
ENGINE_OPTIONS = {"pool_size": 10, "max_overflow": 30, "pool_recycle": 1800, "pool_pre_ping": True}

MARIADB_MISSING = (
    "MariaDB server (mariadbd, mariadb-install-db) not found; "
    "install Debian's mariadb-server to run the MySQL-side tests"
)


def make_engine(url):
    return create_engine(url, echo=False, **ENGINE_OPTIONS)


def mysql_url(cfg):
    """The MySQL URL built from a data-source dict, as the configuration does."""
    return (
        "mysql+pymysql://" + format(cfg["user"], "") + ":" + format(cfg["password"], "") + "@"
        + format(cfg["host"], "") + ":" + format(cfg["port"], "") + "/" + format(cfg["database"], "")
    )


def _which(name):
    return shutil.which(name) or next(
        (p for p in (f"/usr/sbin/{name}", f"/usr/bin/{name}") if os.access(p, os.X_OK)), None
    )


def _die_with_parent():
    try:
        import ctypes

        ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        pass


def _server_env():
    # The sanitizer run preloads ASan into the interpreter; the server is no
    # business of it.
    return {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


def _free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class MariaDBServer:
    """A private mariadbd: started on a fresh data directory, stopped and removed at the end."""

    def __init__(self, server, install_db):
        self.server = server
        self.install_db = install_db
        self.base = tempfile.mkdtemp(prefix="wisp-mariadb-")
        self.datadir = os.path.join(self.base, "data")
        self.socket = os.path.join(self.base, "mysqld.sock")
        self.log = os.path.join(self.base, "error.log")
        self.port = _free_port()
        self.proc = None
        self.config = {
            "db_type": "mysql",
            "host": "127.0.0.1",
            "port": self.port,
            "user": "wisp",
            "password": "wisp-test-pw",
            "database": "wisp_test",
        }
        self.url = mysql_url(self.config)

    def _as_root(self):
        return ["--user=root"] if os.geteuid() == 0 else []

    def initialise(self):
        cmd = [self.install_db, "--no-defaults", f"--datadir={self.datadir}",
               "--auth-root-authentication-method=normal", "--skip-test-db", *self._as_root()]
        done = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300,
                              env=_server_env())
        if done.returncode != 0:
            raise RuntimeError("mariadb-install-db failed:\n" + done.stdout.decode(errors="replace"))

    def start(self, timeout=60.0):
        cmd = [self.server, "--no-defaults", f"--datadir={self.datadir}", f"--socket={self.socket}",
               f"--port={self.port}", "--bind-address=127.0.0.1", "--skip-name-resolve",
               f"--pid-file={os.path.join(self.base, 'mysqld.pid')}", f"--log-error={self.log}",
               "--skip-log-bin", "--innodb-buffer-pool-size=16M", *self._as_root()]
        # Own session, so that ^C reaches only the test run, which stops the
        # server itself; and a parent-death signal, so that a test run that is
        # killed outright takes its server with it.
        self.proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                     env=_server_env(), start_new_session=True,
                                     preexec_fn=_die_with_parent)
        deadline = time.monotonic() + timeout
        while True:
            try:
                # A driver connection that cannot reach the socket leaves its
                # own socket object open; try with one that is closed here.
                with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as probe:
                    probe.connect(self.socket)
                self.root_connect().close()
                return
            except Exception:
                if self.proc.poll() is not None or time.monotonic() > deadline:
                    self.stop()
                    raise RuntimeError("mariadbd did not come up:\n" + self._log_tail())
                time.sleep(0.1)

    def root_connect(self):
        import pymysql

        return pymysql.connect(unix_socket=self.socket, user="root", password="", autocommit=True)

    def create_database(self):
        c = self.config
        conn = self.root_connect()
        try:
            with conn.cursor() as cur:
                cur.execute(f"CREATE DATABASE `{c['database']}` CHARACTER SET utf8mb4")
                cur.execute(f"CREATE USER '{c['user']}'@'%' IDENTIFIED BY '{c['password']}'")
                cur.execute(f"GRANT ALL PRIVILEGES ON `{c['database']}`.* TO '{c['user']}'@'%'")
        finally:
            conn.close()

    def stop(self):
        if self.proc is None:
            return
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=60)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None

    def restart(self):
        """Stops the server and starts it again on the same port and data."""
        self.stop()
        self.start()

    def remove(self):
        self.stop()
        shutil.rmtree(self.base, ignore_errors=True)

    def _log_tail(self):
        try:
            with open(self.log, encoding="utf-8", errors="replace") as f:
                return "".join(f.readlines()[-20:])
        except OSError:
            return "(no error log)"


@pytest.fixture(scope="session")
def mariadb_server():
    server, install_db = _which("mariadbd"), _which("mariadb-install-db")
    if not (server and install_db):
        if os.environ.get("CI", "").lower() == "true":
            pytest.fail(MARIADB_MISSING + " (required when CI=true)")
        pytest.skip(MARIADB_MISSING)
    srv = MariaDBServer(server, install_db)
    try:
        srv.initialise()
        srv.start()
        srv.create_database()
    except Exception:
        srv.remove()
        raise
    yield srv
    srv.remove()


def pytest_configure(config):
    config.addinivalue_line("markers", "mariadb: runs against the suite's own MariaDB server")


class Backend:
    def __init__(self, kind, url, server=None):
        self.kind = kind
        self.url = url
        self.server = server


@pytest.fixture(params=["sqlite", pytest.param("mariadb", marks=pytest.mark.mariadb)])
def backend(request, tmp_path):
    """One database per test: a fresh SQLite file, or the MariaDB test database emptied."""
    if request.param == "sqlite":
        return Backend("sqlite", "sqlite:///" + str(tmp_path / "wisp.db"))
    srv = request.getfixturevalue("mariadb_server")
    if srv.proc is None or srv.proc.poll() is not None:
        srv.start()
    conn = srv.root_connect()
    try:
        with conn.cursor() as cur:
            db = srv.config["database"]
            cur.execute("SELECT table_name FROM information_schema.tables WHERE table_schema=%s", (db,))
            for (name,) in cur.fetchall():
                cur.execute(f"DROP TABLE `{db}`.`{name}`")
    finally:
        conn.close()
    return Backend("mariadb", srv.url, srv)


@pytest.fixture
def engine(backend):
    eng = make_engine(backend.url)
    yield eng
    eng.dispose()


@pytest.fixture
def users(engine):
    """A `users` table with five rows, ages 10, 20, 30, 40, 50."""
    with engine.begin() as c:
        c.execute(text(
            "CREATE TABLE users (id INTEGER PRIMARY KEY AUTO_INCREMENT, name VARCHAR(40) NOT NULL"
            " UNIQUE, age INTEGER)"
            if engine.dialect.name == "mysql" else
            "CREATE TABLE users (id INTEGER PRIMARY KEY AUTOINCREMENT, name VARCHAR(40) NOT NULL"
            " UNIQUE, age INTEGER)"
        ))
        c.execute(text("INSERT INTO users (name, age) VALUES (:name, :age)"),
                  [{"name": f"u{i}", "age": i * 10} for i in range(1, 6)])
    return engine


# --- wisp.wisp: the process-wide configuration registry -------------------

# A password with the characters that break a URL written verbatim.
SPECIAL_PASSWORD = "p@ss:w/rd%41#?x"


@pytest.fixture(scope="session")
def mariadb_special_user(mariadb_server):
    """A second MariaDB user whose password holds @ : / % # ?; returns its data-source dict."""
    cfg = dict(mariadb_server.config, user="wisp_special", password=SPECIAL_PASSWORD)
    conn = mariadb_server.root_connect()
    try:
        with conn.cursor() as cur:
            cur.execute("CREATE USER IF NOT EXISTS 'wisp_special'@'%%' IDENTIFIED BY %s",
                        (SPECIAL_PASSWORD,))
            cur.execute(f"GRANT ALL PRIVILEGES ON `{cfg['database']}`.* TO 'wisp_special'@'%'")
    finally:
        conn.close()
    return cfg


@pytest.fixture
def wisp_registry():
    """wisp.wisp with an empty registry; afterwards the engines it holds are disposed and
    WispConfig, its registries and BaseMapper's attributes are as they were."""
    from wisp import wisp as facade

    cfg, mapper = facade.WispConfig, facade.BaseMapper
    registry, mappers = cfg.datasource, cfg.wisp_mapper_dict
    saved = (cfg._instance, cfg._initialized, cfg.raw_sql, dict(registry), dict(mappers),
             mapper.datasource, mapper.default_key, mapper.raw_sql)
    cfg._instance, cfg._initialized, cfg.raw_sql = None, False, False
    registry.clear()
    mappers.clear()
    mapper.datasource, mapper.default_key, mapper.raw_sql = None, None, False
    token = facade.datasource_context.set(None)
    yield facade
    facade.datasource_context.reset(token)
    for entry in list(cfg.datasource.values()) + list(registry.values()):
        entry["db"].dispose()
    registry.clear()
    registry.update(saved[3])
    mappers.clear()
    mappers.update(saved[4])
    cfg.datasource, cfg.wisp_mapper_dict = registry, mappers
    cfg._instance, cfg._initialized, cfg.raw_sql = saved[:3]
    mapper.datasource, mapper.default_key, mapper.raw_sql = saved[5:]
