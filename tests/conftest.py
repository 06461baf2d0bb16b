"""Database back ends shared by the tests that touch a database.

Every database test runs on three back ends: an SQLite file in a temporary
directory, and a MariaDB server (reached through PyMySQL) and a PostgreSQL
server (reached through psycopg) that the suite starts itself, each on a
throw-away data directory with its own socket and a free loopback port.
Without a local server its cases are skipped; under CI=true they fail
instead, because there the servers must be present.
"""

import ctypes
import glob
import os
import pwd
import shutil
import signal
import socket
import subprocess
import tempfile
import time

import pytest
from sqlalchemy import create_engine, text
from sqlalchemy.engine import URL

# The pool options every engine of the package is created with.
ENGINE_OPTIONS = {"pool_size": 10, "max_overflow": 30, "pool_recycle": 1800, "pool_pre_ping": True}

MARIADB_MISSING = (
    "MariaDB server (mariadbd, mariadb-install-db) not found; "
    "install Debian's mariadb-server to run the MySQL-side tests"
)
POSTGRES_MISSING = (
    "PostgreSQL server (initdb, postgres) not found; "
    "install Debian's postgresql to run the PostgreSQL-side tests"
)


def make_engine(url):
    return create_engine(url, echo=False, **ENGINE_OPTIONS)


def mysql_url(cfg):
    """The MySQL URL built from a data-source dict, as the configuration does."""
    return (
        "mysql+pymysql://" + format(cfg["user"], "") + ":" + format(cfg["password"], "") + "@"
        + format(cfg["host"], "") + ":" + format(cfg["port"], "") + "/" + format(cfg["database"], "")
    )


def postgres_url(cfg):
    """The PostgreSQL URL of a data-source dict, as the configuration makes it."""
    return URL.create("postgresql+psycopg", username=cfg["user"], password=cfg["password"],
                      host=cfg["host"], port=cfg["port"], database=cfg["database"])


def _which(name):
    return shutil.which(name) or next(
        (p for p in (f"/usr/sbin/{name}", f"/usr/bin/{name}") if os.access(p, os.X_OK)), None
    )


# Loaded here: a server child may already run as another user, who cannot
# read the interpreter's library folder.
_LIBC = ctypes.CDLL(None, use_errno=True)


def _die_with_parent():
    try:
        _LIBC.prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except AttributeError:
        pass


def _server_env():
    # The sanitizer run preloads ASan into the interpreter; the server is no
    # business of it.
    return {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


def _free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class LocalServer:
    """A server process of the suite's own on a private data directory under `self.base`:
    started in its own session and killed with the test run, stopped and removed at the end."""

    name = "server"
    # Whether the server writes its log to stderr, which then goes to self.log.
    logs_to_stderr = False
    # The signal that stops the server without waiting for its clients.
    stop_signal = signal.SIGTERM

    def __init__(self, prefix, folder=None):
        self.base = tempfile.mkdtemp(prefix=prefix, dir=folder)
        self.port = _free_port()
        self.proc = None

    def command(self):
        raise NotImplementedError

    def popen_options(self):
        return {}

    def socket_path(self):
        raise NotImplementedError

    def root_connect(self):
        raise NotImplementedError

    def start(self, timeout=60.0):
        # Own session, so that ^C reaches only the test run, which stops the
        # server itself; and a parent-death signal, so that a test run that is
        # killed outright takes its server with it.
        with open(self.log, "ab") if self.logs_to_stderr else open(os.devnull, "wb") as err:
            self.proc = subprocess.Popen(self.command(), stdout=subprocess.DEVNULL, stderr=err,
                                         env=_server_env(), start_new_session=True,
                                         preexec_fn=_die_with_parent, **self.popen_options())
        deadline = time.monotonic() + timeout
        while True:
            try:
                # A driver connection that cannot reach the socket leaves its
                # own socket object open; try with one that is closed here.
                with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as probe:
                    probe.connect(self.socket_path())
                self.root_connect().close()
                return
            except Exception:
                if self.proc.poll() is not None or time.monotonic() > deadline:
                    self.stop()
                    raise RuntimeError(f"{self.name} did not come up:\n" + self._log_tail())
                time.sleep(0.1)

    def stop(self):
        if self.proc is None:
            return
        if self.proc.poll() is None:
            self.proc.send_signal(self.stop_signal)
            try:
                self.proc.wait(timeout=60)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None

    def ensure_running(self):
        """Starts the server again when a test stopped it."""
        if self.proc is None or self.proc.poll() is not None:
            self.start()

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


class MariaDBServer(LocalServer):
    """A private mariadbd: started on a fresh data directory, stopped and removed at the end."""

    name = "mariadbd"
    kind = "mariadb"

    def __init__(self, server, install_db):
        super().__init__("wisp-mariadb-")
        self.server = server
        self.install_db = install_db
        self.datadir = os.path.join(self.base, "data")
        self.socket = os.path.join(self.base, "mysqld.sock")
        self.log = os.path.join(self.base, "error.log")
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

    def command(self):
        return [self.server, "--no-defaults", f"--datadir={self.datadir}", f"--socket={self.socket}",
                f"--port={self.port}", "--bind-address=127.0.0.1", "--skip-name-resolve",
                f"--pid-file={os.path.join(self.base, 'mysqld.pid')}", f"--log-error={self.log}",
                "--skip-log-bin", "--innodb-buffer-pool-size=16M", *self._as_root()]

    def socket_path(self):
        return self.socket

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


def postgres_bindir():
    """The folder of initdb and postgres: on PATH, or Debian's newest under /usr/lib/postgresql."""
    found = [os.path.dirname(p) for p in (shutil.which("initdb"),) if p]
    found += sorted(glob.glob("/usr/lib/postgresql/*/bin"),
                    key=lambda d: [int(x) for x in d.split("/")[-2].split(".") if x.isdigit()],
                    reverse=True)
    return next((d for d in found if all(os.access(os.path.join(d, p), os.X_OK)
                                         for p in ("initdb", "postgres"))), None)


class PostgresServer(LocalServer):
    """A private PostgreSQL cluster (initdb) with its socket in the cluster's folder, run as
    the `postgres` system user when the suite runs as root (the server refuses root)."""

    name = "postgres"
    kind = "postgresql"
    logs_to_stderr = True
    stop_signal = signal.SIGINT  # "fast" shutdown: SIGTERM's waits for every client to leave

    def __init__(self, bindir):
        as_root = os.geteuid() == 0
        # As root, in /tmp: the `postgres` user must reach the folder.
        super().__init__("wisp-postgres-", "/tmp" if as_root else None)
        self.bindir = bindir
        self.account = None
        if as_root:
            self.account = pwd.getpwnam("postgres")
            os.chown(self.base, self.account.pw_uid, self.account.pw_gid)
        self.datadir = os.path.join(self.base, "data")
        self.log = os.path.join(self.base, "server.log")
        self.config = {
            "db_type": "postgresql",
            "host": "127.0.0.1",
            "port": self.port,
            "user": "wisp",
            "password": "wisp-test-pw",
            "database": "wisp_test",
        }
        self.url = postgres_url(self.config)

    def popen_options(self):
        if self.account is None:
            return {}
        return {"user": self.account.pw_uid, "group": self.account.pw_gid, "extra_groups": []}

    def initialise(self):
        cmd = [os.path.join(self.bindir, "initdb"), "-D", self.datadir, "-U", "postgres",
               "--auth-local=trust", "--auth-host=scram-sha-256", "-E", "UTF8", "--no-locale",
               "--no-sync"]
        done = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300,
                              env=_server_env(), cwd=self.base, **self.popen_options())
        if done.returncode != 0:
            raise RuntimeError("initdb failed:\n" + done.stdout.decode(errors="replace"))

    def command(self):
        settings = {"listen_addresses": "127.0.0.1", "port": self.port,
                    "unix_socket_directories": self.base, "fsync": "off",
                    "synchronous_commit": "off", "full_page_writes": "off",
                    "shared_buffers": "16MB", "max_connections": 200,
                    "logging_collector": "off", "log_destination": "stderr"}
        return [os.path.join(self.bindir, "postgres"), "-D", self.datadir,
                *(f"--{k}={v}" for k, v in settings.items())]

    def socket_path(self):
        return os.path.join(self.base, f".s.PGSQL.{self.port}")

    def root_connect(self, database="postgres"):
        import psycopg

        return psycopg.connect(host=self.base, port=self.port, user="postgres", dbname=database,
                               autocommit=True)

    def create_database(self):
        c = self.config
        with self.root_connect() as conn:
            conn.execute(f"CREATE ROLE {c['user']} LOGIN PASSWORD '{c['password']}'")
            conn.execute(f"CREATE DATABASE {c['database']} OWNER {c['user']}")

    def empty_database(self):
        """Drops everything the tests made in the test database."""
        with self.root_connect(self.config["database"]) as conn:
            # A test that left a transaction open makes this fail, not hang.
            conn.execute("SET lock_timeout = '10s'")
            conn.execute("DROP SCHEMA public CASCADE")
            conn.execute(f"CREATE SCHEMA public AUTHORIZATION {self.config['user']}")


@pytest.fixture(scope="session")
def mariadb_server():
    server, install_db = _which("mariadbd"), _which("mariadb-install-db")
    if not (server and install_db):
        _server_missing(MARIADB_MISSING)
    yield from _serve(MariaDBServer(server, install_db))


def _serve(srv):
    """Sets up `srv` (its data directory, the process, the test database), yields it, and
    removes it at the end."""
    try:
        srv.initialise()
        srv.start()
        srv.create_database()
    except Exception:
        srv.remove()
        raise
    yield srv
    srv.remove()


def _server_missing(reason):
    if os.environ.get("CI", "").lower() == "true":
        pytest.fail(reason + " (required when CI=true)")
    pytest.skip(reason)


@pytest.fixture(scope="session")
def postgres_server():
    bindir = postgres_bindir()
    if bindir is None:
        _server_missing(POSTGRES_MISSING)
    try:
        import psycopg  # noqa: F401
    except ImportError:
        _server_missing("psycopg is not installed (it comes with the test extra)")
    if os.geteuid() == 0:
        try:
            pwd.getpwnam("postgres")
        except KeyError:
            _server_missing("no `postgres` system user to run the PostgreSQL server as root")
    yield from _serve(PostgresServer(bindir))


def pytest_configure(config):
    config.addinivalue_line("markers", "mariadb: runs against the suite's own MariaDB server")
    config.addinivalue_line("markers",
                            "postgresql: runs against the suite's own PostgreSQL server")


class Backend:
    def __init__(self, kind, url, server=None):
        self.kind = kind
        self.url = url
        self.server = server


@pytest.fixture(params=["sqlite", pytest.param("mariadb", marks=pytest.mark.mariadb),
                        pytest.param("postgresql", marks=pytest.mark.postgresql)])
def backend(request, tmp_path):
    """One database per test: a fresh SQLite file, or the MariaDB or PostgreSQL test database
    emptied."""
    if request.param == "sqlite":
        return Backend("sqlite", "sqlite:///" + str(tmp_path / "wisp.db"))
    if request.param == "postgresql":
        srv = request.getfixturevalue("postgres_server")
        srv.ensure_running()
        srv.empty_database()
        return Backend("postgresql", srv.url, srv)
    srv = request.getfixturevalue("mariadb_server")
    srv.ensure_running()
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


# An integer primary key that the database generates, per dialect.
AUTO_KEY = {
    "sqlite": "INTEGER PRIMARY KEY AUTOINCREMENT",
    "mysql": "INTEGER PRIMARY KEY AUTO_INCREMENT",
    "postgresql": "SERIAL PRIMARY KEY",
}


def auto_key(bind):
    """The column type of a generated integer key on the engine or connection `bind`."""
    return AUTO_KEY[bind.dialect.name]


def make_users(engine):
    """Makes a `users` table with five rows, ages 10, 20, 30, 40, 50, on `engine`."""
    with engine.begin() as c:
        c.execute(text(f"CREATE TABLE users (id {auto_key(engine)}, name VARCHAR(40) NOT NULL"
                       " UNIQUE, age INTEGER)"))
        c.execute(text("INSERT INTO users (name, age) VALUES (:name, :age)"),
                  [{"name": f"u{i}", "age": i * 10} for i in range(1, 6)])


@pytest.fixture
def users(engine):
    """A `users` table with five rows, ages 10, 20, 30, 40, 50."""
    make_users(engine)
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


@pytest.fixture(scope="session")
def postgres_special_user(postgres_server):
    """A PostgreSQL role and database whose names hold @ : / and a blank, the role with the
    password of mariadb_special_user; returns its data-source dict."""
    from psycopg import sql

    cfg = dict(postgres_server.config, user="wisp sp@cial:/", password=SPECIAL_PASSWORD,
               database="wisp db/%41#?")
    with postgres_server.root_connect() as conn:
        conn.execute(sql.SQL("CREATE ROLE {} LOGIN PASSWORD {}").format(
            sql.Identifier(cfg["user"]), sql.Literal(cfg["password"])))
        conn.execute(sql.SQL("CREATE DATABASE {} OWNER {}").format(
            sql.Identifier(cfg["database"]), sql.Identifier(cfg["user"])))
    return cfg


@pytest.fixture
def wisp_registry():
    """wisp.wisp with an empty registry; afterwards the engines it holds are disposed and
    WispConfig, its registries and BaseMapper's attributes are as they were."""
    from wisp import wisp as facade

    cfg, mapper, amapper = facade.WispConfig, facade.BaseMapper, facade.AsyncBaseMapper
    registry, mappers = cfg.datasource, cfg.wisp_mapper_dict
    saved = (cfg._instance, cfg._initialized, cfg.raw_sql, dict(registry), dict(mappers),
             mapper.datasource, mapper.default_key, mapper.raw_sql)
    cfg._instance, cfg._initialized, cfg.raw_sql = None, False, False
    registry.clear()
    mappers.clear()
    for m in (mapper, amapper):
        m.datasource, m.default_key, m.raw_sql = None, None, False
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
    for m in (mapper, amapper):
        m.datasource, m.default_key, m.raw_sql = saved[5:]


@pytest.fixture
def arun(wisp_registry):
    """Runs coroutines on one event loop for the whole test (`arun(coro)`). Before the loop
    closes, the registry's engines are disposed in the loop, which closes the connections of
    their async engines there."""
    import asyncio

    from sqlalchemy.util import greenlet_spawn

    runner = asyncio.Runner()

    def dispose_all():
        for entry in wisp_registry.WispConfig.datasource.values():
            entry["db"].dispose()

    yield runner.run
    try:
        runner.run(greenlet_spawn(dispose_all))
    finally:
        runner.close()
