"""Checks on what tools/build-dist.sh makes, as a user would receive it.

    check_dist.py wheel WHEEL            the wheel holds every extension module
                                         and one runtime library, which every
                                         module finds through its RPATH
    check_dist.py sdist SDIST            the source distribution holds every
                                         file git tracks (run in a clone)
    check_dist.py same WHEEL OTHER       two wheels hold the same files
    check_dist.py installed [SCRIPT...]  run by the interpreter of a fresh
                                         environment: imports every module of
                                         the installed package, checks that
                                         one runtime library serves them all,
                                         then runs each SCRIPT; when
                                         <script>_output.txt lies beside it,
                                         the output must be that text

`wheel` reads ELF files and needs pyelftools (installed with auditwheel);
the others use the standard library only. Each prints what it checked and
exits non-zero with the reasons when something is wrong.
"""

import io
import os
import posixpath
import re
import subprocess
import sys
import tarfile
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RUNTIME = "libwisp_rt.so"
# Top-level `wisp_module(<target> <install dir> ...)` lines; the test probe
# is declared indented, under its option, and is not shipped.
MODULE_LINE = re.compile(r"^wisp_module\((\w+)\s+(\S+)", re.M)


class Problems(list):
    def exit(self, what):
        if self:
            print(f"{what}: {len(self)} problem(s)", file=sys.stderr)
            for p in self:
                print("  - " + p, file=sys.stderr)
            sys.exit(1)
        print(f"{what}: ok")


def shipped_modules(root=ROOT):
    """(install dir, module name) of every extension module the build ships."""
    with open(os.path.join(root, "CMakeLists.txt"), encoding="utf-8") as f:
        return [(dest, name) for name, dest in MODULE_LINE.findall(f.read())]


def extension_suffix_free(path):
    """'wisp/db/db_gateway.cpython-311-x86_64-linux-gnu.so' -> 'wisp/db/db_gateway'."""
    head, base = posixpath.split(path)
    return posixpath.join(head, base.split(".", 1)[0])


def dynamic_tags(data):
    from elftools.elf.dynamic import DynamicSection
    from elftools.elf.elffile import ELFFile

    tags = {"DT_NEEDED": [], "DT_RPATH": [], "DT_RUNPATH": [], "DT_SONAME": []}
    for section in ELFFile(io.BytesIO(data)).iter_sections():
        if isinstance(section, DynamicSection):
            for tag in section.iter_tags():
                if tag.entry.d_tag == "DT_NEEDED":
                    tags["DT_NEEDED"].append(tag.needed)
                elif tag.entry.d_tag == "DT_SONAME":
                    tags["DT_SONAME"].append(tag.soname)
                elif tag.entry.d_tag in ("DT_RPATH", "DT_RUNPATH"):
                    attr = "rpath" if tag.entry.d_tag == "DT_RPATH" else "runpath"
                    tags[tag.entry.d_tag].extend(getattr(tag, attr).split(":"))
    return tags


def check_wheel(path):
    problems = Problems()
    with zipfile.ZipFile(path) as whl:
        names = whl.namelist()
        elf = {n: whl.read(n) for n in names if n.endswith(".so") or ".so." in n}
    if not re.search(r"-manylinux_\d+_\d+_\w+\.whl$", os.path.basename(path)):
        problems.append(f"{os.path.basename(path)} has no manylinux platform tag")

    # One runtime library, in the package folder, under its own name: a second
    # copy (say a vendored one in wisp.libs/) would give modules that load
    # different copies their own runtime state and type objects.
    runtimes = [n for n in elf if posixpath.basename(n).startswith("libwisp_rt")]
    if runtimes != ["wisp/" + RUNTIME]:
        problems.append(f"expected exactly wisp/{RUNTIME}, found {sorted(runtimes) or 'none'}")
    for n in names:
        if n.split("/", 1)[0].endswith(".libs") and "wisp_rt" in n:
            problems.append(f"a vendored copy of the runtime library: {n}")
    if "wisp/" + RUNTIME in elf:
        soname = dynamic_tags(elf["wisp/" + RUNTIME])["DT_SONAME"]
        if soname != [RUNTIME]:
            problems.append(f"{RUNTIME} has SONAME {soname}, the modules ask for {RUNTIME}")

    modules = {extension_suffix_free(n): n for n in elf if n not in runtimes}
    expected = {f"{dest}/{name}" for dest, name in shipped_modules()}
    for missing in sorted(expected - modules.keys()):
        problems.append(f"extension module {missing} is missing")
    for extra in sorted(modules.keys() - expected):
        problems.append(f"unexpected shared object {modules[extra]}")

    # Every module must find the shipped runtime library through its own
    # RPATH or RUNPATH.
    for stem in sorted(expected & modules.keys()):
        name = modules[stem]
        tags = dynamic_tags(elf[name])
        if RUNTIME not in tags["DT_NEEDED"]:
            needed = [n for n in tags["DT_NEEDED"] if "wisp_rt" in n]
            problems.append(f"{name} needs {needed or 'no runtime library'}, not {RUNTIME}")
            continue
        # Where the loader looks: each RUNPATH (or RPATH) entry with $ORIGIN
        # being the folder the module lies in.
        origin = posixpath.dirname(name)
        search = tags["DT_RUNPATH"] or tags["DT_RPATH"]
        places = [posixpath.normpath(p.replace("${ORIGIN}", origin).replace("$ORIGIN", origin))
                  for p in search]
        if not any(posixpath.join(place, RUNTIME) in elf for place in places):
            problems.append(f"{name}: its search path {search} does not lead to a {RUNTIME}"
                            " in the wheel")
    print(f"{os.path.basename(path)}: {len(modules)} modules, runtime {runtimes}")
    problems.exit("wheel")


def check_sdist(path):
    problems = Problems()
    with tarfile.open(path) as tar:
        members = {m.name.split("/", 1)[1] for m in tar.getmembers()
                   if m.isfile() and "/" in m.name}
    try:
        tracked = subprocess.run(["git", "ls-files", "-z"], cwd=ROOT, check=True,
                                 capture_output=True).stdout.decode().split("\0")
    except (OSError, subprocess.CalledProcessError):
        print("sdist: not in a git checkout, file list not compared")
        return
    tracked = {t for t in tracked if t and os.path.isfile(os.path.join(ROOT, t))}
    for missing in sorted(tracked - members):
        problems.append(f"{missing} is tracked but not in the sdist")
    for needed in ("PKG-INFO", "pyproject.toml", "CMakeLists.txt", "LICENSE"):
        if needed not in members:
            problems.append(f"{needed} is missing")
    print(f"{os.path.basename(path)}: {len(members)} files")
    problems.exit("sdist")


def check_same(path, other):
    def files(p):
        with zipfile.ZipFile(p) as whl:
            return {n for n in whl.namelist() if ".dist-info/" not in n}

    problems = Problems()
    a, b = files(path), files(other)
    for n in sorted(a - b):
        problems.append(f"{n} only in {os.path.basename(path)}")
    for n in sorted(b - a):
        problems.append(f"{n} only in {os.path.basename(other)}")
    problems.exit("same files")


def check_installed(scripts):
    import importlib

    import wisp

    problems = Problems()
    package = os.path.dirname(os.path.abspath(wisp.__file__))
    if os.path.realpath(package) == os.path.realpath(os.path.join(ROOT, "wisp")):
        problems.append(f"wisp was imported from the source tree ({package})")
    imported = []
    for folder, _, files in os.walk(package):
        for f in files:
            if f.endswith(".so") and not f.startswith("lib"):
                rel = os.path.relpath(os.path.join(folder, f.split(".", 1)[0]), package)
                dotted = "wisp." + rel.replace(os.sep, ".")
                try:
                    importlib.import_module(dotted)
                    imported.append(dotted)
                except Exception as e:  # report every module that fails, not the first
                    problems.append(f"import {dotted}: {type(e).__name__}: {e}")
    with open("/proc/self/maps", encoding="utf-8") as f:
        runtimes = {line.split(None, 5)[5].strip() for line in f if "libwisp_rt" in line}
    if runtimes != {os.path.join(package, RUNTIME)}:
        problems.append(f"runtime libraries mapped: {sorted(runtimes) or 'none'}, "
                        f"expected only {os.path.join(package, RUNTIME)}")
    print(f"imported {len(imported)} modules from {package}")
    problems.exit("installed package")
    for script in scripts:
        done = subprocess.run([sys.executable, script], capture_output=True, text=True)
        if done.returncode != 0:
            print(done.stdout + done.stderr, file=sys.stderr)
            print(f"{script} failed (exit {done.returncode})", file=sys.stderr)
            sys.exit(1)
        expected = os.path.splitext(script)[0] + "_output.txt"
        if os.path.exists(expected):
            with open(expected, encoding="utf-8") as f:
                if done.stdout != f.read():
                    print(done.stdout, file=sys.stderr)
                    print(f"{script}: the output above differs from {expected}", file=sys.stderr)
                    sys.exit(1)
            print(f"{os.path.basename(script)}: ran, output as in {os.path.basename(expected)}")
        else:
            print(f"{os.path.basename(script)}: ran")


def main(argv):
    commands = {"wheel": (check_wheel, 1), "sdist": (check_sdist, 1), "same": (check_same, 2)}
    if argv and argv[0] == "installed":
        return check_installed(argv[1:])
    if not argv or argv[0] not in commands or len(argv) != commands[argv[0]][1] + 1:
        sys.exit(__doc__)
    commands[argv[0]][0](*argv[1:])


if __name__ == "__main__":
    main(sys.argv[1:])
