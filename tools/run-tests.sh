#!/usr/bin/env bash
# Sets up a fresh machine and runs the whole test suite: on the default
# python3 and on the newest CPython 3.x that pyenv has, when that is newer.
# Each interpreter gets its own virtual environment under .venvs/.
#
# With --sanitize as the first argument it runs the sanitizer run instead
# (tools/run-sanitized.sh): the suite on Debian's debug interpreter over a
# build with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
started=$(date +%s)
sanitize=0
if [ "${1:-}" = "--sanitize" ]; then
  sanitize=1
  shift
fi

# The MySQL-side tests run against a real MariaDB server that the suite
# starts itself; install the server when it is missing.
if ! command -v mariadbd >/dev/null 2>&1 && ! [ -x /usr/sbin/mariadbd ]; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "== installing mariadb-server"
    # keep the package from starting the system service
    printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d && chmod +x /usr/sbin/policy-rc.d
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq mariadb-server >/dev/null
    rm -f /usr/sbin/policy-rc.d
  else
    echo "== mariadb-server missing and cannot be installed here; its tests will be skipped"
  fi
fi

if [ $sanitize = 1 ]; then
  exec bash "$root/tools/run-sanitized.sh" "$@"
fi

pythons=("$(command -v python3)")
default_ver=$(python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')
newest=""
if [ -d "${PYENV_ROOT:-$HOME/.pyenv}/versions" ]; then
  newest=$(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.* 2>/dev/null | sort -V | tail -n 1 || true)
fi
if [ -n "$newest" ] && [ -x "$newest/bin/python3" ]; then
  newest_ver=$("$newest/bin/python3" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  if [ "$(printf '%s\n%s\n' "$default_ver" "$newest_ver" | sort -V | tail -n 1)" != "$default_ver" ]; then
    pythons+=("$newest/bin/python3")
  fi
fi

status=0
for py in "${pythons[@]}"; do
  ver=$("$py" -c 'import sys; print("%d.%d.%d" % sys.version_info[:3])')
  venv="$root/.venvs/py$ver"
  echo "== Python $ver ($py)"
  "$py" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip >/dev/null
  "$venv/bin/python" -m pip install -q "$root[test]" \
    -Ccmake.define.WISP_WERROR=ON -Ccmake.define.WISP_TEST_PROBE=ON \
    -Cbuild-dir="$root/build/py$ver"
  # Run from the tests folder so that the installed package, not the source
  # tree, is imported.
  set +e
  (cd "$root/tests" && "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@")
  rc=$?
  set -e
  if [ $rc -ne 0 ]; then
    echo "== Python $ver: tests failed (exit $rc)"
    status=1
  fi
done
echo "== test run: $(($(date +%s) - started)) s, exit $status"
exit $status
