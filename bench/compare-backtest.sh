#!/bin/bash
# Byte-identity of two kestrel-backtest binaries: the event lines and both resume files of each
# run, on each folder given, at several rates and windows. Exit 0 only when every run agrees.
# Usage: bench/compare-backtest.sh REFERENCE CANDIDATE DIR... [-- "ARGS" "ARGS" ...]
# Without -- the settings are: the folder's own, --rate 1 --time 1, --rate 3.5 --time 5,
# --time 60, --rate 0.5 --time 1440.
set -uo pipefail
ref=$1 new=$2
shift 2
dirs=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do dirs+=("$1"); shift; done
[ "${1:-}" = -- ] && shift
settings=("$@")
[ ${#settings[@]} -gt 0 ] || settings=("" "--rate 1 --time 1" "--rate 3.5 --time 5" "--time 60"
                                       "--rate 0.5 --time 1440")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail=0
for dir in "${dirs[@]}"; do
    for s in "${settings[@]}"; do
        for side in ref new; do
            bin=$ref
            [ $side = new ] && bin=$new
            rm -rf "$work/$side" && mkdir -p "$work/$side"
            # shellcheck disable=SC2086
            "$bin" "$dir" $s --date 20261208 --out "$work/$side" --force >"$work/$side/events" \
                2>"$work/$side/summary"
            echo $? >"$work/$side/rc"
            sed -i 's/, [0-9.]* s ([0-9.]* s start-up and reading)$//' "$work/$side/summary"
        done
        if diff -rq "$work/ref" "$work/new" >/dev/null; then
            echo "same: $dir ${s:-(its own settings)} ($(wc -l <"$work/new/events") event lines)"
        else
            echo "DIFFERENT: $dir ${s:-(its own settings)}"
            diff -rq "$work/ref" "$work/new" | head -5
            fail=1
        fi
    done
done
exit $fail
