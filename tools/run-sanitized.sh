#!/usr/bin/env bash
# The sanitizer run: the package built with AddressSanitizer and
# UndefinedBehaviorSanitizer (runtime library and every module) and the whole
# suite run on Debian's debug interpreter, reference-leak loop included.
# Called by `tools/run-tests.sh --sanitize`; extra arguments go to pytest.
#
# The interpreter is not instrumented, so the ASan runtime is preloaded into
# it, together with libstdc++: ASan's interceptor for C++ throws must find
# the real one when it starts, or the first exception a module throws aborts.
#
# Objects come from malloc, not from the interpreter's own pools, so that
# ASan sees each object: a module reading an object after its last reference
# went away is reported, which pooled memory would hide. The interpreter's
# debug hooks stay on top (PYTHONMALLOC=malloc_debug): they fill freed memory
# with a pattern, so a freed object that we hand to the (uninstrumented)
# interpreter crashes it, which ASan then reports with our frames, instead of
# being read quietly in quarantine.
#
# LeakSanitizer is off. The interpreter does not free its own memory at exit
# (interned strings, static types, modules that are never unloaded), so the
# exit report would list thousands of its allocations, and a suppressions
# file cannot tell ours apart: every allocation of ours has the interpreter
# on its stack. Leaks are measured instead by tests/test_refleaks.py while
# the process runs: total references, and every live heap byte as ASan
# counts it, must settle over repeated calls.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
started=$(date +%s)

debug_py=/usr/bin/python3-dbg
missing=()
[ -x "$debug_py" ] || missing+=(python3-dbg)
# Debian keeps ensurepip, which venv needs, in python3-venv
"$debug_py" -c 'import ensurepip' >/dev/null 2>&1 || missing+=(python3-venv)
command -v g++ >/dev/null 2>&1 || missing+=(g++)
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "== installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}" >/dev/null
  else
    echo "== ${missing[*]} missing and cannot be installed here" >&2
    exit 1
  fi
fi

# The runtime libraries of the compiler that builds the package.
export CXX=g++
asan=$(readlink -f "$(g++ -print-file-name=libasan.so)")
stdcxx=$(readlink -f "$(g++ -print-file-name=libstdc++.so)")
for lib in "$asan" "$stdcxx"; do
  if ! [ -f "$lib" ]; then
    echo "== $lib not found; the compiler's sanitizer runtime is missing" >&2
    exit 1
  fi
done

ver=$("$debug_py" -c 'import sys; print("%d.%d.%d" % sys.version_info[:3])')
venv="$root/.venvs/py$ver-dbg"
build="$root/build/py$ver-dbg-sanitize"
echo "== Python $ver debug build ($debug_py), ASan + UBSan"
[ -x "$venv/bin/python" ] || "$debug_py" -m venv "$venv"
# The debug interpreter reports every unclosed file of pip's as a warning.
source "$root/tools/lib.sh"
pip() { PYTHONWARNINGS=ignore pip_q "$venv/bin/python" "$@"; }
pip install --upgrade pip >/dev/null
# Built without isolation, so that a later run reuses the build folder and
# compiles only what changed (see lib.sh); unstripped, so that reports name
# our source lines.
pip install $(build_requires "$venv/bin/python")
pip install --no-build-isolation "$root[test]" \
  -Ccmake.define.WISP_WERROR=ON -Ccmake.define.WISP_TEST_PROBE=ON \
  -Ccmake.define.WISP_SANITIZE=ON -Cinstall.strip=false -Cbuild-dir="$build"
# Whether a shared object was compiled for the debug interpreter: it counts
# its references into the interpreter's total. (nm's whole output is read
# first: grep -q leaving a pipe early would fail the pipeline.)
counts_references() {
  local symbols
  symbols=$(nm -D "$@")
  grep -qE ' U _Py_(RefTotal|IncRefTotal|NegativeRefcount)$' <<<"$symbols"
}
# SQLAlchemy's compiled parts are built for the release interpreter: their
# reference counting bypasses the debug interpreter's total, which then
# drifts by itself. Its pure-Python form keeps the total exact.
if "$venv/bin/python" -c 'import sys, sqlalchemy.util._has_cython as c; sys.exit(not c.HAS_CYEXTENSION)'; then
  sqla=$("$venv/bin/python" -c 'import sqlalchemy; print(sqlalchemy.__version__)')
  DISABLE_SQLALCHEMY_CEXT=1 pip install --force-reinstall --no-deps --no-binary sqlalchemy \
    "sqlalchemy==$sqla"
fi
# The same holds for greenlet (the async extra): its wheel is built for the
# release interpreter. Built from source for the debug one, once.
greenlet_dir=$("$venv/bin/python" -c 'import greenlet, os; print(os.path.dirname(greenlet.__file__))')
if ! counts_references "$greenlet_dir"/_greenlet*.so; then
  greenlet_version=$("$venv/bin/python" -c 'import greenlet; print(greenlet.__version__)')
  pip install --force-reinstall --no-deps --no-binary greenlet "greenlet==$greenlet_version"
fi
# Modules compiled without Py_DEBUG would not count their references.
if ! counts_references "$venv"/lib/python*/site-packages/wisp/libwisp_rt.so; then
  echo "== the runtime library was not built for the debug interpreter" >&2
  exit 1
fi
# The stack guard across greenlet switches, in every interpreter of the run
# (tools/sanitizer_stack_guard.py).
site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
cp "$root/tools/sanitizer_stack_guard.py" "$site/_wisp_stack_guard.py"
echo "import _wisp_stack_guard" >"$site/_wisp_stack_guard.pth"
built=$(date +%s)

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
export LD_PRELOAD="$asan $stdcxx"
export PYTHONMALLOC=malloc_debug
# Reports go to files, printed at the end: pytest's capture would swallow
# the report of a process that dies inside a test. Child processes write
# there too.
symbolizer=$(command -v llvm-symbolizer || command -v addr2line || true)
# greenlet's stack copies are let through (tools/asan-greenlet.supp); the
# stack shadow a switch leaves behind is cleared by the stack guard.
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:halt_on_error=1:handle_abort=1:suppressions=$root/tools/asan-greenlet.supp:log_path=$logs/asan${symbolizer:+:external_symbolizer_path=$symbolizer}"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$logs/ubsan${symbolizer:+:external_symbolizer_path=$symbolizer}"
set +e
(cd "$root/tests" && "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@")
rc=$?
set -e
unset LD_PRELOAD PYTHONMALLOC ASAN_OPTIONS UBSAN_OPTIONS
finished=$(date +%s)

reports=$(find "$logs" -type f | sort)
if [ -n "$reports" ]; then
  echo "== sanitizer reports:"
  for f in $reports; do cat "$f"; done
  [ $rc -ne 0 ] || rc=1
fi
echo "== sanitizer run: $((finished - started)) s (set-up and build $((built - started)) s, tests $((finished - built)) s), ${reports:+sanitizer reports found, }exit $rc"
exit $rc
