"""The tooling that ships and tests wisp: which interpreters the test run picks, and the
wheel check that guards the runtime library's place in a published wheel."""

import importlib.util
import os
import stat
import subprocess
import sys
import tarfile
import zipfile

import pytest

import wisp

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TOOLS = os.path.join(ROOT, "tools")


def stub_python(path, line, status=0):
    """An executable that answers the interpreter probe of run-tests.sh with `line`."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(f"#!/bin/sh\necho '{line}'\nexit {status}\n")
    os.chmod(path, os.stat(path).st_mode | stat.S_IXUSR)
    return path


@pytest.mark.parametrize("default, versions, expected", [
    # the default python3 is pyenv's 3.12.1 through a shim: listed once, first
    ("cpython 3.12.1 1 /pyenv/3.12.1/python3.12",
     {"3.9.18": "cpython 3.9.18 0 /pyenv/3.9.18/python3.9",
      "3.10.13": "cpython 3.10.13 0 /pyenv/3.10.13/python3.10",
      "3.11.7": "cpython 3.11.7 1 /pyenv/3.11.7/python3.11",
      "3.12.1": "cpython 3.12.1 1 /pyenv/3.12.1/python3.12",
      "3.13.0": "cpython 3.13.0 1 /pyenv/3.13.0/python3.13"},
     [("py3.12.1", "default"), ("py3.11.7", "3.11.7"), ("py3.13.0", "3.13.0")]),
    # a system python3 of a version pyenv also has: both, in venvs of their own
    ("cpython 3.11.7 1 /usr/bin/python3.11",
     {"3.11.7": "cpython 3.11.7 1 /pyenv/3.11.7/python3.11",
      "3.13.0t": "cpython 3.13.0t 1 /pyenv/3.13.0t/python3.13t",
      "pypy3.10-7.3.17": "pypy 3.10.14 0 /pyenv/pypy/pypy3",
      "broken": ("cpython 3.14.0 1 /nowhere", 1)},
     [("py3.11.7", "default"), ("py3.11.7+", "3.11.7"), ("py3.13.0t", "3.13.0t")]),
    # a default python3 too old to run wisp, and no pyenv at all
    ("cpython 3.10.13 0 /usr/bin/python3.10", None, []),
])
def test_run_tests_picks_every_cpython_from_3_11_once(tmp_path, default, versions, expected):
    stub_python(str(tmp_path / "bin" / "python3"), default)
    pyenv = tmp_path / "pyenv"
    if versions is not None:
        for name, answer in versions.items():
            line, status = answer if isinstance(answer, tuple) else (answer, 0)
            stub_python(str(pyenv / "versions" / name / "bin" / "python3"), line, status)
    env = dict(os.environ, PATH=f"{tmp_path / 'bin'}:{os.environ['PATH']}", PYENV_ROOT=str(pyenv))
    out = subprocess.run(["bash", os.path.join(TOOLS, "run-tests.sh"), "--list"], env=env,
                         capture_output=True, text=True, check=True).stdout
    listed = [line.split(" ", 1) for line in out.splitlines()]
    where = {str(tmp_path / "bin" / "python3"): "default"}
    where.update({str(pyenv / "versions" / v / "bin" / "python3"): v for v in versions or ()})
    assert [(venv, where[py]) for venv, py in listed] == expected


# --- the wheel check ------------------------------------------------------------

def load_check_dist():
    spec = importlib.util.spec_from_file_location("check_dist", os.path.join(TOOLS, "check_dist.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def installed_files():
    """Wheel path -> file, for the extension modules and the runtime of the installed package."""
    package = os.path.dirname(wisp.__file__)
    files = {}
    for folder, _, names in os.walk(package):
        for name in names:
            if name.endswith(".so") and not name.startswith("_rt_probe"):
                path = os.path.join(folder, name)
                files["wisp/" + os.path.relpath(path, package).replace(os.sep, "/")] = path
    return files


def moved(files, old, new):
    files = dict(files)
    files[new] = files.pop(old)
    return files


def module_of(files, stem):
    return next(name for name in files if name.startswith(stem + "."))


MANYLINUX = "cp311-cp311-manylinux_2_34_x86_64"


@pytest.mark.parametrize("change, tag, complaint", [
    (lambda f: f, MANYLINUX, None),
    (lambda f: f, "cp311-cp311-linux_x86_64", "has no manylinux platform tag"),
    # auditwheel grafting a second copy under a hashed name
    (lambda f: dict(f, **{"wisp.libs/libwisp_rt-5a8c1e2f.so": f["wisp/libwisp_rt.so"]}), MANYLINUX,
     "a vendored copy of the runtime library: wisp.libs/libwisp_rt-5a8c1e2f.so"),
    # the runtime renamed: no module finds it
    (lambda f: moved(f, "wisp/libwisp_rt.so", "wisp/libwisp_rt-5a8c1e2f.so"), MANYLINUX,
     "expected exactly wisp/libwisp_rt.so, found ['wisp/libwisp_rt-5a8c1e2f.so']"),
    # the runtime elsewhere: $ORIGIN/.. from wisp/db no longer leads to it
    (lambda f: moved(f, "wisp/libwisp_rt.so", "wisp/db/libwisp_rt.so"), MANYLINUX,
     "does not lead to a libwisp_rt.so in the wheel"),
    # a module left out of the wheel
    (lambda f: {k: v for k, v in f.items() if not k.startswith("wisp/db/db_gateway.")}, MANYLINUX,
     "extension module wisp/db/db_gateway is missing"),
    # a module installed into the wrong folder: its RPATH points past the package
    (lambda f: moved(f, module_of(f, "wisp/wisp"), "wisp/utils/" + module_of(f, "wisp/wisp")[5:]),
     MANYLINUX, "unexpected shared object wisp/utils/wisp."),
])
def test_wheel_check_refuses_a_runtime_the_modules_cannot_share(tmp_path, capsys, change, tag,
                                                                complaint):
    pytest.importorskip("elftools")
    check_dist = load_check_dist()
    wheel = tmp_path / f"wisp-0.1.0-{tag}.whl"
    with zipfile.ZipFile(wheel, "w") as zf:
        for name, path in change(installed_files()).items():
            zf.write(path, name)
    if complaint is None:
        check_dist.check_wheel(str(wheel))
        assert capsys.readouterr().out.endswith("wheel: ok\n")
    else:
        with pytest.raises(SystemExit):
            check_dist.check_wheel(str(wheel))
        assert complaint in capsys.readouterr().err


@pytest.mark.parametrize("left_out, complaint", [
    (None, None),
    ("runtime/src/core.cpp", "runtime/src/core.cpp is tracked but not in the sdist"),
    ("LICENSE", "LICENSE is missing"),
])
def test_sdist_check_wants_every_tracked_file(tmp_path, capsys, left_out, complaint):
    try:
        tracked = subprocess.run(["git", "ls-files", "-z"], cwd=ROOT, check=True,
                                 capture_output=True).stdout.decode().split("\0")
    except (OSError, subprocess.CalledProcessError):
        pytest.skip("not in a git checkout")
    sdist = tmp_path / "wisp-0.1.0.tar.gz"
    with tarfile.open(sdist, "w:gz") as tar:
        for name in [t for t in tracked if t and os.path.isfile(os.path.join(ROOT, t))] + ["PKG-INFO"]:
            if name != left_out:
                tar.add(os.path.join(ROOT, "pyproject.toml"), "wisp-0.1.0/" + name)
    check_dist = load_check_dist()
    if complaint is None:
        check_dist.check_sdist(str(sdist))
        assert capsys.readouterr().out.endswith("sdist: ok\n")
    else:
        with pytest.raises(SystemExit):
            check_dist.check_sdist(str(sdist))
        assert complaint in capsys.readouterr().err


# The check that runs in the clean environment, here on the test environment's own
# installation: it must see a second copy of the runtime library, and a package
# imported from the source tree instead of the installed one.
SECOND_COPY = """
import ctypes, shutil, sys, tempfile, os, wisp
copy = os.path.join(tempfile.mkdtemp(), "libwisp_rt.so")
shutil.copy(os.path.join(os.path.dirname(wisp.__file__), "libwisp_rt.so"), copy)
ctypes.CDLL(copy)
"""


@pytest.mark.parametrize("prelude, env, complaint", [
    ("", {}, None),
    (SECOND_COPY, {}, "runtime libraries mapped"),
    ("", {"PYTHONPATH": ROOT}, "wisp was imported from the source tree"),
])
def test_installed_check_sees_what_the_process_loaded(tmp_path, prelude, env, complaint):
    code = (prelude + "import runpy, sys\nsys.argv = ['check_dist.py', 'installed']\n"
            f"runpy.run_path({os.path.join(TOOLS, 'check_dist.py')!r}, run_name='__main__')\n")
    done = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True,
                          text=True, env=dict(os.environ, **env), timeout=120)
    if complaint is None:
        assert done.returncode == 0, done.stderr
        assert "installed package: ok" in done.stdout
    else:
        assert done.returncode == 1 and complaint in done.stderr
