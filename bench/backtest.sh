#!/bin/bash
# Backtest throughput next to the raw floor (reading the same kabu.txt and splitting every line
# into columns), on a generated folder of LINES quote lines over 2,000 watched issues.
# Runs each measure ROUNDS times, alternating, and keeps the fastest: the machine's speed
# varies from minute to minute. The ratio is also given per round (floor and backtest run back
# to back), as the median over the rounds. Needs `make bench` first.
# Usage: bench/backtest.sh [DIR] [LINES] [ROUNDS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-/tmp/kestrel-large}
lines=${2:-10000000}
rounds=${3:-3}
bt=$root/build-bench/tools/kestrel-backtest/kestrel-backtest
floor=$root/build-bench/bench/common/bench_text
[ -x "$bt" ] && [ -x "$floor" ] || { echo "run make bench first" >&2; exit 2; }
if [ ! -f "$dir/kabu.txt" ]; then
    echo "writing $lines lines to $dir ..." >&2
    python3 "$root/bench/make-large.py" "$dir" "$lines"
fi
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
best() { sort -n | head -1; }
declare -A wall rss
for ((r = 0; r < rounds; r++)); do
    KESTREL_BENCH_FILE=$dir/kabu.txt "$floor" | sed -n 's/.*columns, \([0-9.]*\) s,.*/\1/p' >>"$out/floor"
    for span in 2 60; do
        /usr/bin/time -o "$out/t" -f "%e %M" "$bt" "$dir" --time $span --date 20261208 --out "$out" --force >"$out/events" 2>"$out/summary"
        read -r w m <"$out/t"
        echo "$w" >>"$out/bt$span"
        echo "$m" >>"$out/rss$span"
    done
done
n=$(sed -n 's/^kestrel-backtest: \([0-9]*\) lines read.*/\1/p' "$out/summary")
f=$(best <"$out/floor")
for span in 2 60; do
    w=$(best <"$out/bt$span")
    m=$(sort -n "$out/rss$span" | tail -1)
    paired=$(paste "$out/floor" "$out/bt$span" | awk '{ printf "%.2f\n", $1 / $2 }' | sort -n |
             awk '{ r[NR] = $1 } END { print r[int((NR + 1) / 2)] }')
    echo "time $span: backtest $w s ($(echo "$n / $w" | bc) lines/s, events written to a file)," \
         "floor $f s ($(echo "$n / $f" | bc) lines/s), ratio $(echo "scale=2; $f / $w" | bc)" \
         "(median per round $paired), peak RSS $((m / 1024)) MiB"
done
