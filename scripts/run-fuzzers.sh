#!/usr/bin/env bash
# Runs every fuzz target built in a build folder for a few seconds each, on a seed corpus from
# tests/fuzz/corpus/<target> when there is one. Fails on the first crash, leak or sanitizer report.
set -euo pipefail
build=${1:-build-fuzz}
secs=${2:-5}
root=$(cd "$(dirname "$0")/.." && pwd)
shopt -s nullglob
found=0
for f in "$build"/tests/fuzz/fuzz_*; do
  [ -x "$f" ] || continue
  found=1
  name=$(basename "$f")
  work=$(mktemp -d)
  seeds=()
  [ -d "$root/tests/fuzz/corpus/$name" ] && seeds=("$root/tests/fuzz/corpus/$name")
  echo "fuzz: $name for ${secs}s"
  "$f" -max_total_time="$secs" -rss_limit_mb=2048 -print_final_stats=0 "$work" "${seeds[@]}" \
    >"$work.log" 2>&1 || { tail -n 40 "$work.log"; echo "fuzz: $name FAILED"; exit 1; }
  grep -E '^#[0-9]+.*DONE' "$work.log" | tail -n 1 || true
  rm -rf "$work" "$work.log"
done
[ $found = 1 ] || { echo "fuzz: no targets in $build"; exit 1; }
echo "fuzz: all targets clean"
