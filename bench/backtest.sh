#!/bin/bash
# The backtest's wall time as a multiple of the floor (bench/split-floor: map kabu.txt, split every
# line into its columns), on a generated folder of LINES quote lines over 2,000 watched issues,
# events written to a file. Floor and backtest runs alternate ROUNDS times; the figures are the
# median and the spread (fastest..slowest) over the rounds, with the largest peak RSS.
# With KESTREL_BACKTEST_REF set to another build of the tool, that one runs too in every round,
# right after the first, so both are measured against the same floor under the same load.
# Needs `make bench` first. Usage: bench/backtest.sh [DIR] [LINES] [ROUNDS] [-- BACKTEST-ARGS]
set -euo pipefail
default_rounds=5
. "$(dirname "$0")/floor-runs.sh" "$@"
for ((r = 0; r < rounds; r++)); do
    floor_round
    for span in 2 60; do
        for side in $(sides); do
            wall "$(side_bin $side)" "$dir" --time $span --date 20261208 --out "$out" --force \
                "${extra[@]}" >"$out/events" 2>"$out/summary"
            keep $side $span
        done
    done
done
n=$(sed -n 's/^kestrel-backtest: \([0-9]*\) lines read.*/\1/p' "$out/summary")
f=$(median <"$out/floor")
echo "floor: $f s median ($(spread <"$out/floor") s), $rounds rounds, $n lines"
for side in bt ref; do
    [ -f "$out/${side}2" ] || continue
    name=backtest
    [ $side = ref ] && name=reference
    for span in 2 60; do
        w=$(median <"$out/$side$span")
        m=$(sort -n "$out/${side}rss$span" | tail -1)
        echo "time $span: $name $w s median ($(spread <"$out/$side$span") s)," \
             "$(awk -v n="$n" -v w="$w" 'BEGIN { printf "%.2f", n / w / 1e6 }') M lines/s," \
             "$(median <"$out/${side}ratio$span")x the floor" \
             "(per round $(spread <"$out/${side}ratio$span")), peak RSS $((m / 1024)) MiB"
    done
done
echo "time 60 / time 2: $(awk -v a="$(median <"$out/bt60")" -v b="$(median <"$out/bt2")" \
    'BEGIN { printf "%.2f", a / b }')"
