#!/bin/bash
# A study of 12 settings (--sweep-rate 1.5:3.0:0.5 --sweep-time 1,2,5, one horizon) over one
# generated day, as a multiple of the floor (bench/split-floor over the same kabu.txt), alerts.csv
# and every list included. Floor and study alternate ROUNDS times; medians and spreads, with the
# largest peak RSS. With KESTREL_BACKTEST_REF set to another build of the tool, that one runs
# too in every round, right after the first, under the same load.
# Needs `make bench` first. Usage: bench/study-sweep.sh [DIR] [LINES] [ROUNDS] [-- STUDY-ARGS]
set -euo pipefail
default_rounds=3
. "$(dirname "$0")/floor-runs.sh" "$@"
for ((r = 0; r < rounds; r++)); do
    floor_round
    for side in $(sides); do
        rm -rf "$out/study"
        wall "$(side_bin $side)" "$dir" --sweep-rate 1.5:3.0:0.5 --sweep-time 1,2,5 --horizon 5 \
            --date 20261208 --out "$out/study" --force --quiet --max-output 64G "${extra[@]}" \
            >/dev/null 2>"$out/summary"
        keep $side ""
    done
    bytes=$(stat -c %s "$out/study/alerts.csv")
done
echo "floor: $(median <"$out/floor") s median ($(spread <"$out/floor") s), $rounds rounds;" \
     "alerts.csv $((bytes / 1048576)) MiB"
for side in bt ref; do
    [ -f "$out/$side" ] || continue
    name=study
    [ $side = ref ] && name=reference
    echo "$name: $(median <"$out/$side") s median ($(spread <"$out/$side") s)," \
         "$(median <"$out/${side}ratio")x the floor (per round $(spread <"$out/${side}ratio"))," \
         "peak RSS $(($(sort -n "$out/${side}rss" | tail -1) / 1024)) MiB"
done
