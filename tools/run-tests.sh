#!/usr/bin/env bash
# Sets up a fresh machine and runs the whole test suite on every CPython 3.11
# or newer that pyenv has, and on the default python3 when it is none of
# them. Each interpreter gets its own virtual environment under .venvs/ and
# its own build folder under build/, kept between runs so that a later run
# compiles only what changed. With the default interpreter's build, the
# wheel is checked too: made, repaired, installed into a clean environment
# and run there (tools/build-dist.sh --check).
#
# The runs go side by side, as many at once as there are cores (WISP_JOBS
# sets another number); each one writes to build/test-logs/, and its output
# is printed whole when it ends.
#
#   bash tools/run-tests.sh [pytest args]         the runs above and the sanitizer run
#                                                 (.ci/run)
#   bash tools/run-tests.sh --no-sanitize [args]  the runs above without the sanitizer run
#   bash tools/run-tests.sh --sanitize [args]     only the sanitizer run: the suite on
#                                                 Debian's debug interpreter over a build
#                                                 with ASan and UBSan (tools/run-sanitized.sh)
#   bash tools/run-tests.sh --python PY [args]    only the interpreter PY, in the foreground
#   bash tools/run-tests.sh --list                the interpreters a run would use
#
# Extra arguments go to pytest, which runs from tests/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
source "$root/tools/lib.sh"
started=$(date +%s)

mode=pool
sanitize_too=1
one_py=""
venv_name=""
wheel_check=0
case "${1:-}" in
  --sanitize) mode=sanitize; shift ;;
  --ci) shift ;;  # the default; kept for older notes
  --no-sanitize) sanitize_too=0; shift ;;
  --list) mode=list; shift ;;
  --python)
    mode=one; one_py=$2; shift 2
    # internal, set by the pool for its jobs
    while [ $# -gt 0 ]; do
      case "$1" in
        --venv) venv_name=$2; shift 2 ;;
        --wheel-check) wheel_check=1; shift ;;
        *) break ;;
      esac
    done
    ;;
esac

# Every CPython 3.11 or newer: the default python3 first, then pyenv's in
# version order, each once (an interpreter reached through a pyenv shim is
# the same as pyenv's own). Prints "<venv name> <interpreter>" per line.
interpreters() {
  local candidates=() seen=" " names=" " c info impl ver recent real name
  if c=$(command -v python3); then candidates+=("$c"); fi
  local versions="${PYENV_ROOT:-$HOME/.pyenv}/versions"
  if [ -d "$versions" ]; then
    while IFS= read -r c; do
      [ -x "$c/bin/python3" ] && candidates+=("$c/bin/python3")
    done < <(find "$versions" -mindepth 1 -maxdepth 1 -printf '%f\n' | sort -V |
             sed "s|^|$versions/|")
  fi
  for c in "${candidates[@]}"; do
    info=$("$c" -c 'import os, sys; print(sys.implementation.name,
"%d.%d.%d%s" % (*sys.version_info[:3], "t" if "t" in sys.abiflags else ""),
int(sys.version_info >= (3, 11)), os.path.realpath(sys.executable))' 2>/dev/null) || continue
    read -r impl ver recent real <<<"$info"
    [ "$impl" = cpython ] && [ "$recent" = 1 ] || continue
    case "$seen" in *" $real "*) continue ;; esac
    seen+="$real "
    name="py$ver"
    while case "$names" in *" $name "*) true ;; *) false ;; esac; do name+="+"; done
    names+="$name "
    echo "$name $c"
  done
}

if [ $mode = list ]; then
  interpreters
  exit 0
fi

# The MySQL-side and PostgreSQL-side tests run against a real MariaDB server
# and a real PostgreSQL server that the suite starts itself; install the
# servers when they are missing (Debian keeps PostgreSQL's programs under
# /usr/lib/postgresql/<version>/bin).
servers=()
if ! command -v mariadbd >/dev/null 2>&1 && ! [ -x /usr/sbin/mariadbd ]; then
  servers+=(mariadb-server)
fi
if ! command -v initdb >/dev/null 2>&1 && ! compgen -G "/usr/lib/postgresql/*/bin/initdb" >/dev/null; then
  servers+=(postgresql)
fi
if [ $mode != one ] && [ ${#servers[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "== installing ${servers[*]}"
    # keep the packages from starting the system services
    printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d && chmod +x /usr/sbin/policy-rc.d
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${servers[@]}" >/dev/null
    rm -f /usr/sbin/policy-rc.d
  else
    echo "== ${servers[*]} missing and cannot be installed here; their tests will be skipped"
  fi
fi

if [ $mode = sanitize ]; then
  exec bash "$root/tools/run-sanitized.sh" "$@"
fi

# --- one interpreter -------------------------------------------------------
if [ $mode = one ]; then
  ver=$("$one_py" -c 'import sys; print("%d.%d.%d" % sys.version_info[:3])')
  venv="$root/.venvs/${venv_name:-py$ver}"
  build="$root/build/${venv_name:-py$ver}"
  echo "== Python $ver ($one_py)"
  "$one_py" -m venv "$venv"
  pip_q "$venv/bin/python" install --upgrade pip
  # Built without isolation, so that the build folder is reused (see lib.sh).
  pip_q "$venv/bin/python" install $(build_requires "$venv/bin/python")
  pip_q "$venv/bin/python" install --no-build-isolation "$root[test]" \
    "${test_build_options[@]}" -Cbuild-dir="$build"
  built=$(date +%s)
  status=0
  if [ $wheel_check = 1 ]; then
    bash "$root/tools/build-dist.sh" --check "$venv/bin/python" "$build" || status=1
  fi
  checked=$(date +%s)
  # Run from the tests folder so that the installed package, not the source
  # tree, is imported.
  set +e
  (cd "$root/tests" && "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@")
  rc=$?
  set -e
  [ $rc -eq 0 ] || status=1
  now=$(date +%s)
  echo "== Python $ver: $([ $status = 0 ] && echo passed || echo FAILED)," \
    "$((now - started)) s (set-up and build $((built - started)) s$(
    [ $wheel_check = 1 ] && echo ", wheel check $((checked - built)) s"), tests $((now - checked)) s)"
  exit $status
fi

# --- every interpreter, side by side ---------------------------------------
logs="$root/build/test-logs"
rm -rf "$logs"
mkdir -p "$logs"
names=() commands=()
if [ $sanitize_too = 1 ]; then
  # The longest job, so it starts first.
  names+=("sanitizer run")
  commands+=("bash tools/run-sanitized.sh")
fi
first=1
while read -r venv py; do
  names+=("Python ${venv#py} ($py)")
  if [ $first = 1 ]; then
    commands+=("bash tools/run-tests.sh --python $py --venv $venv --wheel-check")
  else
    commands+=("bash tools/run-tests.sh --python $py --venv $venv")
  fi
  first=0
done < <(interpreters)
if [ $first = 1 ]; then
  echo "== no CPython 3.11 or newer found" >&2
  exit 1
fi

# `wait -n -p` tells which job ended
if [ "${BASH_VERSINFO[0]}" -lt 5 ] || { [ "${BASH_VERSINFO[0]}" = 5 ] && [ "${BASH_VERSINFO[1]}" -lt 1 ]; }; then
  echo "== bash 5.1 or newer needed to run the jobs side by side (this is $BASH_VERSION)" >&2
  exit 1
fi
max=${WISP_JOBS:-$(nproc)}
declare -A running=()   # pid -> job index
started_at=()
results=()
stop_jobs() {
  local pid
  for pid in "${!running[@]}"; do kill -TERM -- "-$pid" 2>/dev/null || true; done
}
trap 'stop_jobs; exit 130' INT TERM
trap stop_jobs EXIT
# CPU seconds of the jobs reaped so far, into $cpu: the kernel adds a child's
# time (and that of everything it waited for) when the child is reaped, so
# the growth between two reaps is the CPU time of the job that ended. Called
# directly, not in $(...), whose subshell has no children of its own.
children_cpu() {
  times >"$logs/times"
  cpu=$(awk 'NR == 2 { split($1, u, /[ms]/); split($2, s, /[ms]/);
                       printf "%d", u[1] * 60 + u[2] + s[1] * 60 + s[2] }' "$logs/times")
}
next=0
status=0
children_cpu
cpu_before=$cpu
while [ $next -lt ${#names[@]} ] || [ ${#running[@]} -gt 0 ]; do
  while [ $next -lt ${#names[@]} ] && [ ${#running[@]} -lt "$max" ]; do
    log="$logs/job$next.log"
    echo "== started: ${names[$next]} (log: ${log#$root/})"
    # A session of its own, so that stopping the run stops the job's whole
    # process group.
    setsid bash -c "${commands[$next]} \"\$@\"" run-tests "$@" >"$log" 2>&1 </dev/null &
    running[$!]=$next
    started_at[$next]=$(date +%s)
    next=$((next + 1))
  done
  done_pid=""
  set +e
  wait -n -p done_pid
  rc=$?
  set -e
  [ -n "$done_pid" ] || continue
  i=${running[$done_pid]}
  unset "running[$done_pid]"
  children_cpu
  echo
  echo "======== ${names[$i]}: exit $rc"
  cat "$logs/job$i.log"
  outcome=$([ $rc = 0 ] && echo passed || echo "FAILED (exit $rc)")
  results+=("${names[$i]}: $outcome, $(($(date +%s) - ${started_at[$i]})) s, CPU $((cpu - cpu_before)) s")
  cpu_before=$cpu
  [ $rc = 0 ] || status=1
done
echo
for r in "${results[@]}"; do echo "== $r"; done
children_cpu
echo "== test run: $(($(date +%s) - started)) s, CPU $cpu s, $max jobs at once, exit $status"
exit $status
