#!/usr/bin/env bash
# Runs `make test` with a CPU load on every core beside it, as on a machine busy with other
# work: the suite has to pass there too. The load (stress-ng, one CPU worker per core) starts
# before the first run and stops after the last, also when a run fails or on Ctrl+C.
#
#   scripts/run-loaded.sh [COUNT]   make test COUNT times in a row (1 unless given), stopping at
#                                   the first failure; exits with make test's code.
set -uo pipefail

runs=${1:-1}
if ! [[ "$runs" =~ ^[1-9][0-9]*$ ]]; then
  echo "run-loaded: the count must be a whole number from 1 up, not '$runs'" >&2
  exit 2
fi
root=$(cd "$(dirname "$0")/.." && pwd)
if ! command -v stress-ng >/dev/null 2>&1; then
  bash "$root/scripts/setup-deps.sh" || exit $?
fi
cores=$(nproc)
load=(stress-ng --cpu "$cores" --cpu-load 100)

load_pid=
stop_load() {
  [ -n "$load_pid" ] || return 0
  kill -TERM "$load_pid" 2>/dev/null
  wait "$load_pid" 2>/dev/null
  load_pid=
  echo "run-loaded: load stopped (${load[*]})"
}
trap stop_load EXIT
trap 'stop_load; exit 130' INT
trap 'stop_load; exit 143' TERM

"${load[@]}" >/dev/null 2>&1 &
load_pid=$!
sleep 1
if ! kill -0 "$load_pid" 2>/dev/null; then
  load_pid=
  echo "run-loaded: the load did not start: ${load[*]}" >&2
  exit 2
fi
echo "run-loaded: load running beside make test: ${load[*]} (one worker per core, pid $load_pid)"

for ((i = 1; i <= runs; i++)); do
  echo "run-loaded: run $i of $runs: make test"
  started=$SECONDS
  make -C "$root" test
  rc=$?
  took=$((SECONDS - started))
  if [ "$rc" -ne 0 ]; then
    echo "run-loaded: run $i of $runs FAILED (make test exited $rc after ${took} s) under ${load[*]}"
    exit "$rc"
  fi
  echo "run-loaded: run $i of $runs passed in ${took} s under ${load[*]}"
done
echo "run-loaded: make test passed $runs time(s) in a row under ${load[*]}"
