"""Benchmark of the data-source wrapper of wisp.wisp.

A function that does nothing, decorated with `datasource("a")`, is called
through the native wrapper and through the same decorator and
`contextmanager` switch written in plain Python over the same registry.
Both are timed alternately in one run; the printed figure is the native
time over the plain-Python time (best of several rounds each), measured in
the thread's CPU time.

Run: python bench/bench_facade.py [rounds]
"""

import contextlib
import os
import sys
import tempfile
import timeit
from contextlib import contextmanager
from contextvars import ContextVar
from functools import wraps

from wisp import wisp
from benchlib import cpu

TARGET = 0.5

# --- the same decorator in plain Python ------------------------------------

datasource_context = ContextVar("datasource_context", default=None)


class Registry:
    datasource = None
    raw_sql = False


@contextmanager
def switch_datasource(db: "str"):
    db_key = None
    try:
        current_value = datasource_context.get()
        if current_value is not None:
            db_key = current_value
        if db not in Registry.datasource:
            raise ValueError("Unknown data source")
        if Registry.raw_sql:
            print(f"change_datasource: {current_value} -> {db}")
        datasource_context.set(db)
        yield db
    finally:
        current_value = datasource_context.get()
        if current_value is not None:
            datasource_context.set(None)
        if Registry.raw_sql:
            print(f"change_datasource: {current_value} -> {db_key}")
        if db_key is not None:
            datasource_context.set(db_key)


def _create_wrapped_method(method, datasource_name, transactional, mark_decorated=False):
    @wraps(method)
    def wrapped_method(*args, **kwargs):
        with switch_datasource(datasource_name):
            if not transactional:
                return method(*args, **kwargs)
            db_gateway = None
            try:
                db_gateway = Registry.datasource[datasource_name]["db_gateway"]
                db_gateway.begin_tx()
                result = method(*args, **kwargs)
                db_gateway.commit()
                return result
            except Exception:
                if db_gateway:
                    db_gateway.rollback()
                raise
            finally:
                if db_gateway:
                    db_gateway.close()

    if mark_decorated:
        wrapped_method._datasource_decorated = True
    return wrapped_method


def datasource(datasource_name: "str", transactional: "bool" = False):
    def decorator(target):
        return _create_wrapped_method(target, datasource_name, bool(transactional), True)

    return decorator


# ---------------------------------------------------------------------------


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 40
    with tempfile.TemporaryDirectory() as tmp:
        config = wisp.DBConfig("a", a={"db_type": "sqlite", "sqlite_path": os.path.join(tmp, "a.db")})
        with contextlib.redirect_stdout(None):
            wisp.WispConfig(config)
        Registry.datasource = wisp.BaseMapper.datasource

        @wisp.datasource("a")
        def native():
            pass

        @datasource("a")
        def plain():
            pass

        number = 20_000
        for fn in (native, plain):
            timeit.timeit(fn, number=number)
        best_n = best_p = float("inf")
        for _ in range(rounds):  # alternate, so that drift hits both sides alike
            best_n = min(best_n, cpu(native, number))
            best_p = min(best_p, cpu(plain, number))
        ratio = best_n / best_p
        print(f"{'workload':40} {'wisp us':>9} {'python us':>9} {'ratio':>7}")
        print(f"{'datasource-decorated no-op call':40} {best_n * 1e6:9.3f} {best_p * 1e6:9.3f}"
              f" {ratio:7.3f}")
        for entry in wisp.BaseMapper.datasource.values():
            entry["db"].dispose()
    print(f"ratio {ratio:.3f} (target at most {TARGET:.2f})")


if __name__ == "__main__":
    main()
