# Shared by the scripts in tools/ (sourced, not run).

# The options the test suite's builds use; a build folder made with them is
# reused by later builds with the same options without compiling again.
test_build_options=(-Ccmake.define.WISP_WERROR=ON -Ccmake.define.WISP_TEST_PROBE=ON)

# pip, quiet: only its errors and warnings reach the terminal (without the
# notes about configured package locations that do not exist on this machine).
pip_q() {
  local py=$1
  shift
  "$py" -m pip -q "$@" 2> >(grep -v "is ignored: it is neither a file nor a directory" >&2)
}

# The build backend's requirements from pyproject.toml, for builds without
# isolation: an isolated build makes a new environment each time, and the
# backend then starts its build folder afresh, compiling everything again.
build_requires() {
  "$1" - "$root/pyproject.toml" <<'PY'
import sys, tomllib
with open(sys.argv[1], "rb") as f:
    print(" ".join(tomllib.load(f)["build-system"]["requires"]))
PY
}
