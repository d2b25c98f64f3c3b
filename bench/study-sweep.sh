#!/bin/bash
# A study of 12 settings (--sweep-rate 1.5:3.0:0.5 --sweep-time 1,2,5, one horizon) over one
# generated day, as a multiple of the floor (bench/split-floor over the same kabu.txt), alerts.csv
# and every list included. Floor and study alternate ROUNDS times; medians and spreads, with the
# largest peak RSS. With KESTREL_BACKTEST_REF set to another build of the tool, that one runs
# too in every round, right after the first, under the same load.
# Needs `make bench` first. Usage: bench/study-sweep.sh [DIR] [LINES] [ROUNDS] [-- STUDY-ARGS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-/tmp/kestrel-large}
lines=${2:-10000000}
rounds=${3:-3}
shift $(($# < 3 ? $# : 3))
[ "${1:-}" = -- ] && shift
bt=${KESTREL_BACKTEST:-$root/build-bench/tools/kestrel-backtest/kestrel-backtest}
floor=$root/build-bench/bench/split-floor
[ -x "$bt" ] && [ -x "$floor" ] || { echo "run make bench first" >&2; exit 2; }
if [ ! -f "$dir/kabu.txt" ]; then
    echo "writing $lines lines to $dir ..." >&2
    python3 "$root/bench/make-large.py" "$dir" "$lines"
fi
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
wall() { /usr/bin/time -o "$out/t" -f "%e %M" "$@"; read -r w m <"$out/t"; }
median() { sort -n | awk '{ r[NR] = $1 } END { print r[int((NR + 1) / 2)] }'; }
spread() { sort -n | awk 'NR == 1 { lo = $1 } { hi = $1 } END { print lo ".." hi }'; }
for ((r = 0; r < rounds; r++)); do
    wall "$floor" "$dir/kabu.txt" >/dev/null
    echo "$w" >>"$out/floor"
    for side in bt ref; do
        bin=$bt
        if [ $side = ref ]; then
            [ -n "${KESTREL_BACKTEST_REF:-}" ] || continue
            bin=$KESTREL_BACKTEST_REF
        fi
        rm -rf "$out/study"
        wall "$bin" "$dir" --sweep-rate 1.5:3.0:0.5 --sweep-time 1,2,5 --horizon 5 \
            --date 20261208 --out "$out/study" --force --quiet --max-output 64G "$@" \
            >/dev/null 2>"$out/summary"
        echo "$w" >>"$out/$side"
        echo "$m" >>"$out/${side}rss"
        awk -v f="$(tail -1 "$out/floor")" -v b="$w" 'BEGIN { printf "%.2f\n", b / f }' \
            >>"$out/${side}ratio"
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
